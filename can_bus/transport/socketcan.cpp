#include "can_bus/transport/socketcan.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/unique_fd.hpp"

namespace quillet::can_bus {

static_assert(sizeof(can_frame) == 16, "classic SocketCAN frame is 16 bytes");
static_assert(sizeof(canfd_frame) == 72, "CAN FD SocketCAN frame is 72 bytes");

namespace {

std::unexpected<CanError> os_failure(int err) {
  return std::unexpected(CanError::backend_errno(err));
}

std::unexpected<CanError> size_failure(const char* what, long n) {
  return std::unexpected(CanError::backend(IoError(IoErrorKind::Other, what + std::to_string(n) + " bytes")));
}
}  // namespace

std::expected<std::unique_ptr<SocketCanTransport>, CanError> SocketCanTransport::open(
    const std::string& interface_name) {
  if (interface_name.find('\0') != std::string::npos) return os_failure(EINVAL);

  errno = 0;
  const unsigned int index = ::if_nametoindex(interface_name.c_str());
  if (index == 0) return os_failure(errno != 0 ? errno : ENODEV);

  UniqueFd sock(::socket(AF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
  if (sock.get() < 0) return os_failure(errno);

  sockaddr_can addr{};
  addr.can_family = AF_CAN;
  addr.can_ifindex = static_cast<int>(index);
  if (::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
    return os_failure(errno);
  }

  const int enable = 1;
  if (::setsockopt(sock.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &enable, sizeof enable) < 0) {
    return os_failure(errno);
  }

  return std::make_unique<SocketCanTransport>(sock.release());
}

SocketCanTransport::SocketCanTransport(int fd) noexcept : fd_(fd) {}

std::expected<void, CanError> SocketCanTransport::send(const CanFrame& frame) {
  if (!frame.id.is_valid()) return std::unexpected(CanError::invalid_id());
  const canid_t id_word =
      frame.id.is_extended() ? (frame.id.value() | CAN_EFF_FLAG) : frame.id.value();

  union {
    can_frame classic;
    canfd_frame fd;
  } buf;
  std::size_t size;
  if (!frame.fd) {
    if (frame.data.size() > CAN_MAX_DLEN) {
      return std::unexpected(CanError::frame_too_large(frame.data.size()));
    }
    std::memset(&buf.classic, 0, sizeof buf.classic);
    buf.classic.can_id = id_word;
    buf.classic.len = static_cast<__u8>(frame.data.size());
    std::copy(frame.data.begin(), frame.data.end(), buf.classic.data);
    size = sizeof buf.classic;
  } else {
    if (frame.data.size() > CANFD_MAX_DLEN) {
      return std::unexpected(CanError::frame_too_large(frame.data.size()));
    }
    std::memset(&buf.fd, 0, sizeof buf.fd);
    buf.fd.can_id = id_word;
    buf.fd.len = static_cast<__u8>(frame.data.size());
    buf.fd.flags = frame.brs ? CANFD_BRS : 0;
    std::copy(frame.data.begin(), frame.data.end(), buf.fd.data);
    size = sizeof buf.fd;
  }

  ssize_t n;
  do {
    n = ::write(fd_.get(), &buf, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return os_failure(errno);
  if (static_cast<std::size_t>(n) != size) return size_failure("short write of a CAN frame: ", n);
  return {};
}

std::expected<CanFrame, CanError> SocketCanTransport::recv(std::chrono::nanoseconds timeout) {
  const auto start = std::chrono::steady_clock::now();
  canfd_frame raw;
  ssize_t n = -1;
  for (std::chrono::nanoseconds remaining = timeout;;) {
    // SO_RCVTIMEO counts in microseconds, and zero would mean "wait for ever": rounding down
    // keeps every wait within the time-out, and anything under 1 us is already over.
    const std::int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(remaining).count();
    if (us < 1) return std::unexpected(CanError::timeout());
    if (us != rcvtimeo_us_) {
      timeval tv{};
      tv.tv_sec = static_cast<time_t>(us / 1'000'000);
      tv.tv_usec = static_cast<suseconds_t>(us % 1'000'000);
      if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) {
        rcvtimeo_us_ = -1;
        return os_failure(errno);
      }
      rcvtimeo_us_ = us;
    }
    n = ::read(fd_.get(), &raw, sizeof raw);
    if (n >= 0 || errno != EINTR) break;
    remaining = timeout - (std::chrono::steady_clock::now() - start);
  }
  if (n < 0) {
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == ETIMEDOUT) {
      return std::unexpected(CanError::timeout());
    }
    return os_failure(err);
  }

  CanFrame frame;
  const canid_t word = raw.can_id;
  frame.id = (word & CAN_EFF_FLAG) ? CanId::extended(word & CAN_EFF_MASK)
                                   : CanId::standard(word & CAN_SFF_MASK);
  if (static_cast<std::size_t>(n) == CAN_MTU) {
    const std::size_t len =
        (word & CAN_ERR_FLAG) ? CAN_MAX_DLEN : std::min<std::size_t>(raw.len, CAN_MAX_DLEN);
    frame.data.assign(raw.data, raw.data + len);
  } else if (static_cast<std::size_t>(n) == CANFD_MTU) {
    const std::size_t len = std::min<std::size_t>(raw.len, CANFD_MAX_DLEN);
    frame.data.assign(raw.data, raw.data + len);
    frame.fd = true;
    frame.brs = (raw.flags & CANFD_BRS) != 0;
  } else {
    return size_failure("unexpected CAN frame size: ", n);
  }
  return frame;
}

void SocketCanTransport::discard_pending() {
  // Stale frames only: what is already queued. Nothing waiting, or any read error, ends the
  // discard; a socket that is broken for good fails the next send or wait.
  canfd_frame stale;
  for (int i = 0; i < kMaxDiscardedFrames; ++i) {
    const ssize_t n = ::recv(fd_.get(), &stale, sizeof stale, MSG_DONTWAIT);
    if (n <= 0 && !(n < 0 && errno == EINTR)) break;
  }
}

}  // namespace quillet::can_bus
