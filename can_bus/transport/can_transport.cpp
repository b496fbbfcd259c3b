#include "can_bus/transport/can_transport.hpp"

#include <charconv>

namespace quillet::can_bus {

namespace {

std::string decimal(std::uint64_t v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  return std::string(buf, end);
}

}  // namespace

std::string CanError::message() const {
  switch (kind()) {
    case Kind::Backend:
      return "backend error: " + std::get<Backend>(v_).io.message();
    case Kind::Timeout:
      return "timeout waiting for frame";
    case Kind::FrameTooLarge:
      return "frame too large for selected mode: " + decimal(std::get<FrameTooLarge>(v_).len) +
             " bytes";
    case Kind::InvalidId:
      return "invalid CAN id";
  }
  return {};
}

std::expected<CanFrame, CanError> CanTransport::request(const CanFrame& frame, CanId expected,
                                                        std::chrono::nanoseconds timeout) {
  return request_with(*this, frame, expected, timeout);
}

std::expected<CanFrame, CanError> request_with(CanTransport& transport, const CanFrame& frame,
                                               CanId expected, std::chrono::nanoseconds timeout) {
  if (auto sent = transport.send(frame); !sent) return std::unexpected(std::move(sent.error()));
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  return recv_until(transport, deadline, [expected](const CanFrame& f) { return f.id == expected; });
}

}  // namespace quillet::can_bus
