#include "controller/homing.hpp"

#include <gtest/gtest.h>

#include <numbers>

namespace quillet::controller {
namespace {

constexpr double kTurn = 2 * std::numbers::pi;

TEST(HomingPlan, GoalsAreTheNearestWholeTurnsAndTheBudgetCoversTheLongestRamp) {
  const HomingPlan plan = plan_neck_homing({0.1, 6.0, -3.3}, 0.4);
  EXPECT_EQ(plan.goals, (NeckPositions{0.0, kTurn, -kTurn}));
  EXPECT_EQ(plan.step, 0.4 * 0.01);
  // The longest ramp is roll's, |-3.3 + 2π| = 2.983 rad: 745 whole steps of 4 mrad.
  EXPECT_EQ(plan.budget, 745u + kHomingExtraCycles);
}

TEST(HomingPlan, AJointAlreadyHomeNeedsOnlyTheExtraCycles) {
  EXPECT_EQ(plan_neck_homing({0.0, kTurn, 0.0}, 0.4).budget, kHomingExtraCycles);
}

// The sum is 64-bit: in 32 bits it would wrap to a tiny budget.
TEST(HomingPlan, AnAbsurdlySlowSpeedSaturatesTheCyclesWithoutWrapping) {
  const HomingPlan plan = plan_neck_homing({3.0, 0.0, 0.0}, 1e-300);
  EXPECT_EQ(plan.budget, 4294967295u + kHomingExtraCycles);
}

// Before, nothing refused such speeds: 1e-320 rad/s homed for a budget of 1.4 years.
TEST(HomingPlan, OnlySpeedsWhoseHalfTurnRampFitsThe32BitCycleCountAreAccepted) {
  EXPECT_TRUE(ramp_fits_cycle_budget(0.4));
  EXPECT_TRUE(ramp_fits_cycle_budget(1e-7));  // π / 1e-9 rad ≈ 3.1e9 cycles
  EXPECT_FALSE(ramp_fits_cycle_budget(5e-8));  // ≈ 6.3e9 cycles
  EXPECT_FALSE(ramp_fits_cycle_budget(1e-320));  // the step underflows to 0
}

TEST(HomingRamp, MovesEachUnsettledJointOneStepAndLandsExactlyOnItsGoal) {
  HomingPlan plan;
  plan.goals = {0.0, kTurn, 0.0};
  plan.step = 0.25;
  NeckPositions commanded{0.6, kTurn - 0.1, 0.9};
  ramp_toward(plan, {false, false, true}, commanded);
  EXPECT_EQ(commanded, (NeckPositions{0.35, kTurn, 0.9}));
  ramp_toward(plan, {false, false, true}, commanded);
  ramp_toward(plan, {false, false, true}, commanded);
  EXPECT_EQ(commanded, (NeckPositions{0.0, kTurn, 0.9}));
}

}  // namespace
}  // namespace quillet::controller
