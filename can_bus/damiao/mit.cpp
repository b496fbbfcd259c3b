#include "can_bus/damiao/mit.hpp"

namespace quillet::can_bus::damiao {

namespace {

// Truncation toward zero that saturates like a checked float-to-integer cast: NaN and
// negatives give 0, results past the field give its maximum.
std::uint32_t truncate(float x, std::uint32_t max) {
  if (!(x > 0.0f)) return 0;
  if (x >= static_cast<float>(max)) return max;
  return static_cast<std::uint32_t>(x);
}

// NaN passes through, as in the reference arithmetic (it then truncates to 0).
float clamp(float x, float lo, float hi) {
  if (x < lo) return lo;
  if (x > hi) return hi;
  return x;
}

std::uint32_t pack_symmetric(float x, float max, float steps, std::uint32_t field_max) {
  const float clamped = clamp(x, -max, max);
  return truncate(((clamped + max) * steps) / (2.0f * max), field_max);
}

std::uint32_t pack_gain(float x, float max) {
  const float clamped = clamp(x, 0.0f, max);
  return truncate((clamped * 4095.0f) / max, 4095);
}

float unpack_symmetric(std::uint32_t raw, float max, float steps) {
  return (static_cast<float>(raw) * (2.0f * max)) / steps - max;
}

}  // namespace

std::array<std::uint8_t, 8> encode(const MitLimits& limits, const MitCommand& command) {
  const std::uint32_t p = pack_symmetric(command.position, limits.p_max, 65535.0f, 0xFFFF);
  const std::uint32_t v = pack_symmetric(command.velocity, limits.v_max, 4095.0f, 0xFFF);
  const std::uint32_t kp = pack_gain(command.kp, limits.kp_max);
  const std::uint32_t kd = pack_gain(command.kd, limits.kd_max);
  const std::uint32_t t = pack_symmetric(command.torque, limits.t_max, 4095.0f, 0xFFF);
  return {
      static_cast<std::uint8_t>(p >> 8),
      static_cast<std::uint8_t>(p & 0xFF),
      static_cast<std::uint8_t>(v >> 4),
      static_cast<std::uint8_t>(((v & 0xF) << 4) | (kp >> 8)),
      static_cast<std::uint8_t>(kp & 0xFF),
      static_cast<std::uint8_t>(kd >> 4),
      static_cast<std::uint8_t>(((kd & 0xF) << 4) | (t >> 8)),
      static_cast<std::uint8_t>(t & 0xFF),
  };
}

MotorState decode_state(const MitLimits& limits, std::span<const std::uint8_t> reply) {
  std::uint8_t b[8] = {};
  for (std::size_t i = 0; i < 8 && i < reply.size(); ++i) b[i] = reply[i];

  const std::uint32_t p = (std::uint32_t{b[1]} << 8) | b[2];
  const std::uint32_t v = (std::uint32_t{b[3]} << 4) | (b[4] >> 4);
  const std::uint32_t t = (std::uint32_t{b[4] & 0x0Fu} << 8) | b[5];

  MotorState state;
  state.position = unpack_symmetric(p, limits.p_max, 65535.0f);
  state.velocity = unpack_symmetric(v, limits.v_max, 4095.0f);
  state.torque = unpack_symmetric(t, limits.t_max, 4095.0f);
  state.motor_id = b[0] & 0x0F;
  state.status = b[0] >> 4;
  state.temp_mos = b[6];
  state.temp_rotor = b[7];
  return state;
}

}  // namespace quillet::can_bus::damiao
