// Position conversions of the Feetech servo models: 4096 steps per turn,
// step 2048 is 0 rad, step 0 is -pi, step 4096 is +pi.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>

namespace quillet::servo_bus::feetech {

inline constexpr double kPi = std::numbers::pi;
inline constexpr double kTwoPi = 2 * std::numbers::pi;
inline constexpr double kInverseStepsPerTurn = 0.000244140625;  // 1/4096
inline constexpr double kStepsPerTurn = 4096.0;
inline constexpr double kMinSteps = -32768.0;
inline constexpr double kMaxSteps = 32767.0;

// raw x 2pi x (1/4096) + (-pi), in this order. Not wrapped.
constexpr double steps_to_radians(std::int16_t raw) {
  return static_cast<double>(raw) * kTwoPi * kInverseStepsPerTurn + (-kPi);
}

// ((x + pi) x 4096) / 2pi, saturated to [-32768, 32767], truncated toward zero; NaN gives 0.
constexpr std::int16_t radians_to_steps(double radians) {
  if (radians != radians) return 0;  // NaN
  double steps = ((radians + kPi) * kStepsPerTurn) / kTwoPi;
  if (steps < kMinSteps) steps = kMinSteps;
  if (steps > kMaxSteps) steps = kMaxSteps;
  return static_cast<std::int16_t>(steps);  // truncation toward zero
}

}  // namespace quillet::servo_bus::feetech
