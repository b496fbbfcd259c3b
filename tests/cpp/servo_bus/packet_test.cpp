#include <gtest/gtest.h>

#include <cmath>

#include "servo_bus/error.hpp"
#include "servo_bus/feetech_protocol/packet.hpp"
#include "pty_bus.hpp"

namespace quillet::servo_bus::feetech {
namespace {

using servo_bus::testing::Bytes;
using servo_bus::testing::status_bytes;

TEST(InstructionPacket, PingAndRebootEncodeToSixBytes) {
  EXPECT_EQ(InstructionPacketFeetech({}, Instruction::Ping, 1).to_bytes(), (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}));
  EXPECT_EQ(InstructionPacketFeetech({}, Instruction::Reboot, 1).to_bytes(),
            (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x08, 0xF4}));
}

TEST(InstructionPacket, WorkedExamplesOnTheWire) {
  const InstructionPacketFeetech read = PacketFeetech::read_packet(5, 56, 2);
  EXPECT_EQ(read.id(), 5);
  EXPECT_EQ(read.instruction(), Instruction::Read);
  EXPECT_EQ(read.to_bytes(), (Bytes{0xFF, 0xFF, 0x05, 0x04, 0x02, 0x38, 0x02, 0xBA}));

  const Bytes ids{1, 2, 3, 4};
  const InstructionPacketFeetech sync_read = PacketFeetech::sync_read_packet(ids, 56, 2);
  EXPECT_EQ(sync_read.id(), kBroadcastId);
  EXPECT_EQ(sync_read.to_bytes(), (Bytes{0xFF, 0xFF, 0xFE, 0x08, 0x82, 0x38, 0x02, 0x01, 0x02, 0x03, 0x04, 0x33}));

  const Bytes nose{5, 6, 7};
  const std::vector<Bytes> values{{1}, {1}, {0}};
  const InstructionPacketFeetech sync_write = PacketFeetech::sync_write_packet(nose, 40, values);
  EXPECT_EQ(sync_write.instruction(), Instruction::SyncWrite);
  EXPECT_EQ(sync_write.to_bytes(),
            (Bytes{0xFF, 0xFF, 0xFE, 0x0A, 0x83, 0x28, 0x01, 0x05, 0x01, 0x06, 0x01, 0x07, 0x00, 0x37}));
}

TEST(InstructionPacket, WriteAndSyncWriteParameters) {
  const Bytes data{21, 22, 23};
  const auto write = PacketFeetech::write_packet(3, 21, data);
  EXPECT_EQ(Bytes(write.params().begin(), write.params().end()), (Bytes{21, 21, 22, 23}));
  EXPECT_EQ(write.instruction(), Instruction::Write);

  const Bytes ids{1, 2, 3, 4};
  const std::vector<Bytes> two{{0, 8}, {0, 8}, {0, 8}, {0, 8}};
  const auto sync = PacketFeetech::sync_write_packet(ids, 42, two);
  EXPECT_EQ(sync.params().size(), 14u);
  EXPECT_EQ(sync.params()[1], 2);  // L

  // Pairing stops at the shorter list; L still divides by the number of ids.
  const std::vector<Bytes> three{{9, 9}, {9, 9}, {9, 9}};
  const auto short_data = PacketFeetech::sync_write_packet(ids, 42, three);
  EXPECT_EQ(short_data.params().size(), 2u + 9u);
  EXPECT_EQ(short_data.params()[1], 9 / 4 - 1);
}

TEST(InstructionPacket, LongestPacketHasLengthByte255) {
  const Bytes data(kMaxWriteData, 0xAA);
  const Bytes bytes = PacketFeetech::write_packet(1, 0, data).to_bytes();
  ASSERT_EQ(bytes.size(), kMaxPacketSize);
  EXPECT_EQ(bytes[3], 255);
  EXPECT_EQ(bytes.back(), checksum(std::span(bytes).subspan(2, bytes.size() - 3)));
}

TEST(StatusPacket, DecodesSixByteReplyWithEmptyParams) {
  const Bytes reply = status_bytes(1, {});
  ASSERT_EQ(reply.size(), 6u);
  auto status = StatusPacketFeetech::from_bytes(reply, 1);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->id(), 1);
  EXPECT_TRUE(status->params().empty());
  EXPECT_TRUE(status->errors().empty());
}

TEST(StatusPacket, DecodesParamsAndErrorBits) {
  auto status = PacketFeetech::status_packet(status_bytes(7, {0x00, 0x08}, 0x3F), 7);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(Bytes(status->params().begin(), status->params().end()), (Bytes{0x00, 0x08}));
  EXPECT_EQ(Bytes(status->errors().begin(), status->errors().end()), (Bytes{0, 1, 2, 3, 4}));

  auto bit4 = StatusPacketFeetech::from_bytes(status_bytes(7, {}, 0x10), 7);
  ASSERT_TRUE(bit4.has_value());
  EXPECT_TRUE(bit4->errors().empty());
  auto bits = StatusPacketFeetech::from_bytes(status_bytes(7, {}, 0xE4), 7);  // 7, 6, 5, 2
  ASSERT_TRUE(bits.has_value());
  EXPECT_EQ(Bytes(bits->errors().begin(), bits->errors().end()), (Bytes{2, 4}));
}

