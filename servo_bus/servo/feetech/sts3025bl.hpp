// Feetech STS3025BL: the three nose servos, ids 5 to 7.
#pragma once

#include "servo_bus/servo/feetech/model.hpp"

namespace quillet::servo_bus::feetech {

inline constexpr ServoModel sts3025bl{kSmsStsRegisters};

}  // namespace quillet::servo_bus::feetech
