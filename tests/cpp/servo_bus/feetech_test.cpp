#include <gtest/gtest.h>

#include "pty_bus.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "tests/cpp/platform/fake_clock.hpp"

namespace quillet::servo_bus::feetech {
namespace {

using servo_bus::testing::Bytes;
using servo_bus::testing::concat;
using servo_bus::testing::PtyFixture;
using servo_bus::testing::status_bytes;
using Calls = std::vector<std::string>;

const Bytes kPing1{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};

struct Transactions : PtyFixture {
  void SetUp() override {
    PtyFixture::SetUp();
    // Replies are scripted to arrive before the reads; a generous time-out keeps a loaded
    // machine from turning a slow pty into a false time-out.
    port->set_timeout(std::chrono::milliseconds(1000));
  }

  // Stale bytes that the port has really received before the next call.
  void stale(const Bytes& bytes) {
    const std::size_t before = *port->bytes_to_read();
    pty.send(bytes);
    servo_bus::testing::wait_until_waiting(*port, before + bytes.size());
  }

  quillet::testing::FakeClock clock;
  FeetechProtocolHandler handler{clock};
  std::vector<std::chrono::nanoseconds>& sleeps = clock.sleeps;
  std::function<void()>& on_sleep = clock.on_sleep;
};

TEST_F(Transactions, QuietLineSendsWithOneQueryAndNoSleep) {
  bus->script(status_bytes(1, {}));
  auto answered = handler.ping(*bus, 1);
  ASSERT_TRUE(answered.has_value());
  EXPECT_TRUE(*answered);
  EXPECT_EQ(bus->calls, (Calls{"B", "W6", "R4", "R2"}));
  EXPECT_TRUE(sleeps.empty());
  ASSERT_EQ(bus->wire.size(), 1u);
  EXPECT_EQ(bus->wire[0], kPing1);
}

TEST_F(Transactions, StaleBytesAreDiscardedBeforeTheSend) {
  stale(Bytes{0xFF, 0xFF, 0x04, 0x04, 0x00, 0x00, 0x08});
  bus->script(status_bytes(1, {}));
  auto answered = handler.ping(*bus, 1);
  ASSERT_TRUE(answered.has_value());
  EXPECT_TRUE(*answered);
  EXPECT_EQ(bus->calls, (Calls{"B", "B", "R7", "B", "W6", "R4", "R2"}));
  EXPECT_EQ(sleeps, (std::vector<std::chrono::nanoseconds>{std::chrono::milliseconds(5)}));
  EXPECT_EQ(bus->wire.at(0), kPing1);
}

TEST_F(Transactions, NoisyLineSleepsThreeTimesThenTimeoutErrorWithoutWriting) {
  stale(Bytes{1, 2, 3});
  on_sleep = [this] { stale(Bytes{0x55, 0x55}); };
  auto answered = handler.ping(*bus, 1);
  ASSERT_FALSE(answered.has_value());
  EXPECT_EQ(answered.error().communication_kind(), CommunicationErrorKind::TimeoutError);
  EXPECT_EQ(answered.error().message(), "Timeout error");
  EXPECT_EQ(sleeps.size(), 3u);
  EXPECT_EQ(bus->calls, (Calls{"B", "B", "R3", "B", "B", "R2", "B", "B", "R2", "B"}));
  EXPECT_TRUE(pty.drain().empty());
}

TEST_F(Transactions, InputQuietAfterTheThirdPassStillSends) {
  stale(Bytes{1, 2, 3});
  int passes = 0;
  on_sleep = [&] {
    if (++passes < 3) stale(Bytes{0x55});
  };
  bus->script(status_bytes(1, {}));
  auto answered = handler.ping(*bus, 1);
  ASSERT_TRUE(answered.has_value());
  EXPECT_TRUE(*answered);
  EXPECT_EQ(sleeps.size(), 3u);
  EXPECT_EQ(bus->wire.at(0), kPing1);
}

TEST_F(Transactions, PingAndRebootOfASilentServoAreFalseNotErrors) {
  port->set_timeout(std::chrono::milliseconds(10));
  auto ping = handler.ping(*bus, 1);
  ASSERT_TRUE(ping.has_value());
  EXPECT_FALSE(*ping);
  auto reboot = handler.reboot(*bus, 1);
  ASSERT_TRUE(reboot.has_value());
  EXPECT_FALSE(*reboot);
  ASSERT_EQ(bus->wire.size(), 2u);
  EXPECT_EQ(bus->wire[1], (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x08, 0xF4}));
}

TEST_F(Transactions, PingOfAGarbledReplyIsFalse) {
  Bytes corrupted = status_bytes(1, {});
  corrupted.back() ^= 0xFF;
  bus->script(corrupted);
  ::testing::internal::CaptureStdout();
  auto answered = handler.ping(*bus, 1);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(answered.has_value());
  EXPECT_FALSE(*answered);
  EXPECT_EQ(printed.rfind("read crc: ", 0), 0u) << printed;
}

TEST_F(Transactions, ReadSendsTheWorkedExampleAndReturnsTheParams) {
  bus->script(status_bytes(5, {0x00, 0x08}));
  auto read = handler.read(*bus, 5, 56, 2);
  ASSERT_TRUE(read.has_value()) << read.error().message();
  EXPECT_EQ(*read, (Bytes{0x00, 0x08}));
  EXPECT_EQ(bus->wire.at(0), (Bytes{0xFF, 0xFF, 0x05, 0x04, 0x02, 0x38, 0x02, 0xBA}));
}

TEST_F(Transactions, ReadReturnsShorterAndLongerRepliesAsSent) {
  bus->script(status_bytes(5, {0x07}));
  bus->script(status_bytes(5, {0x01, 0x02, 0x03}));
  EXPECT_EQ(handler.read(*bus, 5, 56, 2).value(), (Bytes{0x07}));
  EXPECT_EQ(handler.read(*bus, 5, 56, 2).value(), (Bytes{0x01, 0x02, 0x03}));
}

TEST_F(Transactions, ReadOfAMissingReplyIsAnIoTimeOut) {
  port->set_timeout(std::chrono::milliseconds(10));
  auto read = handler.read(*bus, 5, 56, 2);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().io_kind(), IoErrorKind::TimedOut);
  EXPECT_EQ(read.error().message(), "Operation timed out");
}

