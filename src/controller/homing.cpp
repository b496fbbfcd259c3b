#include "controller/homing.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace quillet::controller {

namespace {
constexpr double kTurn = 2 * std::numbers::pi;
constexpr double kCycleSeconds = std::chrono::duration<double>(kHomingCycle).count();
constexpr double kU32Max = 4294967295.0;
}  // namespace

bool ramp_fits_cycle_budget(double speed) {
  const double step = speed * kCycleSeconds;
  return std::floor(kTurn / 2 / step) + static_cast<double>(kHomingExtraCycles) <= kU32Max;
}

HomingPlan plan_neck_homing(const NeckPositions& start, double speed) {
  HomingPlan plan;
  double distance = 0.0;
  for (std::size_t i = 0; i < kNeckJointCount; ++i) {
    plan.goals[i] = kTurn * std::round(start[i] / kTurn);
    distance = std::max(distance, std::fabs(start[i] - plan.goals[i]));
  }
  plan.step = speed * kCycleSeconds;
  const double cycles = distance / plan.step;
  const std::uint64_t whole = !(cycles > 0)        ? 0
                              : cycles >= kU32Max ? static_cast<std::uint64_t>(kU32Max)
                                                  : static_cast<std::uint64_t>(cycles);
  // Summed in 64 bits: a 32-bit sum would wrap to a tiny budget for absurdly slow speeds.
  plan.budget = whole + kHomingExtraCycles;
  return plan;
}

void ramp_toward(const HomingPlan& plan, const std::array<bool, kNeckJointCount>& settled,
                 NeckPositions& commanded) {
  for (std::size_t i = 0; i < kNeckJointCount; ++i) {
    if (settled[i]) continue;
    const double diff = commanded[i] - plan.goals[i];
    if (diff > plan.step) commanded[i] -= plan.step;
    else if (diff < -plan.step) commanded[i] += plan.step;
    else commanded[i] = plan.goals[i];
  }
}

}  // namespace quillet::controller
