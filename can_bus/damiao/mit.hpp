// MIT impedance-mode packing and state unpacking of the Damiao motors.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace quillet::can_bus::damiao {

// The five ranges of the MIT packing of one motor. Each must be a non-negative number
// (Damiao::make refuses anything else).
struct MitLimits {
  float p_max = 0.0f;   // rad
  float v_max = 0.0f;   // rad/s
  float kp_max = 0.0f;
  float kd_max = 0.0f;
  float t_max = 0.0f;   // N·m

  friend bool operator==(const MitLimits&, const MitLimits&) = default;
};

// One MIT command.
struct MitCommand {
  float position = 0.0f;  // rad
  float velocity = 0.0f;  // rad/s
  float kp = 0.0f;
  float kd = 0.0f;
  float torque = 0.0f;    // N·m

  friend bool operator==(const MitCommand&, const MitCommand&) = default;
};

// One decoded reply.
struct MotorState {
  float position = 0.0f;
  float velocity = 0.0f;
  float torque = 0.0f;
  std::uint8_t motor_id = 0;    // low four bits of byte 0
  std::uint8_t status = 0;      // high four bits of byte 0
  std::uint8_t temp_mos = 0;    // byte 6
  std::uint8_t temp_rotor = 0;  // byte 7

  friend bool operator==(const MotorState&, const MotorState&) = default;
};

// Packs a command into the 8 data bytes of an MIT frame (32-bit float arithmetic: clamp, map
// linearly, truncate toward zero; NaN or negative results give 0).
std::array<std::uint8_t, 8> encode(const MitLimits& limits, const MitCommand& command);

// Unpacks a reply. Needs at least 8 bytes (bytes beyond 8 are ignored); missing bytes are read
// as 0 — the driver reports a short reply as UnexpectedReply before getting here.
MotorState decode_state(const MitLimits& limits, std::span<const std::uint8_t> reply);

}  // namespace quillet::can_bus::damiao