TEST(StatusPacket, RejectsShortWrongIdAndWrongLength) {
  EXPECT_EQ(StatusPacketFeetech::from_bytes(Bytes{0xFF, 0xFF, 1, 2, 0}, 1).error(),
            CommunicationErrorKind::ParsingError);
  EXPECT_EQ(StatusPacketFeetech::from_bytes(status_bytes(2, {5}), 1).error(), CommunicationErrorKind::ParsingError);

  // Length byte says 3 parameter bytes, 1 came; the checksum over what came is right.
  Bytes lying = status_bytes(1, {5});
  lying[3] = 5;
  lying.back() = checksum(std::span(lying).subspan(2, lying.size() - 3));
  EXPECT_EQ(StatusPacketFeetech::from_bytes(lying, 1).error(), CommunicationErrorKind::ParsingError);
}

TEST(StatusPacket, ChecksumMismatchPrintsOneLineEveryTimeAndComesBeforeTheIdCheck) {
  const Bytes reply{255, 255, 1, 2, 0, 12};
  for (int i = 0; i < 2; ++i) {
    ::testing::internal::CaptureStdout();
    auto status = StatusPacketFeetech::from_bytes(reply, 9);  // wrong id as well
    const std::string printed = ::testing::internal::GetCapturedStdout();
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error(), CommunicationErrorKind::ChecksumError);
    EXPECT_EQ(printed, "read crc: 12, computed crc: 252 data: [255, 255, 1, 2, 0, 12]\n");
  }
}

TEST(CommunicationErrorKind, DebugAndDisplayTexts) {
  EXPECT_EQ(CommunicationErrorKind::ChecksumError.debug_text(), "ChecksumError");
  EXPECT_EQ(CommunicationErrorKind::ChecksumError.message(), "Checksum error");
  EXPECT_EQ(CommunicationErrorKind::ParsingError.debug_text(), "ParsingError");
  EXPECT_EQ(CommunicationErrorKind::ParsingError.message(), "Parsing error");
  EXPECT_EQ(CommunicationErrorKind::TimeoutError.debug_text(), "TimeoutError");
  EXPECT_EQ(CommunicationErrorKind::TimeoutError.message(), "Timeout error");
  EXPECT_EQ(CommunicationErrorKind::IncorrectId(3, 4).debug_text(), "IncorrectId(3, 4)");
  EXPECT_EQ(CommunicationErrorKind::IncorrectId(3, 4).message(), "Incorrect id (4 instead of 3)");
  EXPECT_EQ(CommunicationErrorKind::Unsupported.debug_text(), "Unsupported");
  EXPECT_EQ(CommunicationErrorKind::Unsupported.message(), "Operation not supported");
  EXPECT_NE(CommunicationErrorKind::IncorrectId(3, 4), CommunicationErrorKind::IncorrectId(4, 3));
}

TEST(ServoBusError, OriginsTextsAndKinds) {
  using servo_bus::Error;

  const Error unsupported = Error::io(IoErrorKind::Unsupported, "serial port not configured (neck-only controller)");
  EXPECT_EQ(unsupported.origin(), Error::Origin::Io);
  EXPECT_EQ(unsupported.message(), "serial port not configured (neck-only controller)");
  EXPECT_EQ(unsupported.io_kind(), IoErrorKind::Unsupported);

  const Error timed_out(IoError::timed_out());
  EXPECT_EQ(timed_out.message(), "Operation timed out");
  EXPECT_EQ(timed_out.io_kind(), IoErrorKind::TimedOut);
  EXPECT_EQ(timed_out.debug_text(), "Io(TimedOut, Operation timed out)");
  EXPECT_EQ(Error::io(IoErrorKind::Interrupted, "x").io_kind(), IoErrorKind::Interrupted);

  const Error parsing = Error::communication(CommunicationErrorKind::ParsingError);
  EXPECT_EQ(parsing.origin(), Error::Origin::Communication);
  EXPECT_EQ(parsing.message(), "Parsing error");
  EXPECT_EQ(parsing.io_kind(), std::nullopt);
  EXPECT_EQ(parsing.communication_kind(), CommunicationErrorKind::ParsingError);
  EXPECT_EQ(parsing.debug_text(), "Communication(ParsingError)");

  const Error port = Error::serial_port("Unable to acquire exclusive lock on serial port");
  EXPECT_EQ(port.origin(), Error::Origin::SerialPort);
  EXPECT_EQ(port.message(), "Unable to acquire exclusive lock on serial port");
  EXPECT_EQ(port.io_kind(), std::nullopt);
  ASSERT_NE(port.serial_port_error(), nullptr);
}

}  // namespace
}  // namespace quillet::servo_bus::feetech
