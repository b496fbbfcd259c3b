// The control loop over scripted buses: start-up order and failures, the tick schedule, commands,
// retries, statistics and close. Also the program that ThreadSanitizer runs.
#include "control_loop/loop.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include "tests/cpp/fakes/log_capture.hpp"
#include "tests/cpp/fakes/torso.hpp"

namespace {

using namespace quillet::control_loop;
using namespace std::chrono_literals;
using quillet::controller::QuilletMotorController;
using quillet::testing::FakeNeck;
using quillet::testing::FakeServoBus;
using Wire = FakeServoBus;

struct Torso : quillet::testing::FakeTorso {
  std::unique_ptr<QuilletMotorController> controller(bool with_servos = true) {
    return std::make_unique<QuilletMotorController>(with_servos ? port() : nullptr, can());
  }
};

// Inputs as a command carries them, checked where they are queued; these pass.
template <std::size_t N>
Positions<N> goals(const std::array<double, N>& values) {
  return *Positions<N>::check("test", "position", values);
}
Position goal(double value) { return *Position::check("test", "position", value); }
quillet::controller::ServoId servo(std::uint8_t id) { return *quillet::controller::ServoId::check("test", "id", id); }
quillet::controller::ReadLength bytes(std::uint8_t n) { return *quillet::controller::ReadLength::check("test", "length", n); }

LoopSettings every(std::chrono::nanoseconds period) {
  LoopSettings settings;
  settings.read_position_loop_period = period;
  return settings;
}

std::unique_ptr<QuilletControlLoop> started(Torso& torso, LoopSettings settings, bool with_servos = true) {
  auto loop = QuilletControlLoop::start(torso.controller(with_servos), settings);
  if (!loop) ADD_FAILURE() << loop.error().message();
  return loop ? std::move(*loop) : nullptr;
}

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 2s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(2ms);
  }
  return pred();
}

TEST(ControlLoopStartup, ChecksTheRobotInOrderThenStarts) {
  quillet::testing::LogCapture capture;
  Torso torso;
  torso.servos->set_position(3, 3072);  // +pi/2
  torso.neck->set_position(2, 0.25f);
  auto loop = started(torso, every(1h));
  ASSERT_TRUE(loop);
  loop->close();

  std::vector<std::pair<int, int>> expected;
  for (int id = 1; id <= 7; ++id) expected.emplace_back(Wire::kPing, id);
  expected.insert(expected.end(), {{Wire::kSyncRead, Wire::kVoltage}, {Wire::kSyncRead, Wire::kVoltage}});
  for (int id = 1; id <= 7; ++id) expected.emplace_back(Wire::kReboot, id);
  for (int id = 1; id <= 7; ++id) expected.emplace_back(Wire::kPing, id);
  expected.insert(expected.end(), {{Wire::kSyncRead, Wire::kPosition}, {Wire::kSyncRead, Wire::kPosition},
                                   {Wire::kSyncRead, Wire::kTorque}, {Wire::kSyncRead, Wire::kTorque},
                                   // tick 0 of the loop thread
                                   {Wire::kSyncRead, Wire::kPosition}, {Wire::kSyncRead, Wire::kPosition}});
  EXPECT_EQ(torso.servos->instructions(), expected);

  const auto messages = capture.messages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[0], "Waiting for voltage to be stable at 12V...");
  EXPECT_TRUE(messages[1].starts_with("Voltage is stable at ~12V: [120, 120, 120, 120, 120, 120, 120] (took "))
      << messages[1];

  auto position = loop->get_last_position();
  ASSERT_TRUE(position);
  EXPECT_NEAR(position->right_arm[0], 1.5707963, 1e-6);
  EXPECT_NEAR(position->neck[1], 0.25, 1e-3);
  EXPECT_EQ(loop->is_torque_enabled(), false);
  EXPECT_EQ(loop->motor_name_id().at("nose_left"), 6);
  EXPECT_EQ(loop->get_stats(), std::nullopt);
  EXPECT_TRUE(torso.released());
}

