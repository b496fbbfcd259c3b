// The loop's parts on their own: error texts, the duration notation, the channels, the retry
// policy and the neck thread.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "control_loop/cell.hpp"
#include "control_loop/channel.hpp"
#include "control_loop/motor_error.hpp"
#include "control_loop/neck_reader.hpp"
#include "control_loop/retry.hpp"
#include "controller/controller.hpp"
#include "tests/cpp/fakes/log_capture.hpp"
#include "tests/cpp/fakes/torso.hpp"
#include "tests/cpp/platform/fake_clock.hpp"

namespace {

using namespace quillet::control_loop;
using namespace std::chrono_literals;

TEST(MotorErrorTest, DisplayTexts) {
  EXPECT_EQ(MotorError(MotorError::MissingMotors{{"left_arm_yaw", "nose_left"}}).message(),
            "Missing motors: [\"left_arm_yaw\", \"nose_left\"]!");
  EXPECT_EQ(MotorError::communication_failure().message(),
            "Motor communication error! Check connections and power supply.");
  EXPECT_EQ(MotorError(MotorError::NoMotorsDetected{}).message(),
            "No motors detected. Check if the power supply is connected and turned on!");
  EXPECT_EQ(MotorError(MotorError::VoltageRampUpTimeout{30s, 74}).message(),
            "Voltage did not ramp up to 12V (got 7.4V) within 30s!");
  EXPECT_EQ(MotorError(MotorError::VoltageRampUpTimeout{2500ms, 105}).message(),
            "Voltage did not ramp up to 12V (got 10.5V) within 2.5s!");
  EXPECT_EQ(MotorError(MotorError::PortNotFound{"/dev/ttyUSB9"}).message(),
            "Check if your USB cable is connected. Could not find port: /dev/ttyUSB9!");
  EXPECT_EQ(MotorError(MotorError::PortOpenFailed{""}).message(),
            "Could not open serial port: ! Check permissions and if the port is already in use.");
}

TEST(MotorErrorTest, DurationNotation) {
  EXPECT_EQ(duration_text(30s), "30s");
  EXPECT_EQ(duration_text(2500ms), "2.5s");
  EXPECT_EQ(duration_text(500ms), "500ms");
  EXPECT_EQ(duration_text(1000001us), "1.000001s");
  EXPECT_EQ(duration_text(0ns), "0ns");
  EXPECT_EQ(duration_text(12500ns), "12.5\u00b5s");
  EXPECT_EQ(duration_text(1ms + 1ns), "1.000001ms");
  EXPECT_EQ(duration_text(999ns), "999ns");
  EXPECT_EQ(duration_text(90s + 250ms), "90.25s");
}

TEST(CellTest, AnExceptionLeavingAnAccessPoisonsTheCellForGood) {
  Cell<std::vector<int>> cell(std::vector<int>{1});
  EXPECT_EQ(cell.copy(), (std::pair<std::vector<int>, bool>({1}, false)));
  EXPECT_THROW(cell.with([](std::vector<int>& v, bool) {
    v.push_back(2);  // half-way through an update
    throw std::bad_alloc();
  }), std::bad_alloc);
  // The content is still there to read, and readers are told it may be half-written.
  EXPECT_EQ(cell.copy(), (std::pair<std::vector<int>, bool>({1, 2}, true)));
  EXPECT_TRUE(cell.with([](std::vector<int>&, bool poisoned) { return poisoned; }));
}

TEST(CommandQueueTest, SenderWaitsWhileFullAndFailsOnceReceiverIsGone) {
  auto [tx, rx] = bounded_queue<int>(2);
  ASSERT_TRUE(tx.send(1));
  ASSERT_TRUE(tx.try_send(2).done);
  auto full = tx.try_send(3);
  ASSERT_TRUE(full.full.has_value());
  EXPECT_EQ(*full.full, 3);

  std::atomic<bool> sent{false};
  std::thread blocked([&, sender = tx]() mutable {
    ASSERT_TRUE(sender.send(3));
    sent = true;
  });
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(sent);  // still waiting for room
  EXPECT_EQ(rx.try_recv(), 1);
  blocked.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(rx.try_recv(), 2);
  EXPECT_EQ(rx.try_recv(), 3);
  EXPECT_EQ(rx.try_recv(), std::nullopt);

  rx.close();
  auto refused = tx.send(4);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().value, 4);  // handed back
}

TEST(CommandQueueTest, DroppingTheReceiverWakesABlockedSenderAndDropsWhatIsQueued) {
  auto [tx, rx] = bounded_queue<ReplySender<int>>(1);
  auto [reply, replied] = reply_channel<int>();
  ASSERT_TRUE(tx.send(std::move(reply)));
  auto [other, other_replied] = reply_channel<int>();
  std::thread blocked([&] { EXPECT_FALSE(tx.send(std::move(other))); });
  std::this_thread::sleep_for(20ms);
  { auto gone = std::move(rx); }
  blocked.join();
  // The queued command's reply channel closed with it: its waiter is not left hanging.
  EXPECT_EQ(replied.recv().error(), ReplyReceiver<int>::Failure::Disconnected);
  EXPECT_EQ(other_replied.recv().error(), ReplyReceiver<int>::Failure::Disconnected);
}

