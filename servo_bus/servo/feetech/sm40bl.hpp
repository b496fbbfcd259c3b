// Feetech SM40BL: the four arm servos, ids 1 to 4.
#pragma once

#include "servo_bus/servo/feetech/model.hpp"

namespace quillet::servo_bus::feetech {

inline constexpr ServoModel sm40bl{kSmsStsRegisters};

}  // namespace quillet::servo_bus::feetech
