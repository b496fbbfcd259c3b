// The SocketCAN implementation of CanTransport (Linux raw CAN sockets).
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "can_bus/transport/can_transport.hpp"
#include "platform/unique_fd.hpp"

namespace quillet::can_bus {

class SocketCanTransport final : public CanTransport {
 public:
  // Opens a raw CAN socket bound to the named interface with CAN FD frames enabled:
  // if_nametoindex, socket(AF_CAN, SOCK_RAW, CAN_RAW), bind, setsockopt(SOL_CAN_RAW,
  // CAN_RAW_FD_FRAMES, 1). Any failure closes the socket and yields Backend.
  static std::expected<std::unique_ptr<SocketCanTransport>, CanError> open(
      const std::string& interface_name);

  // Takes ownership of an already-open socket (e.g. one end of a SOCK_SEQPACKET socketpair in
  // tests); it is closed on destruction. Nothing is configured on it.
  explicit SocketCanTransport(int fd) noexcept;

  SocketCanTransport(const SocketCanTransport&) = delete;
  SocketCanTransport& operator=(const SocketCanTransport&) = delete;

  int fd() const { return fd_.get(); }

  std::expected<void, CanError> send(const CanFrame& frame) override;
  // A signal that ends the wait early (SA_RESTART never restarts a read with a receive
  // time-out) is not a failure: the wait goes on for the time that remains.
  std::expected<CanFrame, CanError> recv(std::chrono::nanoseconds timeout) override;
  // Reads what is already waiting on the socket, without waiting, and drops it.
  void discard_pending() override;

  // Most frames one discard reads: a bus that keeps the socket busy cannot hold a request back.
  static constexpr int kMaxDiscardedFrames = 1024;

 private:
  UniqueFd fd_;
  // The SO_RCVTIMEO last set on the socket, in microseconds; -1 while unknown. Saves the
  // setsockopt call when the same time-out is asked for again.
  std::int64_t rcvtimeo_us_ = -1;
};

}  // namespace quillet::can_bus