TEST(ControlLoopStartup, EachFailureReleasesTheController) {
  const auto failure_of = [](Torso& torso, LoopSettings settings = every(10ms),
                             Interrupted interrupted = {}) -> std::string {
    auto loop = QuilletControlLoop::start(torso.controller(), settings, interrupted);
    EXPECT_FALSE(loop);
    EXPECT_TRUE(torso.released());
    return loop ? "" : loop.error().message();
  };
  {
    Torso torso;
    torso.servos->set_silent(2, true);
    torso.servos->set_silent(6, true);
    EXPECT_EQ(failure_of(torso), "Missing motors: [\"left_arm_yaw\", \"nose_left\"]!");
  }
  {
    Torso torso;
    for (std::uint8_t id = 1; id <= 7; ++id) torso.servos->set_silent(id, true);
    EXPECT_EQ(failure_of(torso), MotorError(MotorError::NoMotorsDetected{}).message());
  }
  {
    Torso torso;
    torso.neck->set_silent(2, true);
    EXPECT_EQ(failure_of(torso), "Missing motors: [\"neck_pitch\"]!");
  }
  {
    Torso torso;
    torso.servos->set_voltage(4, 74);
    LoopSettings settings = every(10ms);
    settings.voltage_rampup_timeout = 250ms;
    EXPECT_EQ(failure_of(torso, settings), "Voltage did not ramp up to 12V (got 7.4V) within 250ms!");
    // A read every 100 ms until the time-out: the first, then three more.
    const auto voltage_reads = std::ranges::count(torso.servos->instructions(),
                                                  std::pair<int, int>{Wire::kSyncRead, Wire::kVoltage});
    EXPECT_EQ(voltage_reads, 2 * 4);
  }
  {
    Torso torso;
    torso.servos->set_voltage(4, 74);
    int asked = 0;
    auto loop = QuilletControlLoop::start(torso.controller(), every(10ms), [&] { return ++asked == 2; });
    ASSERT_FALSE(loop);
    EXPECT_TRUE(std::holds_alternative<StartupError::WasInterrupted>(loop.error().variant()));
    EXPECT_TRUE(torso.released());
  }
}

TEST(ControlLoopStartup, NeckOnlyLoopTouchesNoServo) {
  Torso torso;
  auto loop = started(torso, every(10ms), /*with_servos=*/false);
  ASSERT_TRUE(loop);
  auto position = loop->get_last_position();
  ASSERT_TRUE(position);
  EXPECT_EQ(position->left_arm, (std::array<double, 2>{0.0, 0.0}));
  EXPECT_EQ(position->nose, (std::array<double, 3>{0.0, 0.0, 0.0}));
  EXPECT_EQ(loop->is_torque_enabled(), false);
  // Servo commands fail quietly; the raw read reports the failure.
  ASSERT_TRUE(loop->submit(SetArmsPosition{goals<4>({0, 0, 0, 0})}));
  EXPECT_EQ(loop->async_read_raw_bytes(servo(1), 56, bytes(2)), std::unexpected(MotorError::communication_failure()));
  loop->close();
  EXPECT_TRUE(torso.servos->packets().empty());
}

TEST(ControlLoop, ExecutesCommandsInOrderAndDrainsThemOnClose) {
  Torso torso;
  LoopSettings settings = every(5ms);
  settings.stats_pub_period = 1ms;
  auto loop = started(torso, settings);
  ASSERT_TRUE(loop);
  torso.servos->clear_packets();

  ASSERT_TRUE(loop->submit(EnableTorque{}));
  for (int i = 0; i < 30; ++i) {
    // Left arm pitch goals 2048 + i steps, each its own sync write.
    ASSERT_TRUE(loop->submit(SetLeftArmPosition{goals<2>({(i + 0.5) * 2 * 3.141592653589793 / 4096, 0.0})}));
  }
  ASSERT_TRUE(loop->submit(DisableTorqueOnIds{*quillet::controller::TorqueIds::check("test", "ids", {5})}));
  loop->close();  // everything queued before close runs before it returns

  std::vector<int> goals;
  for (const auto& p : torso.servos->packets()) {
    if (p.instruction == Wire::kSyncWrite && p.params[0] == Wire::kGoal) {
      goals.push_back(p.params[3] | (p.params[4] << 8));
    }
  }
  ASSERT_EQ(goals.size(), 30u);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(goals[i], 2048 + i);
  EXPECT_EQ(torso.servos->byte(1, Wire::kTorque), 1);
  EXPECT_EQ(torso.servos->byte(5, Wire::kTorque), 0);
  EXPECT_EQ(loop->is_torque_enabled(), false);  // the last torque command wins
  EXPECT_TRUE(torso.released());

  // After close: nothing is accepted, the accessors keep the last values, close returns at once.
  auto refused = loop->submit(EnableTorque{});
  ASSERT_FALSE(refused);
  EXPECT_TRUE(std::holds_alternative<EnableTorque>(refused.error().value));
  EXPECT_TRUE(loop->get_last_position());
  loop->close();
}

