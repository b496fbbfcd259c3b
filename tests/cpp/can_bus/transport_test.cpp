#include "can_bus/transport/can_transport.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "fake_transport.hpp"

using namespace quillet::can_bus;
using quillet::IoError;
using quillet::IoErrorKind;
using quillet::can_bus::testing::FakeTransport;
using namespace std::chrono_literals;

TEST(CanId, EqualOnlyWhenKindAndValueAreEqual) {
  EXPECT_EQ(CanId::standard(0x123), CanId::standard(0x123));
  EXPECT_NE(CanId::standard(0x123), CanId::standard(0x124));
  EXPECT_NE(CanId::standard(1), CanId::extended(1));
  EXPECT_EQ(CanId::extended(0x1ABCDE), CanId::extended(0x1ABCDE));
  EXPECT_EQ(CanId(), CanId::standard(0));
  EXPECT_TRUE(CanId::standard(1).is_standard());
  EXPECT_TRUE(CanId::extended(1).is_extended());
  EXPECT_EQ(CanId::extended(7).value(), 7u);
}

TEST(CanId, ValidRangesAre11And29Bits) {
  EXPECT_TRUE(CanId::standard(0).is_valid());
  EXPECT_TRUE(CanId::standard(0x7FF).is_valid());
  EXPECT_FALSE(CanId::standard(0x800).is_valid());
  EXPECT_TRUE(CanId::extended(0x1FFFFFFF).is_valid());
  EXPECT_FALSE(CanId::extended(0x20000000).is_valid());
}

TEST(CanError, DisplayTexts) {
  EXPECT_EQ(CanError::timeout().message(), "timeout waiting for frame");
  EXPECT_EQ(CanError::invalid_id().message(), "invalid CAN id");
  EXPECT_EQ(CanError::frame_too_large(9).message(), "frame too large for selected mode: 9 bytes");
  EXPECT_EQ(CanError::frame_too_large(65).message(),
            "frame too large for selected mode: 65 bytes");
  EXPECT_EQ(CanError::backend(IoError(IoErrorKind::Other, "short read")).message(), 
            "backend error: short read");
  const CanError enodev = CanError::backend_errno(ENODEV);
  EXPECT_EQ(enodev.message(), "backend error: No such device (os error 19)");
  ASSERT_NE(enodev.get_if<CanError::Backend>(), nullptr);
  EXPECT_EQ(enodev.get_if<CanError::Backend>()->io.os_error(), ENODEV);
}

TEST(CanError, KindsAndEquality) {
  EXPECT_EQ(CanError::timeout().kind(), CanError::Kind::Timeout);
  EXPECT_TRUE(CanError::timeout().is_timeout());
  EXPECT_FALSE(CanError::invalid_id().is_timeout());
  EXPECT_EQ(CanError::frame_too_large(9).kind(), CanError::Kind::FrameTooLarge);
  EXPECT_EQ(CanError::backend_errno(EIO).kind(), CanError::Kind::Backend);
  EXPECT_TRUE(CanError::invalid_id().is<CanError::InvalidId>());
  EXPECT_EQ(CanError::frame_too_large(9), CanError::frame_too_large(9));
  EXPECT_NE(CanError::frame_too_large(9), CanError::frame_too_large(10));
  EXPECT_EQ(CanError::frame_too_large(12).get_if<CanError::FrameTooLarge>()->len, 12u);
}

namespace {

CanFrame frame(CanId id, std::vector<std::uint8_t> data) { return CanFrame{std::move(data), id}; }

}  // namespace

TEST(Request, DropsFramesWithOtherIdsAndReturnsTheExpectedOne) {
  FakeTransport bus;
  bus.push(CanId::standard(2), {2});
  bus.push(CanId::extended(1), {3});  // same value, other kind: not the reply
  bus.push(CanId::standard(1), {1, 2, 3});
  bus.push(CanId::standard(1), {9});
  auto reply = bus.request(frame(CanId::standard(0x10), {0xAA}), CanId::standard(1), 20ms);
  ASSERT_TRUE(reply.has_value()) << reply.error().message();
  EXPECT_EQ(reply->data, (std::vector<std::uint8_t>{1, 2, 3}));
  ASSERT_EQ(bus.sent.size(), 1u);
  EXPECT_EQ(bus.sent[0], frame(CanId::standard(0x10), {0xAA}));
  EXPECT_EQ(bus.incoming.size(), 1u);  // the later frame stays queued
  for (auto t : bus.recv_timeouts) EXPECT_LE(t, 20ms);
}

TEST(Request, SendErrorIsReturnedAsIsAndNothingIsReceived) {
  FakeTransport bus;
  bus.send_error = CanError::invalid_id();
  auto reply = bus.request(frame(CanId::standard(0x800), {}), CanId::standard(1), 20ms);
  ASSERT_FALSE(reply.has_value());
  EXPECT_EQ(reply.error(), CanError::invalid_id());
  EXPECT_EQ(bus.recv_calls, 0);
}

TEST(Request, ReceiveErrorIsReturnedAsIs) {
  FakeTransport bus;
  bus.push(CanId::standard(5), {});
  bus.push_error(CanError::backend_errno(EIO));
  auto reply = bus.request(frame(CanId::standard(1), {}), CanId::standard(1), 20ms);
  ASSERT_FALSE(reply.has_value());
  EXPECT_EQ(reply.error(), CanError::backend_errno(EIO));
}

TEST(Request, ZeroTimeoutGivesTimeoutWithoutReceiving) {
  FakeTransport bus;
  bus.push(CanId::standard(1), {1});
  auto reply = bus.request(frame(CanId::standard(1), {}), CanId::standard(1), 0ns);
  ASSERT_FALSE(reply.has_value());
  EXPECT_TRUE(reply.error().is_timeout());
  EXPECT_EQ(bus.recv_calls, 0);
  EXPECT_EQ(bus.sent.size(), 1u);
}

// A bus that keeps delivering foreign frames must not keep the request past its deadline.
TEST(Request, StopsAtTheDeadlineWhileForeignFramesKeepComing) {
  struct Chatty : FakeTransport {
    std::expected<CanFrame, CanError> recv(std::chrono::nanoseconds timeout) override {
      recv_timeouts.push_back(timeout);
      std::this_thread::sleep_for(1ms);
      return CanFrame{{0}, CanId::standard(0x55)};
    }
  } bus;
  // Wide enough for several 1 ms receives even on a busy machine or under an emulator.
  const auto start = std::chrono::steady_clock::now();
  auto reply = bus.request(frame(CanId::standard(1), {}), CanId::standard(1), 100ms);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(reply.has_value());
  EXPECT_TRUE(reply.error().is_timeout());
  EXPECT_GE(elapsed, 100ms);
  ASSERT_GE(bus.recv_timeouts.size(), 2u);
  EXPECT_LE(bus.recv_timeouts.front(), 100ms);
  for (std::size_t i = 1; i < bus.recv_timeouts.size(); ++i) {
    EXPECT_LT(bus.recv_timeouts[i], bus.recv_timeouts[i - 1]);  // the remaining time shrinks
    EXPECT_GE(bus.recv_timeouts[i], 1us);
  }
}
