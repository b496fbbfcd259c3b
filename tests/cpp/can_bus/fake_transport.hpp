// A scripted CanTransport: records what is sent, hands out queued frames or errors on recv and
// lets a test answer sent frames (e.g. a simulated motor) through a callback.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "can_bus/transport/can_transport.hpp"

namespace quillet::can_bus::testing {

class FakeTransport : public CanTransport {
 public:
  using Incoming = std::expected<CanFrame, CanError>;

  std::vector<CanFrame> sent;
  std::deque<Incoming> incoming;                    // empty: recv gives Timeout
  std::optional<CanError> send_error;               // set: every send fails with it
  std::function<void(const CanFrame&, FakeTransport&)> on_send;  // answers a sent frame
  std::vector<std::chrono::nanoseconds> recv_timeouts;
  int recv_calls = 0;

  std::expected<void, CanError> send(const CanFrame& frame) override {
    if (send_error) return std::unexpected(*send_error);
    sent.push_back(frame);
    if (on_send) on_send(frame, *this);
    return {};
  }

  std::expected<CanFrame, CanError> recv(std::chrono::nanoseconds timeout) override {
    ++recv_calls;
    recv_timeouts.push_back(timeout);
    if (incoming.empty()) return std::unexpected(CanError::timeout());
    Incoming next = std::move(incoming.front());
    incoming.pop_front();
    return next;
  }

  void push(CanId id, std::vector<std::uint8_t> data) {
    incoming.push_back(CanFrame{std::move(data), id});
  }
  void push_error(CanError e) { incoming.push_back(std::unexpected(std::move(e))); }
};

}  // namespace quillet::can_bus::testing