TEST(CommandQueueTest, ReceiverWaitEndsOnItemWakeDeadlineOrLastSender) {
  auto [tx, rx] = bounded_queue<int>(4);
  using Wait = QueueReceiver<int>::Wait;
  EXPECT_EQ(rx.wait_until(std::chrono::steady_clock::now() + 5ms), Wait::TimedOut);
  tx.wake_receiver();
  EXPECT_EQ(rx.wait_until(std::chrono::steady_clock::now() + 1s), Wait::Woken);
  EXPECT_EQ(rx.wait_until(std::chrono::steady_clock::now() + 5ms), Wait::TimedOut);  // one-shot
  ASSERT_TRUE(tx.send(7));
  EXPECT_EQ(rx.wait_until(std::chrono::steady_clock::now() + 1s), Wait::Ready);
  EXPECT_EQ(rx.try_recv(), 7);
  { auto gone = std::move(tx); }
  EXPECT_EQ(rx.wait_until(std::chrono::steady_clock::now() + 1s), Wait::Disconnected);
}

TEST(ReplyChannelTest, OneValueOrADisconnection) {
  {
    auto [tx, rx] = reply_channel<int>();
    EXPECT_FALSE(rx.try_recv().has_value());
    EXPECT_TRUE(std::move(tx).send(5));
    EXPECT_EQ(rx.recv(), 5);
  }
  {
    auto [tx, rx] = reply_channel<int>();
    EXPECT_EQ(rx.recv_until(std::chrono::steady_clock::now() + 5ms).error(),
              ReplyReceiver<int>::Failure::TimedOut);
    std::thread late([sender = std::move(tx)]() mutable {
      std::this_thread::sleep_for(10ms);
      auto dropped = std::move(sender);
    });
    EXPECT_EQ(rx.recv().error(), ReplyReceiver<int>::Failure::Disconnected);
    late.join();
  }
  {
    auto [tx, rx] = reply_channel<int>();
    { auto gone = std::move(rx); }
    EXPECT_FALSE(std::move(tx).send(1));  // the caller has gone
  }
}

using quillet::controller::Error;
using quillet::controller::Result;
using quillet::IoError;
using quillet::IoErrorKind;

Result<int> io_failure(IoErrorKind kind) {
  return std::unexpected(Error(quillet::servo_bus::Error::io(kind, "x")));
}

TEST(RetryTest, RetriesOnlyMissedRepliesAndInterruptions) {
  quillet::testing::LogCapture capture;
  quillet::testing::FakeClock pause;

  int calls = 0;
  auto twice_then_ok = [&]() -> Result<int> {
    ++calls;
    if (calls == 1) return io_failure(IoErrorKind::TimedOut);
    if (calls == 2) return io_failure(IoErrorKind::Interrupted);
    return 42;
  };
  EXPECT_EQ(with_retry(twice_then_ok, 5, pause), 42);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(pause.sleeps, (std::vector<std::chrono::nanoseconds>{20ms, 20ms}));
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"Serial I/O recovered after 2 retries"}));

  for (Error final : {Error(quillet::servo_bus::Error(quillet::servo_bus::feetech::CommunicationErrorKind::ChecksumError)),
                      Error(quillet::servo_bus::Error::io(IoErrorKind::Other, "x")),
                      Error::message("serial port not configured (neck-only controller)")}) {
    calls = 0;
    auto result = with_retry([&]() -> Result<int> { ++calls; return std::unexpected(final); }, 5, pause);
    EXPECT_FALSE(result);
    EXPECT_EQ(calls, 1) << final.message();
  }

  calls = 0;
  EXPECT_FALSE(with_retry([&] { ++calls; return io_failure(IoErrorKind::TimedOut); }, 1, pause));
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_FALSE(with_retry([&] { ++calls; return io_failure(IoErrorKind::TimedOut); }, 5, pause));
  EXPECT_EQ(calls, 5);  // the count is of attempts, the first included
}

// The neck side is lent to the neck thread for one read: a servo read that throws meanwhile
// unwinds only once the neck thread has let go of the side, which its caller may then release
// (under AddressSanitizer a side used after that would be a finding), and the next read lends
// another side.
TEST(NeckReaderTest, AServoReadThatThrowsUnwindsOnlyOnceTheNeckThreadHasLetGoOfTheSide) {
  quillet::testing::FakeTorso torso;
  torso.neck->set_silent(3, true);  // the read lasts the roll motor's 20 ms time-out
  auto neck = std::make_unique<quillet::controller::NeckSide>(torso.can(), quillet::real_clock(), "vcan0");
  NeckReader reader;
  EXPECT_THROW((void)reader.read_alongside(*neck, []() -> int { throw std::logic_error("under the servo bus"); }),
               std::logic_error);
  neck.reset();
  EXPECT_EQ(torso.neck->sent().size(), 3u);

  torso.neck->set_silent(3, false);
  quillet::controller::NeckSide another(torso.can(), quillet::real_clock(), "vcan0");
  auto [servos, positions] = reader.read_alongside(another, [] { return 7; });
  EXPECT_EQ(servos, 7);
  EXPECT_TRUE(positions.has_value());
  EXPECT_EQ(torso.neck->sent().size(), 6u);
}

}  // namespace
