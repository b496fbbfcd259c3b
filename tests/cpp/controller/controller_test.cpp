// The controller over scripted buses: what the Python tests against the virtual torso cannot
// reach (reboot, which only the control loop uses) or cannot check exactly (log records).
#include "controller/controller.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "controller/inputs.hpp"
#include "tests/cpp/fakes/log_capture.hpp"
#include "tests/cpp/fakes/torso.hpp"
#include "tests/cpp/platform/fake_clock.hpp"

namespace {

using quillet::controller::QuilletMotorController;
using quillet::log::Level;

using quillet::testing::FakeServoBus;
using Record = quillet::testing::LogCapture::Record;

class ControllerTest : public ::testing::Test {
 protected:
  QuilletMotorController make(bool with_servos = true) {
    for (std::uint8_t id = 1; id <= 3; ++id) torso_.neck->set_silent(id, true);
    return QuilletMotorController(with_servos ? torso_.port() : nullptr, torso_.can(), clock_);
  }
  // The servo instructions as (instruction, id).
  std::vector<std::pair<int, int>> instructions() { return torso_.servos->instructions(); }
  std::size_t frames_sent() { return torso_.neck->sent().size(); }

  quillet::testing::LogCapture log_;
  quillet::testing::FakeClock clock_;
  quillet::testing::FakeTorso torso_;
};

constexpr int kPing = FakeServoBus::kPing;
constexpr int kReboot = FakeServoBus::kReboot;

TEST_F(ControllerTest, RebootWaitsForEveryServoToAnswerAgain) {
  auto controller = make();
  ASSERT_TRUE(controller.reboot(std::chrono::seconds(1)));

  std::vector<std::pair<int, int>> expected;
  for (int id = 1; id <= 7; ++id) expected.emplace_back(kReboot, id);
  for (int id = 1; id <= 7; ++id) expected.emplace_back(kPing, id);
  EXPECT_EQ(instructions(), expected);
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 7u);
  EXPECT_EQ(records[0], (Record{Level::Warn, "quillet_motor_controller::controller",
                                "Rebooting motor left_arm_pitch (id=1)"}));
  EXPECT_EQ(records[6].message, "Rebooting motor nose_right (id=7)");
  EXPECT_EQ(clock_.sleeps, (std::vector<std::chrono::nanoseconds>{std::chrono::milliseconds(100)}));
}

TEST_F(ControllerTest, RebootNamesTheServosThatStayedSilent) {
  auto controller = make();
  torso_.servos->set_silent(5, true);
  torso_.servos->set_silent(6, true);
  auto result = controller.reboot(std::chrono::milliseconds(250));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(),
            R"(Some motors did not respond after reboot (["nose_top", "nose_left"] - ids: [5, 6]))");
  const auto logged = log_.messages();
  ASSERT_GE(logged.size(), 9u);
  EXPECT_EQ(logged[7], "Motor nose_top (id=5) did not respond after reboot within timeout");
  EXPECT_EQ(logged[8], "Motor nose_left (id=6) did not respond after reboot within timeout");

  // Servos that answered once are never pinged again; the silent ones once per 100 ms pass, as
  // long as the time-out has not passed before the pass begins.
  std::map<std::uint8_t, int> pings;
  for (auto [instruction, id] : instructions()) {
    if (instruction == kPing) ++pings[id];
  }
  EXPECT_EQ(pings[1], 1);
  EXPECT_EQ(pings[7], 1);
  EXPECT_EQ(pings[5], 3);
  EXPECT_EQ(pings[6], 3);
  EXPECT_EQ(clock_.sleeps.size(), 3u);
}

TEST_F(ControllerTest, RebootWithoutTimeLeftPingsNobody) {
  auto controller = make();
  auto result = controller.reboot(std::chrono::nanoseconds(0));
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(),
            "Some motors did not respond after reboot ([\"left_arm_pitch\", \"left_arm_yaw\", "
            "\"right_arm_pitch\", \"right_arm_yaw\", \"nose_top\", \"nose_left\", "
            "\"nose_right\"] - ids: [1, 2, 3, 4, 5, 6, 7])");
  EXPECT_EQ(instructions().size(), 7u);
  EXPECT_TRUE(clock_.sleeps.empty());
}

