// The driver of one Damiao motor in MIT mode, written against CanTransport.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>

#include "can_bus/damiao/error.hpp"
#include "can_bus/damiao/mit.hpp"
#include "can_bus/damiao/registers.hpp"
#include "can_bus/transport/can_transport.hpp"
#include "platform/clock.hpp"

namespace quillet::can_bus::damiao {

// One motor: configuration only, no record of the motor's state between calls.
class Damiao {
 public:
  // The CAN id of broadcast management frames (feedback request, register access).
  static constexpr std::uint16_t kManagementId = 0x7FF;
  // The wait between writing and reading back CTRL_MODE in ensure_control_mode.
  static constexpr std::chrono::milliseconds kControlModeSettle{100};

  // Refuses limits that are negative or not a number (InvalidLimits, first bad field in the
  // order p_max, v_max, kp_max, kd_max, t_max).
  static std::expected<Damiao, Error> make(std::chrono::nanoseconds timeout, MitLimits limits,
                                           std::uint16_t can_id, std::uint16_t master_id);

  std::chrono::nanoseconds timeout() const { return timeout_; }
  const MitLimits& limits() const { return limits_; }
  std::uint16_t can_id() const { return can_id_; }
  std::uint16_t master_id() const { return master_id_; }

  // FF FF FF FF FF FF FF FC to can_id; the reply on master_id decoded.
  std::expected<MotorState, Error> enable(CanTransport& transport) const;
  // FF FF FF FF FF FF FF FD to can_id; the reply on master_id decoded.
  std::expected<MotorState, Error> disable(CanTransport& transport) const;
  // The MIT packing of `command` to can_id; the reply on master_id decoded.
  std::expected<MotorState, Error> control(CanTransport& transport,
                                           const MitCommand& command) const;
  // 0x7FF: can_id low, can_id high, CC, 00 x5; the reply on master_id decoded.
  std::expected<MotorState, Error> request_feedback(CanTransport& transport) const;

  // Drops what the transport already received (discard_pending), then 0x7FF: can_id low,
  // can_id high, 33, id, 00 x4; awaits within timeout() an 8-byte frame from any CAN id that
  // names this motor (can_id low, can_id high) with byte 2 = 0x33 and byte 3 = id. Frames of
  // other motors are skipped.
  std::expected<RegisterValue, Error> read_register(CanTransport& transport,
                                                    std::uint8_t id) const;
  // 0x7FF: can_id low, can_id high, 55, id, payload (low byte first); nothing awaited.
  std::expected<void, Error> write_register(CanTransport& transport, std::uint8_t id,
                                            RegisterValue value) const;

  // Reads CTRL_MODE; when it differs from `mode`, writes it, sleeps 100 ms on `clock` and reads
  // it back (ControlModeMismatch when still different).
  std::expected<void, Error> ensure_control_mode(CanTransport& transport, std::uint8_t mode,
                                                 Clock& clock = real_clock()) const;

  // The shared exchange of enable, disable, control and request_feedback: sends a classic
  // frame with standard id (id & 0x7FF), awaits the first frame on standard (master_id &
  // 0x7FF) within timeout() whose motor id (low four bits of byte 0) is can_id's, and decodes it
  // (fewer than 8 bytes: UnexpectedReply). Frames naming another motor are dropped.
  std::expected<MotorState, Error> cmd_at_arbitration(CanTransport& transport,
                                                      std::uint16_t id,
                                                      const std::array<std::uint8_t, 8>& data) const;

 private:
  Damiao(std::chrono::nanoseconds timeout, MitLimits limits, std::uint16_t can_id,
         std::uint16_t master_id)
      : timeout_(timeout), limits_(limits), can_id_(can_id), master_id_(master_id) {}

  std::chrono::nanoseconds timeout_;
  MitLimits limits_;
  std::uint16_t can_id_;
  std::uint16_t master_id_;
};

}  // namespace quillet::can_bus::damiao
