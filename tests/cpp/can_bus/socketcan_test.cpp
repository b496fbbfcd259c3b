// SocketCanTransport over one end of an AF_UNIX SOCK_SEQPACKET socketpair: the other end sees
// and supplies the kernel's 16- and 72-byte frame structures byte for byte.
#include "can_bus/transport/socketcan.hpp"

#include <gtest/gtest.h>
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

using namespace quillet::can_bus;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

class SocketCanPair : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    transport = std::make_unique<SocketCanTransport>(fds[0]);
    peer = fds[1];
  }
  void TearDown() override {
    if (peer >= 0) ::close(peer);
  }

  // The next packet the transport wrote, or nullopt when none is waiting.
  std::optional<Bytes> peer_read() {
    std::array<std::uint8_t, 256> buf{};
    const ssize_t n = ::recv(peer, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) return std::nullopt;
    return Bytes(buf.begin(), buf.begin() + n);
  }

  void peer_write(const Bytes& packet) {
    ASSERT_EQ(::send(peer, packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
  }

  std::unique_ptr<SocketCanTransport> transport;
  int peer = -1;
};

Bytes classic_struct(std::uint32_t id_word, std::uint8_t len, Bytes data) {
  Bytes b(16, 0);
  std::memcpy(b.data(), &id_word, 4);
  b[4] = len;
  std::copy(data.begin(), data.end(), b.begin() + 8);
  return b;
}

Bytes fd_struct(std::uint32_t id_word, std::uint8_t len, std::uint8_t flags, Bytes data) {
  Bytes b(72, 0);
  std::memcpy(b.data(), &id_word, 4);
  b[4] = len;
  b[5] = flags;
  std::copy(data.begin(), data.end(), b.begin() + 8);
  return b;
}

int open_fd_count() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (::readdir(d)) ++n;
  ::closedir(d);
  return n;
}

}  // namespace

