// Neck homing: its planning, pure functions over values, apart from the driving, which is the
// neck side's neck_home (defined in homing.cpp).
//
// How the driving uses the plan:
//   const HomingPlan plan = plan_neck_homing(current, speed);
//   NeckPositions commanded = current;
//   for (std::uint64_t cycle = 0; cycle < plan.budget; ++cycle) {
//     ramp_toward(plan, settled, commanded);   // then command it, sleep kHomingCycle
//   }
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "controller/joints.hpp"

namespace quillet::controller {

// One command per joint each cycle.
inline constexpr std::chrono::milliseconds kHomingCycle{10};
// Cycles granted beyond those the longest ramp needs, for the joints to settle.
inline constexpr std::uint64_t kHomingExtraCycles = 2000;

struct HomingPlan {
  // The multiple of 2π nearest each joint's start: after a power cycle the motors' multi-turn
  // counters restart, so a naive "go to 0" could spin the head a whole turn.
  NeckPositions goals{};
  // Distance covered per cycle, rad: speed x cycle.
  double step = 0.0;
  // Cycles before homing gives up: the longest ramp's whole cycles (at most 2^32 - 1) plus
  // kHomingExtraCycles.
  std::uint64_t budget = 0;
};

// Whether a ramp of half a turn, the longest there is, fits the 32-bit cycle count at `speed`
// (rad/s, positive). Slower speeds would saturate the budget: years of homing.
bool ramp_fits_cycle_budget(double speed);

// `speed` in rad/s, positive.
HomingPlan plan_neck_homing(const NeckPositions& start, double speed);

// One cycle of the ramp: each joint not yet settled moves `plan.step` toward its goal, landing
// on it exactly once it is within a step.
void ramp_toward(const HomingPlan& plan, const std::array<bool, kNeckJointCount>& settled,
                 NeckPositions& commanded);

}  // namespace quillet::controller