TEST_F(ControllerTest, NeckOnlyControllerRebootsNothingAndReportsRawWritesAsUnsupported) {
  auto controller = make(false);
  EXPECT_TRUE(controller.reboot(std::chrono::seconds(1)));
  EXPECT_TRUE(log_.records().empty());
  auto missing = controller.check_missing_ids();
  ASSERT_TRUE(missing);
  EXPECT_TRUE(missing->empty());

  const std::uint8_t ping[] = {0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
  auto raw = controller.write_raw_packet(ping);
  ASSERT_FALSE(raw);
  EXPECT_EQ(raw.error().message(), "serial port not configured (neck-only controller)");
  EXPECT_EQ(raw.error().io_kind(), quillet::IoErrorKind::Unsupported);
  EXPECT_EQ(controller.read_all_positions().error().io_kind(), std::nullopt);
}

TEST_F(ControllerTest, PresenceChecksCountEveryFailureAsMissing) {
  auto controller = make();
  torso_.servos->set_silent(2, true);
  torso_.servos->set_silent(6, true);
  EXPECT_EQ(*controller.check_missing_ids(), (std::vector<std::uint8_t>{2, 6}));
  EXPECT_EQ(controller.check_missing_neck_motors(),
            (std::vector<std::string>{"neck_yaw", "neck_pitch", "neck_roll"}));
}

TEST_F(ControllerTest, ClampWarnsOnlyWhenThePositionChanges) {
  using quillet::controller::NeckAxis;
  EXPECT_EQ(QuilletMotorController::clamp_neck_position(NeckAxis::Yaw, 0.8), 0.5);
  EXPECT_EQ(QuilletMotorController::clamp_neck_position(NeckAxis::Pitch, 0.45), 0.45);
  EXPECT_EQ(QuilletMotorController::clamp_neck_position(NeckAxis::Roll, -std::numeric_limits<double>::infinity()), -0.4);
  EXPECT_TRUE(std::isnan(QuilletMotorController::clamp_neck_position(NeckAxis::Roll, std::nan(""))));
  EXPECT_EQ(log_.messages(), (std::vector<std::string>{
                            "neck_yaw requested position 0.8000 rad out of safe range [-0.5000, "
                            "0.5000]; clamped to 0.5000",
                            "neck_roll requested position -inf rad out of safe range [-0.4000, "
                            "0.4000]; clamped to -0.4000",
                        }));
}

// Before, neck_home(1e-320) ramped for a budget of 4.3 billion cycles (1.4 years).
TEST_F(ControllerTest, HomingRefusesASpeedTooSlowForTheCycleBudgetBeforeAnything) {
  auto controller = make(false);
  auto result = controller.neck_home(1e-320, 0.15, *quillet::controller::Gain::check("neck_home", "kp", 80.0f),
                                     std::nullopt);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message(),
            "neck_home: speed 0." + std::string(319, '0') + "1 is too slow to ramp within the cycle budget");
  EXPECT_EQ(frames_sent(), 0u);
  EXPECT_EQ(controller.neck_command(quillet::controller::NeckAxis::Yaw).kp, 30.0f);
  EXPECT_TRUE(clock_.sleeps.empty());
}

TEST_F(ControllerTest, CheckedPositionsReachTheBus) {
  auto controller = make();
  EXPECT_TRUE(controller.set_left_arm_position(*quillet::controller::Positions<2>::check("set_left_arm_position",
                                                                                         "position", {0.0, 0.0})));
  EXPECT_EQ(instructions().size(), 1u);
}

}  // namespace

