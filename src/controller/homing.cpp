#include "controller/homing.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "controller/neck_side.hpp"
#include "support/text.hpp"

namespace quillet::controller {

namespace {
constexpr double kTurn = 2 * std::numbers::pi;
constexpr double kCycleSeconds = std::chrono::duration<double>(kHomingCycle).count();
constexpr double kU32Max = 4294967295.0;
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

std::unexpected<Error> fail(std::string text) { return std::unexpected(Error::message(std::move(text))); }
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

Result<NeckPositions> NeckSide::neck_home(double speed, double tolerance, std::optional<Gain> kp,
                                          std::optional<Gain> kd, const std::function<bool()>& interrupted) {
  if (!(speed > 0)) return fail("neck_home: speed must be positive, got " + text::float_display(speed));
  if (!ramp_fits_cycle_budget(speed)) {
    return fail("neck_home: speed " + text::float_display(speed) + " is too slow to ramp within the cycle budget");
  }
  if (!(tolerance > 0)) return fail("neck_home: tolerance must be positive, got " + text::float_display(tolerance));
  for (auto& command : commands_) {
    if (kp) command.kp = kp->value();
    if (kd) command.kd = kd->value();
  }

  auto current = read_neck_positions();
  if (!current) return current;
  const HomingPlan plan = plan_neck_homing(*current, speed);
  const NeckPositions& goals = plan.goals;
  if (!torque_enabled_) {
    if (auto enabled = enable_neck(true); !enabled) return std::unexpected(enabled.error());
  }

  NeckPositions commanded = *current;
  NeckPositions observed = *current;
  std::array<bool, kNeckJointCount> settled{};
  for (std::uint64_t cycle = 0; cycle < plan.budget; ++cycle) {
    ramp_toward(plan, settled, commanded);
    auto replies = command_all(commanded, "neck_home");
    if (!replies) return replies;
    observed = *replies;
    for (std::size_t i = 0; i < kNeckJointCount; ++i) {
      if (!settled[i] && std::fabs(commanded[i] - goals[i]) < kEpsilon &&
          std::fabs(observed[i] - goals[i]) < tolerance) {
        settled[i] = true;
      }
    }
    if (std::all_of(settled.begin(), settled.end(), [](bool s) { return s; })) return observed;
    clock_.sleep_for(kHomingCycle);
    if (interrupted && interrupted()) return fail("neck_home: interrupted");
  }
  using text::bracketed;
  using text::float_debug;
  return fail("neck_home: timed out before settling. observed=" + bracketed(observed, float_debug) +
              ", goals=" + bracketed(goals, float_debug) + ", settled=" +
              bracketed(settled, [](bool s) { return std::string(s ? "true" : "false"); }));
}

}  // namespace quillet::controller
