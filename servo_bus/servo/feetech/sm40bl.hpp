// Feetech SM40BL (the four arm servos, ids 1 to 4): an instance of the one model definition.
#pragma once

#include "servo_bus/servo/feetech/model.hpp"

namespace quillet::servo::feetech::sm40bl {

struct Spec {
  static constexpr Registers registers = kSmsStsRegisters;
  static constexpr std::string_view name = "SM40BL";
};
using Model = feetech::Model<Spec>;

QUILLET_FEETECH_MODEL_OPERATIONS(Model)

using feetech::radians_to_steps;
using feetech::steps_to_radians;

}  // namespace quillet::servo::feetech::sm40bl