namespace quillet::controller {
namespace {

// The controller's operations take only checked inputs: what breaks a rule never reaches one.
// Before, a NaN position reached the wire as an extreme step or MIT value, and a NaN kp was
// stored and packed as 0 (the joint went limp).
TEST(CheckedInputs, NumbersAreRequiredAndTheErrorNamesTheOperationAndArgument) {
  const double nan = std::nan("");
  auto all = Positions<7>::check("set_all_goal_positions", "positions", {0, 0, 0, 0, 0, 0, nan});
  ASSERT_FALSE(all);
  EXPECT_EQ(*all.error().not_a_number(), (Error::NotANumber{"set_all_goal_positions", "positions"}));
  EXPECT_EQ(all.error().io_kind(), std::nullopt);
  auto nose = Positions<3>::check("set_nose_position", "position", {nan, 0, 0});
  EXPECT_EQ(nose.error().message(), "set_nose_position: position is not a number");
  EXPECT_EQ(Positions<3>::check("neck_home", "position", {0.0, nan, 0.0}).error().message(),
            "neck_home: position is not a number");
  EXPECT_EQ(Position::check("set_neck_roll_position", "position", nan).error().message(),
            "set_neck_roll_position: position is not a number");
  EXPECT_EQ(Positions<2>::check("set_left_arm_position", "position", {0.25, -0.5})->value(),
            (std::array<double, 2>{0.25, -0.5}));

  const float fnan = std::numeric_limits<float>::quiet_NaN();
  auto kp = Gain::check("set_neck_gains", "kp", fnan);
  ASSERT_FALSE(kp);
  EXPECT_EQ(*kp.error().not_a_number(), (Error::NotANumber{"set_neck_gains", "kp", "gain"}));
  EXPECT_EQ(kp.error().message(), "set_neck_gains: gain is not a number");
  EXPECT_EQ(Gain::check("neck_home", "kd", fnan).error().message(), "neck_home: gain is not a number");
  EXPECT_EQ(Gain::check("set_neck_gains", "kd", -1.0f).error().refused()->reason, "gain is negative (-1)");
  EXPECT_EQ(Gain::check("set_neck_gains", "kd", 0.0f)->value(), 0.0f);
}

TEST(CheckedInputs, RequestsNoPacketCanCarryAreRefused) {
  EXPECT_EQ(ServoId::check("read_raw_bytes", "id", 254).error().refused()->reason,
            "servo id 254 is not one servo's (at most 253; 254 is the broadcast id)");
  EXPECT_EQ(ServoId::check("read_raw_bytes", "id", 253)->value(), 253);
  EXPECT_EQ(ReadLength::check("read_raw_bytes", "length", 254).error().message(),
            "read_raw_bytes: 254 bytes are over the 253 one status reply carries");
  EXPECT_TRUE(WriteData::check("write_raw_bytes", "data", std::vector<std::uint8_t>(252)));
  EXPECT_FALSE(WriteData::check("write_raw_bytes", "data", std::vector<std::uint8_t>(253)));
  EXPECT_TRUE(TorqueIds::check("set_torque_on_ids", "ids", std::vector<std::uint8_t>(125, 1)));
  EXPECT_EQ(TorqueIds::check("set_torque_on_ids", "ids", std::vector<std::uint8_t>(126, 5)).error().message(),
            "set_torque_on_ids: 126 nose servo ids are over the 125 one sync write reaches");
}

TEST(JointTable, IdGroupsAndMembershipComeFromTheTable) {
  static_assert(ARM_IDS == std::array<std::uint8_t, 4>{1, 2, 3, 4});
  static_assert(LEFT_ARM_IDS == std::array<std::uint8_t, 2>{1, 2});
  static_assert(RIGHT_ARM_IDS == std::array<std::uint8_t, 2>{3, 4});
  static_assert(NOSE_IDS == std::array<std::uint8_t, 3>{5, 6, 7});
  static_assert(is_arm_id(1) && is_arm_id(4) && !is_arm_id(5) && !is_arm_id(0));
  static_assert(is_nose_id(5) && is_nose_id(7) && !is_nose_id(4) && !is_nose_id(8));
}

}  // namespace
}  // namespace quillet::controller