TEST(ControlLoop, StatisticsFlowAtTicksAndAfterSuccessfulCommands) {
  Torso torso;
  LoopSettings settings = every(5ms);
  settings.stats_pub_period = 20ms;
  auto loop = started(torso, settings, /*with_servos=*/false);
  ASSERT_TRUE(loop);
  ASSERT_TRUE(loop->submit(SetNeckYawPosition{goal(0.1)}));
  ASSERT_TRUE(loop->submit(SetArmsPosition{goals<4>({0, 0, 0, 0})}));  // fails: no serial port
  ASSERT_TRUE(eventually([&] { return !loop->get_stats()->write_dt.empty(); }));
  std::this_thread::sleep_for(50ms);
  loop->close();
  const ControlLoopStats stats = *loop->get_stats();
  EXPECT_EQ(stats.write_dt.size(), 1u);  // failed commands leave no sample
  EXPECT_GE(stats.period.size(), 10u);
  // read_dt reaches the cell in batches, so it may lag behind period, never lead it.
  EXPECT_LE(stats.read_dt.size(), stats.period.size());
  EXPECT_GE(stats.read_dt.size(), 1u);
#ifndef QMC_TESTS_UNDER_EMULATOR  // qemu-user starts the loop's threads too slowly for this bound
  EXPECT_LT(stats.period.to_vector().front(), 0.005);  // tick 0 is due as the cycle starts
#endif
  EXPECT_NEAR(torso.neck->position(1), 0.1f, 1e-3);
}

TEST(ControlLoop, ReadersCopyingWithoutPauseGetWholePrefixesAndNeverHoldTheTicksBack) {
  Torso torso;
  LoopSettings settings = every(2ms);
  settings.stats_pub_period = 0ms;  // read_dt published at every tick
  auto loop = started(torso, settings);
  ASSERT_TRUE(loop);
  std::atomic<bool> stop{false};
  // What each reader saw last, and whether every copy it took grew from the one before.
  std::vector<double> last_seen[2];
  bool in_order[2] = {true, true};
  std::size_t copies[2] = {};
  auto read = [&](int reader) {
    std::vector<double> seen;
    while (!stop) {
      const ControlLoopStats stats = *loop->get_stats();
      std::vector<double> now = stats.period.to_vector();
      in_order[reader] = in_order[reader] && stats.read_dt.size() <= now.size() && now.size() >= seen.size() &&
                         std::equal(seen.begin(), seen.end(), now.begin());
      seen = std::move(now);
      ++copies[reader];
    }
    last_seen[reader] = std::move(seen);
  };
  std::thread first(read, 0), second(read, 1);
  const auto begin = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(400ms);
  stop = true;
  first.join();
  second.join();
  loop->close();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const std::vector<double> all = loop->get_stats()->period.to_vector();
  for (int reader : {0, 1}) {
    EXPECT_TRUE(in_order[reader]);
    EXPECT_GT(copies[reader], 10u);
    EXPECT_TRUE(std::equal(last_seen[reader].begin(), last_seen[reader].end(), all.begin()));
  }
  // No due tick went missing while the readers copied (overdue ones come at once).
  EXPECT_GE(static_cast<double>(all.size()), elapsed / 0.002 * 0.8);
}

TEST(ControlLoop, ServoReadsRideThroughMissedRepliesAndReportWhatTheyCannot) {
  quillet::testing::LogCapture capture;
  Torso torso;
  LoopSettings settings = every(10ms);
  auto loop = started(torso, settings);
  ASSERT_TRUE(loop);
  torso.servos->drop_replies(2);
  ASSERT_TRUE(eventually([&] {
    const auto m = capture.messages();
    return std::ranges::find(m, "Serial I/O recovered after 2 retries") != m.end();
  }));
  loop->close();

  settings.allowed_retries = 1;
  Torso second;
  loop = started(second, settings);
  ASSERT_TRUE(loop);
  // Silent servo: nothing to retry with one attempt; the stored error is replaced once it answers.
  second.servos->set_silent(7, true);
  ASSERT_TRUE(eventually([&] { return !loop->get_last_position(); }));
  const MotorError stored = loop->get_last_position().error();
  EXPECT_EQ(stored, MotorError::communication_failure());
  // Its cause travels with it: the step, the attempts, the servo that did not answer.
  ASSERT_EQ(stored.causes().size(), 1u);
  EXPECT_EQ(stored.causes()[0].attempts, 1u);
  const auto notes = stored.notes();
  ASSERT_GE(notes.size(), 2u);
  EXPECT_EQ(notes[0], "reading the servo positions failed: Operation timed out");
  EXPECT_NE(notes[1].find("nose_right (servo id 7) did not answer"), std::string::npos) << notes[1];
  second.servos->set_silent(7, false);
  ASSERT_TRUE(eventually([&] { return loop->get_last_position().has_value(); }));
}