TEST_F(Transactions, BadHeaderIsParsingErrorAfterExactlyFourBytes) {
  bus->script(Bytes{0x00, 0xFF, 0x05, 0x04, 0x00, 0x00, 0x08, 0xEE, 0x01, 0x02});
  auto read = handler.read(*bus, 5, 56, 2);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().communication_kind(), CommunicationErrorKind::ParsingError);
  EXPECT_EQ(bus->calls, (Calls{"B", "W8", "R4"}));
  EXPECT_EQ(port->bytes_to_read().value(), 6u);  // the rest waits for the next send's clearing

  bus->script(status_bytes(5, {0x00, 0x08}));
  EXPECT_EQ(handler.read(*bus, 5, 56, 2).value(), (Bytes{0x00, 0x08}));
  EXPECT_EQ(sleeps.size(), 1u);
}

TEST_F(Transactions, ReplyFromAnotherIdIsParsingError) {
  bus->script(status_bytes(6, {0x00, 0x08}));
  auto read = handler.read(*bus, 5, 56, 2);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().communication_kind(), CommunicationErrorKind::ParsingError);
}

TEST_F(Transactions, WriteReadsAndDiscardsTheReply) {
  bus->script(status_bytes(3, {}, 0x20));
  const Bytes gains{32, 16, 0};
  auto written = handler.write(*bus, 3, 21, gains);
  ASSERT_TRUE(written.has_value()) << written.error().message();
  const Bytes request{0xFF, 0xFF, 0x03, 0x06, 0x03, 21, 32, 16, 0};
  Bytes expected = request;
  expected.push_back(checksum(std::span(request).subspan(2)));
  EXPECT_EQ(bus->wire.at(0), expected);
  EXPECT_EQ(port->bytes_to_read().value(), 0u);
}

TEST_F(Transactions, SyncReadReturnsOneVectorPerIdInOrder) {
  const Bytes ids{1, 2, 3, 4};
  bus->script(concat({status_bytes(1, {0x00, 0x08}), status_bytes(2, {0x01, 0x08}), status_bytes(3, {0x02, 0x08}),
                      status_bytes(4, {0x03, 0x08})}));
  auto replies = handler.sync_read(*bus, ids, 56, 2);
  ASSERT_TRUE(replies.has_value()) << replies.error().message();
  EXPECT_EQ(*replies, (std::vector<Bytes>{{0x00, 0x08}, {0x01, 0x08}, {0x02, 0x08}, {0x03, 0x08}}));
  EXPECT_EQ(bus->wire.at(0), (Bytes{0xFF, 0xFF, 0xFE, 0x08, 0x82, 0x38, 0x02, 0x01, 0x02, 0x03, 0x04, 0x33}));
  EXPECT_EQ(bus->calls, (Calls{"B", "W12", "R4", "R4", "R4", "R4", "R4", "R4", "R4", "R4"}));
}

TEST_F(Transactions, SyncReadWithTheThirdServoSilentFailsWithItsTimeOut) {
  port->set_timeout(std::chrono::milliseconds(10));
  const Bytes ids{1, 2, 3, 4};
  bus->script(concat({status_bytes(1, {0x00, 0x08}), status_bytes(2, {0x01, 0x08})}));
  auto replies = handler.sync_read(*bus, ids, 56, 2);
  ASSERT_FALSE(replies.has_value());
  EXPECT_EQ(replies.error().io_kind(), IoErrorKind::TimedOut);
  EXPECT_EQ(replies.error().servo_id(), 3);  // whose reply never came, for the people at the robot
  EXPECT_TRUE(replies.error().is_silence());
  EXPECT_EQ(replies.error().what_happened(), "did not answer within the 10 ms reply time-out");

  // Servo 4's late reply is discarded by the next send.
  stale(status_bytes(4, {0x03, 0x08}));
  bus->script(status_bytes(1, {}));
  port->set_timeout(std::chrono::milliseconds(1000));
  EXPECT_TRUE(handler.ping(*bus, 1).value());
  EXPECT_EQ(sleeps.size(), 1u);
  EXPECT_EQ(bus->wire.at(1), kPing1);
}

