// Feetech STS3025BL (the three nose servos, ids 5 to 7): an instance of the one model definition.
#pragma once

#include "servo_bus/servo/feetech/model.hpp"

namespace quillet::servo::feetech::sts3025bl {

struct Spec {
  static constexpr Registers registers = kSmsStsRegisters;
  static constexpr std::string_view name = "STS3025BL";
};
using Model = feetech::Model<Spec>;

QUILLET_FEETECH_MODEL_OPERATIONS(Model)

using feetech::radians_to_steps;
using feetech::steps_to_radians;

}  // namespace quillet::servo::feetech::sts3025bl