TEST_F(SocketCanPair, ClassicFrameIsTheKernels16ByteStructure) {
  ASSERT_TRUE(transport->send(CanFrame{{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC},
                                       CanId::standard(0x001)}));
  EXPECT_EQ(peer_read(), (Bytes{0x01, 0x00, 0x00, 0x00, 8, 0, 0, 0,  //
                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));

  // Short data: length byte 3, unused data bytes zero.
  ASSERT_TRUE(transport->send(CanFrame{{0x11, 0x22, 0x33}, CanId::standard(0x7FF)}));
  EXPECT_EQ(peer_read(), classic_struct(0x7FF, 3, {0x11, 0x22, 0x33}));

  // Extended id: bit 31 set in the id word.
  ASSERT_TRUE(transport->send(CanFrame{{}, CanId::extended(0x1FFFFFFF)}));
  EXPECT_EQ(peer_read(), (Bytes{0xFF, 0xFF, 0xFF, 0x9F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(peer_read(), std::nullopt);
}

TEST_F(SocketCanPair, FdFrameIsTheKernels72ByteStructure) {
  Bytes data(64);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i + 1);
  ASSERT_TRUE(transport->send(CanFrame{data, CanId::standard(0x123), true, true}));
  EXPECT_EQ(peer_read(), fd_struct(0x123, 64, 0x01, data));

  ASSERT_TRUE(transport->send(CanFrame{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                                       CanId::extended(0x12345), true, false}));
  EXPECT_EQ(peer_read(),
            fd_struct(0x80012345, 12, 0x00, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST_F(SocketCanPair, SizeAndIdViolationsWriteNothing) {
  auto nine = transport->send(CanFrame{Bytes(9, 0xAB), CanId::standard(1)});
  ASSERT_FALSE(nine.has_value());
  EXPECT_EQ(nine.error(), CanError::frame_too_large(9));
  EXPECT_EQ(nine.error().message(), "frame too large for selected mode: 9 bytes");

  auto fd65 = transport->send(CanFrame{Bytes(65, 0), CanId::standard(1), true});
  ASSERT_FALSE(fd65.has_value());
  EXPECT_EQ(fd65.error(), CanError::frame_too_large(65));

  auto std800 = transport->send(CanFrame{Bytes(8, 0), CanId::standard(0x800)});
  ASSERT_FALSE(std800.has_value());
  EXPECT_EQ(std800.error().message(), "invalid CAN id");

  auto ext = transport->send(CanFrame{Bytes(8, 0), CanId::extended(0x20000000)});
  ASSERT_FALSE(ext.has_value());
  EXPECT_EQ(ext.error(), CanError::invalid_id());

  EXPECT_EQ(peer_read(), std::nullopt);

  // The transport stays usable after a refused frame.
  ASSERT_TRUE(transport->send(CanFrame{{7}, CanId::standard(2)}));
  EXPECT_EQ(peer_read(), classic_struct(2, 1, {7}));
}

TEST_F(SocketCanPair, ReceivesClassicFdRemoteAndErrorFrames) {
  peer_write(classic_struct(0x001, 8, {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 25, 30}));
  peer_write(classic_struct(0x80000000 | 0x1ABCDEF, 2, {0xAA, 0xBB, 0xCC}));
  peer_write(classic_struct(0x40000000 | 0x123, 0, {}));        // remote request, no data
  peer_write(classic_struct(0x40000000 | 0x124, 2, {}));        // remote request, length 2
  peer_write(classic_struct(0x20000000 | 0x004, 8, {0, 0, 4, 0, 0, 0, 0, 0}));  // error frame
  peer_write(classic_struct(0x20000000 | 0x040, 0, {1, 2, 3, 4, 5, 6, 7, 8}));  // error, len 0
  peer_write(fd_struct(0x456, 12, 0x01, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  peer_write(fd_struct(0x80000457, 3, 0x00, {9, 8, 7}));

  auto f = transport->recv(100ms);
  ASSERT_TRUE(f) << f.error().message();
  EXPECT_EQ(*f, (CanFrame{{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 25, 30}, CanId::standard(1)}));

  f = transport->recv(100ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (CanFrame{{0xAA, 0xBB}, CanId::extended(0x1ABCDEF)}));

  f = transport->recv(100ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (CanFrame{{}, CanId::standard(0x123)}));

  f = transport->recv(100ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (CanFrame{{0, 0}, CanId::standard(0x124)}));

  f = transport->recv(100ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (CanFrame{{0, 0, 4, 0, 0, 0, 0, 0}, CanId::standard(0x004)}));

  f = transport->recv(100ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (CanFrame{{1, 2, 3, 4, 5, 6, 7, 8}, CanId::standard(0x040)}));

  f = transport->recv(100ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (CanFrame{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, CanId::standard(0x456), true,
                          true}));

  f = transport->recv(100ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (CanFrame{{9, 8, 7}, CanId::extended(0x457), true, false}));
}

TEST_F(SocketCanPair, OversizedLengthBytesAreBoundedByTheStructure) {
  peer_write(classic_struct(0x10, 15, {1, 2, 3, 4, 5, 6, 7, 8}));
  peer_write(fd_struct(0x11, 200, 0, {}));
  auto f = transport->recv(100ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->data.size(), 8u);
  f = transport->recv(100ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->data.size(), 64u);
}

TEST_F(SocketCanPair, RecvTimesOutAfterItsTimeout) {
  const auto start = std::chrono::steady_clock::now();
  auto f = transport->recv(30ms);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error(), CanError::timeout());
  EXPECT_GE(elapsed, 25ms);  // the kernel counts SO_RCVTIMEO in scheduler ticks
}

// A socket with a receive time-out is not restarted by SA_RESTART: a signal ends the read.
TEST_F(SocketCanPair, ASignalDuringTheWaitWaitsOnForTheTimeThatRemains) {
  // It was a bus failure, "Interrupted system call (os error 4)".
  struct sigaction ignore{}, previous{};
  ignore.sa_handler = [](int) {};
  ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &previous), 0);
  const pthread_t waiter = ::pthread_self();
  std::thread signaller([&] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(10ms);
      ::pthread_kill(waiter, SIGUSR1);
    }
    std::this_thread::sleep_for(10ms);
    peer_write(classic_struct(0x123, 1, {42}));
    std::this_thread::sleep_for(10ms);
    ::pthread_kill(waiter, SIGUSR1);
  });
  auto frame = transport->recv(2s);
  auto nothing = transport->recv(50ms);
  signaller.join();
  ::sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_TRUE(frame) << frame.error().message();
  EXPECT_EQ(frame->data, Bytes{42});
  ASSERT_FALSE(nothing);
  EXPECT_EQ(nothing.error(), CanError::timeout());
}

TEST_F(SocketCanPair, TimeoutUnderOneMicrosecondReadsNothing) {
  peer_write(classic_struct(0x1, 1, {42}));
  for (std::chrono::nanoseconds t : {0ns, 999ns, -5'000'000ns}) {
    auto f = transport->recv(t);
    ASSERT_FALSE(f.has_value());
    EXPECT_TRUE(f.error().is_timeout());
  }
  // The frame is still there: nothing was read.
  auto f = transport->recv(100ms);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->data, Bytes{42});
}

// The kernel reports SO_RCVTIMEO back in scheduler ticks, so the times here are whole ticks
// for the usual tick rates: rounding up instead of down would show as one tick more.
TEST_F(SocketCanPair, ReceiveTimeoutIsSetInWholeMicrosecondsRoundedDown) {
#ifdef QMC_TESTS_UNDER_EMULATOR
  GTEST_SKIP() << "qemu-user answers getsockopt(SO_RCVTIMEO) with 0: the timeout set cannot be read back";
#endif
  auto rcvtimeo = [&] {
    timeval tv{};
    socklen_t len = sizeof tv;
    EXPECT_EQ(::getsockopt(transport->fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, &len), 0);
    return tv.tv_sec * 1'000'000 + tv.tv_usec;
  };
  peer_write(classic_struct(0x1, 0, {}));
  ASSERT_TRUE(transport->recv(100ms + 999ns));
  EXPECT_EQ(rcvtimeo(), 100'000);
  peer_write(classic_struct(0x1, 0, {}));
  ASSERT_TRUE(transport->recv(2s));
  EXPECT_EQ(rcvtimeo(), 2'000'000);
  peer_write(classic_struct(0x1, 0, {}));
  ASSERT_TRUE(transport->recv(100ms));
  EXPECT_EQ(rcvtimeo(), 100'000);
}

TEST_F(SocketCanPair, RequestSkipsTwoForeignFramesAndReturnsItsReply) {
  std::thread motor([&] {
    std::array<std::uint8_t, 72> buf{};
    const ssize_t n = ::recv(peer, buf.data(), buf.size(), 0);  // the request
    ASSERT_EQ(n, 16);
    std::this_thread::sleep_for(2ms);
    peer_write(classic_struct(0x002, 8, {0x12, 0, 0, 0, 0, 0, 0, 0}));
    peer_write(classic_struct(0x80000001, 8, {0x13, 0, 0, 0, 0, 0, 0, 0}));
    std::this_thread::sleep_for(2ms);
    peer_write(classic_struct(0x001, 8, {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 25, 30}));
  });
  auto reply = transport->request(CanFrame{{0x01, 0x00, 0xCC, 0, 0, 0, 0, 0}, CanId::standard(0x7FF)},
                                  CanId::standard(0x001), 500ms);
  motor.join();
  ASSERT_TRUE(reply) << reply.error().message();
  EXPECT_EQ(reply->id, CanId::standard(1));
  EXPECT_EQ(reply->data, (Bytes{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 25, 30}));
  // The two foreign frames are gone.
  auto next = transport->recv(5ms);
  ASSERT_FALSE(next.has_value());
  EXPECT_TRUE(next.error().is_timeout());
}

// Before, a reply that came after its request had timed out was taken for the answer to the
// next request to that motor, and every later reading lagged one exchange behind.
TEST_F(SocketCanPair, RequestDiscardsFramesQueuedBeforeItAndReturnsItsOwnReply) {
  peer_write(classic_struct(0x001, 8, {0x11, 0, 0, 0, 0, 0, 0, 0xAA}));  // the late reply
  peer_write(classic_struct(0x002, 8, {0x12, 0, 0, 0, 0, 0, 0, 0xBB}));  // another motor's
  std::thread motor([&] {
    std::array<std::uint8_t, 72> buf{};
    ASSERT_EQ(::recv(peer, buf.data(), buf.size(), 0), 16);  // the request
    peer_write(classic_struct(0x001, 8, {0x11, 0, 0, 0, 0, 0, 0, 0xCC}));
    peer_write(classic_struct(0x003, 8, {0x13, 0, 0, 0, 0, 0, 0, 0xDD}));
  });
  auto reply = transport->request(CanFrame{{0x01, 0x00, 0xCC, 0, 0, 0, 0, 0}, CanId::standard(0x7FF)},
                                  CanId::standard(0x001), 500ms);
  motor.join();
  ASSERT_TRUE(reply) << reply.error().message();
  EXPECT_EQ(reply->data.back(), 0xCC);
  // Only what was queued before the request went: a frame after the reply is still there.
  auto next = transport->recv(100ms);
  ASSERT_TRUE(next) << next.error().message();
  EXPECT_EQ(next->id, CanId::standard(3));
}

TEST_F(SocketCanPair, RequestWithoutReplyTimesOutAfterAboutItsTimeout) {
  peer_write(classic_struct(0x005, 1, {5}));  // foreign, already waiting
  const auto start = std::chrono::steady_clock::now();
  auto reply = transport->request(CanFrame{Bytes(8, 0), CanId::standard(1)}, CanId::standard(1),
                                  20ms);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(reply.has_value());
  EXPECT_EQ(reply.error(), CanError::timeout());
  EXPECT_GE(elapsed, 15ms);  // about the time-out (the kernel counts it in scheduler ticks)
  EXPECT_LT(elapsed, 2s);    // and bounded
  EXPECT_EQ(peer_read(), classic_struct(1, 8, Bytes(8, 0)));
}

TEST_F(SocketCanPair, RequestReturnsSendErrorsWithoutWaiting) {
  auto reply = transport->request(CanFrame{Bytes(9, 0), CanId::standard(1)}, CanId::standard(1),
                                  10s);
  ASSERT_FALSE(reply.has_value());
  EXPECT_EQ(reply.error(), CanError::frame_too_large(9));
  EXPECT_EQ(peer_read(), std::nullopt);
}

TEST_F(SocketCanPair, MalformedPacketOrClosedPeerIsABackendError) {
  peer_write(Bytes{1, 2, 3, 4, 5});
  auto f = transport->recv(100ms);
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().kind(), CanError::Kind::Backend);
  EXPECT_EQ(f.error().message(), "backend error: unexpected CAN frame size: 5 bytes");

  ::close(peer);
  peer = -1;
  f = transport->recv(100ms);
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().kind(), CanError::Kind::Backend);
}

TEST(SocketCanOpen, UnknownInterfaceIsABackendError) {
  auto t = SocketCanTransport::open("qmc-nonexistent0");
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error().kind(), CanError::Kind::Backend);
  EXPECT_EQ(t.error().message().rfind("backend error: ", 0), 0u) << t.error().message();
  EXPECT_EQ(t.error().get_if<CanError::Backend>()->io.os_error(), ENODEV);
}

TEST(SocketCanOpen, NameWithNulIsInvalidArgument) {
  auto t = SocketCanTransport::open(std::string("can\0x", 5));
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error(), CanError::backend_errno(EINVAL));
  EXPECT_EQ(t.error().message(), "backend error: Invalid argument (os error 22)");
}

// "lo" exists but is no CAN interface: socket() or bind() fails, and the socket is closed.
TEST(SocketCanOpen, FailureAfterTheSocketWasMadeLeaksNoDescriptor) {
  const int before = open_fd_count();
  auto t = SocketCanTransport::open("lo");
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error().kind(), CanError::Kind::Backend);
  EXPECT_EQ(open_fd_count(), before);
}