TEST_F(Transactions, SyncReadStopsAtTheFirstBadReply) {
  const Bytes ids{1, 2, 3};
  Bytes bad = status_bytes(2, {0x01, 0x08});
  bad.back() ^= 1;
  bus->script(concat({status_bytes(1, {0x00, 0x08}), bad, status_bytes(3, {0x02, 0x08})}));
  ::testing::internal::CaptureStdout();
  auto replies = handler.sync_read(*bus, ids, 56, 2);
  ::testing::internal::GetCapturedStdout();
  ASSERT_FALSE(replies.has_value());
  EXPECT_EQ(replies.error().communication_kind(), CommunicationErrorKind::ChecksumError);
  EXPECT_EQ(replies.error().servo_id(), 2);
  EXPECT_FALSE(replies.error().is_silence());
  EXPECT_EQ(port->bytes_to_read().value(), 8u);  // servo 3's reply is not read
}

TEST_F(Transactions, SyncReadOfNoIdSendsAndReturnsNothing) {
  auto replies = handler.sync_read(*bus, {}, 56, 2);
  ASSERT_TRUE(replies.has_value());
  EXPECT_TRUE(replies->empty());
  EXPECT_EQ(bus->wire.at(0), (Bytes{0xFF, 0xFF, 0xFE, 0x04, 0x82, 0x38, 0x02, 0x41}));
}

TEST_F(Transactions, SyncWriteSendsTheWorkedExampleAndReadsNothing) {
  const Bytes ids{5, 6, 7};
  const std::vector<Bytes> values{{1}, {1}, {0}};
  bus->script(status_bytes(5, {}));  // a reply that must stay unread
  ASSERT_TRUE(handler.sync_write(*bus, ids, 40, values).has_value());
  EXPECT_EQ(bus->wire.at(0),
            (Bytes{0xFF, 0xFF, 0xFE, 0x0A, 0x83, 0x28, 0x01, 0x05, 0x01, 0x06, 0x01, 0x07, 0x00, 0x37}));
  EXPECT_EQ(bus->calls, (Calls{"B", "W14"}));
}

TEST_F(Transactions, OversizedRequestsAreRefusedBeforeAnythingIsReadOrWritten) {
  stale(Bytes{9, 9});
  const Bytes too_much(253, 0xAB);
  auto written = handler.write(*bus, 1, 0, too_much);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().io_kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(written.error().message(), "Write data too long: 253 bytes (at most 252)");

  const InstructionPacketFeetech huge(Bytes(254, 0), Instruction::Write, 1);
  auto sent = handler.send_instruction_packet(*bus, huge);
  ASSERT_FALSE(sent.has_value());
  EXPECT_EQ(sent.error().message(), "Instruction parameters too long: 254 bytes (at most 253)");

  const Bytes many_ids(252, 1);
  auto read = handler.sync_read(*bus, many_ids, 56, 2);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().io_kind(), IoErrorKind::InvalidInput);

  auto no_id = handler.sync_write(*bus, {}, 40, std::span<const Bytes>{});
  ASSERT_FALSE(no_id.has_value());
  EXPECT_EQ(no_id.error().io_kind(), IoErrorKind::InvalidInput);

  EXPECT_TRUE(bus->calls.empty());
  EXPECT_TRUE(sleeps.empty());
  EXPECT_EQ(port->bytes_to_read().value(), 2u);
  EXPECT_TRUE(pty.drain().empty());
}

TEST_F(Transactions, TheLargestWriteGoesOut) {
  const Bytes data(252, 0x5A);
  bus->script(status_bytes(1, {}));
  ASSERT_TRUE(handler.write(*bus, 1, 0, data).has_value());
  ASSERT_EQ(bus->wire.at(0).size(), 259u);
  EXPECT_EQ(bus->wire.at(0)[3], 255);
}

TEST_F(Transactions, PostDelayFollowsReadAndWriteOnly) {
  FeetechProtocolHandler delayed(clock, std::chrono::milliseconds(3));
  bus->script(status_bytes(5, {0x00}));
  bus->script(status_bytes(5, {}));
  bus->script(status_bytes(5, {}));
  ASSERT_TRUE(delayed.read(*bus, 5, 40, 1).has_value());
  ASSERT_TRUE(delayed.write(*bus, 5, 40, Bytes{1}).has_value());
  ASSERT_TRUE(delayed.ping(*bus, 5).value());
  EXPECT_EQ(sleeps, (std::vector<std::chrono::nanoseconds>(2, std::chrono::milliseconds(3))));
}

}  // namespace
}  // namespace quillet::servo_bus::feetech