TEST(ControlLoop, RawReadGivesUpAfterOneSecondButStillRuns) {
  Torso torso;
  auto loop = started(torso, every(10ms));
  ASSERT_TRUE(loop);
  EXPECT_EQ(loop->async_read_raw_bytes(servo(5), Wire::kVoltage, bytes(1)), Bytes{120});

  torso.servos->set_sync_write_delay(1200ms);
  ASSERT_TRUE(loop->submit(EnableNose{true}));  // keeps the loop busy for longer than the wait
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(loop->async_read_raw_bytes(servo(5), 21, bytes(3)), std::unexpected(MotorError::communication_failure()));
  EXPECT_GE(std::chrono::steady_clock::now() - begin, 1s);
  torso.servos->set_sync_write_delay(0ms);
  ASSERT_TRUE(eventually([&] {
    const auto packets = torso.servos->packets();
    return std::ranges::any_of(packets, [](const auto& p) { return p.instruction == Wire::kRead && p.params[0] == 21; });
  }, 4s));
  loop->close();
}

TEST(ControlLoop, OverdueTicksAreDeliveredNotSkipped) {
#ifdef QMC_TESTS_UNDER_EMULATOR
  GTEST_SKIP() << "under qemu-user a tick's read may take tens of ms on a busy machine: back-to-back "
                  "ticks cannot be told from late ones";
#endif
  Torso torso;
  LoopSettings settings = every(50ms);
  settings.stats_pub_period = 0ms;
  auto loop = started(torso, settings);
  ASSERT_TRUE(loop);
  const auto begin = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(60ms);
  // A command that blocks the loop for several periods.
  torso.servos->set_sync_write_delay(175ms);
  torso.servos->clear_packets();
  ASSERT_TRUE(loop->submit(EnableArms{true}));
  ASSERT_TRUE(eventually([&] {
    const auto packets = torso.servos->packets();
    return std::ranges::any_of(packets, [](const auto& p) { return p.instruction == Wire::kSyncWrite; });
  }));
  torso.servos->set_sync_write_delay(0ms);
  std::this_thread::sleep_for(1s);
  loop->close();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const auto periods = loop->get_stats()->period.to_vector();
  // Every due tick was delivered: one per period since the start, give or take the edges.
  EXPECT_NEAR(static_cast<double>(periods.size()), elapsed / 0.05, 2.0);
  // After the stall the overdue ticks follow each other at once.
  const auto stall = std::ranges::max_element(periods);
  ASSERT_GE(*stall, 0.1);
  ASSERT_LT(std::distance(periods.begin(), stall) + 1, static_cast<long>(periods.size()));
  EXPECT_LT(*(stall + 1), 0.025);
}

// The crash cases run in a child process, which ends with the test's verdict as its status.
template <class Body>
void in_child(Body body) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::alarm(20);
        std::exit(body() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ControlLoop, ALoopDestroyedOnItsOwnThreadEndsByItself) {
  // close() joined the thread from inside it, and std::terminate ended the process.
  in_child([] {
    Torso torso;
    std::unique_ptr<QuilletControlLoop> loop = started(torso, every(5ms));
    QuilletControlLoop* running = loop.get();
    if (running == nullptr) return false;
    std::mutex submitting;  // the loop is not destroyed under a submit
    quillet::testing::LogCapture on_clamp("neck_yaw requested", [&] {
      std::lock_guard lock(submitting);
      loop.reset();  // on the loop thread, in the middle of a command
    });
    {
      std::lock_guard lock(submitting);
      (void)running->submit(SetNeckYawPosition{goal(2.0)});           // clamped, with a warning
      (void)running->submit(SetNosePosition{goals<3>({0.0, 0.0, 0.0})});  // queued behind it: drained
    }
    if (!eventually([&] { return torso.released(); })) return false;
    const auto packets = torso.servos->packets();
    return std::ranges::any_of(packets, [](const auto& p) {
      return p.instruction == Wire::kSyncWrite && p.params[0] == Wire::kGoal && p.params[2] == 5;
    });
  });
}

TEST(ControlLoop, AFaultOnTheNeckThreadEndsTheLoopAsOneOnTheLoopThreadDoes) {
  // An exception there called std::terminate: the whole process aborted.
  in_child([] {
    quillet::testing::LogCapture capture;
    Torso torso;
    auto loop = started(torso, every(5ms));
    torso.neck->set_throwing(true);  // the neck is read on its own thread while servos are read
    std::this_thread::sleep_for(100ms);
    loop->close();
    const auto messages = capture.messages();
    return torso.released() &&
           std::ranges::find(messages, "Failed to join control loop thread: Any { .. }") != messages.end();
  });
}

}  // namespace
