#include "can_bus/damiao/mit.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

using namespace quillet::can_bus::damiao;

namespace {

constexpr MitLimits kYaw{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
constexpr MitLimits kPitch{12.5f, 10.0f, 500.0f, 5.0f, 28.0f};
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

unsigned p_of(const std::array<std::uint8_t, 8>& b) { return (b[0] << 8) | b[1]; }
unsigned v_of(const std::array<std::uint8_t, 8>& b) { return (b[2] << 4) | (b[3] >> 4); }
unsigned kp_of(const std::array<std::uint8_t, 8>& b) { return ((b[3] & 0xF) << 8) | b[4]; }
unsigned kd_of(const std::array<std::uint8_t, 8>& b) { return (b[5] << 4) | (b[6] >> 4); }
unsigned t_of(const std::array<std::uint8_t, 8>& b) { return ((b[6] & 0xF) << 8) | b[7]; }

unsigned pack_position(float position) { return p_of(encode(kYaw, MitCommand{position, 0, 0, 0, 0})); }

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

}  // namespace

TEST(MitEncode, PositionEdges) {
  auto zero = encode(kYaw, MitCommand{0.0f, 0, 0, 0, 0});
  EXPECT_EQ(zero[0], 0x7F);
  EXPECT_EQ(zero[1], 0xFF);
  EXPECT_EQ(pack_position(12.5f), 65535u);
  EXPECT_EQ(pack_position(100.0f), 65535u);
  EXPECT_EQ(pack_position(kInf), 65535u);
  EXPECT_EQ(pack_position(-12.5f), 0u);
  EXPECT_EQ(pack_position(-100.0f), 0u);
  EXPECT_EQ(pack_position(-kInf), 0u);
  EXPECT_EQ(pack_position(kNaN), 0u);
}

// Done in 64-bit arithmetic these would come out one step lower.
TEST(MitEncode, ArithmeticIsIn32BitFloats) {
  EXPECT_EQ(pack_position(7.014f), 51154u);
  EXPECT_EQ(pack_position(6.285f), 49243u);
  EXPECT_EQ(pack_position(-2.986f), 24940u);
}

TEST(MitEncode, GainsAtTheirBounds) {
  EXPECT_EQ(kp_of(encode(kYaw, MitCommand{0, 0, 500.0f, 0, 0})), 4095u);
  EXPECT_EQ(kp_of(encode(kYaw, MitCommand{0, 0, 501.0f, 0, 0})), 4095u);
  EXPECT_EQ(kp_of(encode(kYaw, MitCommand{0, 0, -1.0f, 0, 0})), 0u);
  EXPECT_EQ(kp_of(encode(kYaw, MitCommand{0, 0, kNaN, 0, 0})), 0u);
  EXPECT_EQ(kd_of(encode(kYaw, MitCommand{0, 0, 0, 5.0f, 0})), 4095u);
  EXPECT_EQ(kd_of(encode(kYaw, MitCommand{0, 0, 0, 50.0f, 0})), 4095u);
  EXPECT_EQ(kd_of(encode(kYaw, MitCommand{0, 0, 0, -0.5f, 0})), 0u);
  EXPECT_EQ(kp_of(encode(kYaw, MitCommand{0, 0, 30.0f, 0, 0})), 245u);  // 245.7 truncated
}

TEST(MitEncode, ZeroVelocityAndTorqueAreTheMidpoint) {
  auto b = encode(kYaw, MitCommand{0, 0.0f, 0, 0, 0.0f});
  EXPECT_EQ(v_of(b), 2047u);
  EXPECT_EQ(t_of(b), 2047u);
  EXPECT_EQ(v_of(encode(kYaw, MitCommand{0, 30.0f, 0, 0, 0})), 4095u);
  EXPECT_EQ(v_of(encode(kYaw, MitCommand{0, -31.0f, 0, 0, 0})), 0u);
  EXPECT_EQ(t_of(encode(kPitch, MitCommand{0, 0, 0, 0, 28.0f})), 4095u);
  EXPECT_EQ(t_of(encode(kPitch, MitCommand{0, 0, 0, 0, -kInf})), 0u);
}

TEST(MitEncode, ByteLayout) {
  // The yaw joint at rest with its default gains (kp 30, kd 1).
  EXPECT_EQ(encode(kYaw, MitCommand{0, 0, 30.0f, 1.0f, 0}),
            (std::array<std::uint8_t, 8>{0x7F, 0xFF, 0x7F, 0xF0, 0xF5, 0x33, 0x37, 0xFF}));
  // Every field at its top: all bits set.
  EXPECT_EQ(encode(kYaw, MitCommand{12.5f, 30.0f, 500.0f, 5.0f, 10.0f}),
            (std::array<std::uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(encode(kYaw, MitCommand{-12.5f, -30.0f, 0, 0, -10.0f}),
            (std::array<std::uint8_t, 8>{}));
  // Distinct nibbles end up where the layout says: v 0xABC, kp 0x123, kd 0x456, t 0x789.
  const MitLimits unit{65535.0f / 2, 4095.0f / 2, 4095.0f, 4095.0f, 4095.0f / 2};
  auto b = encode(unit, MitCommand{0x1234 - unit.p_max, 0xABC - unit.v_max, 0x123, 0x456,
                                   0x789 - unit.t_max});
  EXPECT_EQ(b, (std::array<std::uint8_t, 8>{0x12, 0x34, 0xAB, 0xC1, 0x23, 0x45, 0x67, 0x89}));
}

TEST(MitEncode, ZeroOrInfiniteLimitsPackToZero) {
  const MitLimits zero{};
  EXPECT_EQ(encode(zero, MitCommand{1, 1, 1, 1, 1}), (std::array<std::uint8_t, 8>{}));
  const MitLimits inf{kInf, kInf, kInf, kInf, kInf};
  EXPECT_EQ(encode(inf, MitCommand{1, 1, 1, 1, 1}), (std::array<std::uint8_t, 8>{}));
}

TEST(MitDecode, MidpointIsWithinOneStepOfZero) {
  const std::vector<std::uint8_t> reply{0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x00, 0x00};
  const MotorState s = decode_state(kYaw, reply);
  EXPECT_LE(std::fabs(s.position), 25.0f / 65535.0f);
  EXPECT_LE(std::fabs(s.velocity), 60.0f / 4095.0f);
  EXPECT_LE(std::fabs(s.torque), 20.0f / 4095.0f);
  // Exact 32-bit results (64-bit arithmetic rounded at the end differs in the last bits).
  EXPECT_EQ(bits(s.position), 0xB9480000u);
  EXPECT_EQ(bits(s.velocity), 0xBBF01000u);
  EXPECT_EQ(bits(s.torque), 0xBB201000u);
}

TEST(MitDecode, RangeEndsAndExactValues) {
  const MotorState low = decode_state(kYaw, std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(low.position, -12.5f);
  EXPECT_EQ(low.velocity, -30.0f);
  EXPECT_EQ(low.torque, -10.0f);
  const MotorState high =
      decode_state(kYaw, std::vector<std::uint8_t>{0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0});
  EXPECT_EQ(high.position, 12.5f);
  EXPECT_EQ(high.velocity, 30.0f);
  EXPECT_EQ(high.torque, 10.0f);
  // p 12345, v 1000, t 3000 with the pitch limits (t_max 28).
  const MotorState s =
      decode_state(kPitch, std::vector<std::uint8_t>{0, 0x30, 0x39, 0x3E, 0x8B, 0xB8, 0, 0});
  EXPECT_EQ(bits(s.position), 0xC0F94D49u);
  EXPECT_EQ(s.velocity, (1000.0f * 20.0f) / 4095.0f - 10.0f);
  EXPECT_EQ(bits(s.torque), 0x41506908u);
}

TEST(MitDecode, IdStatusTemperaturesAndExtraBytes) {
  MotorState s = decode_state(kYaw, std::vector<std::uint8_t>{0x11, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(s.motor_id, 1);
  EXPECT_EQ(s.status, 1);
  s = decode_state(kYaw, std::vector<std::uint8_t>{0xA3, 0, 0, 0, 0, 0, 41, 57, 0xEE, 0xEE});
  EXPECT_EQ(s.motor_id, 3);
  EXPECT_EQ(s.status, 0xA);
  EXPECT_EQ(s.temp_mos, 41);
  EXPECT_EQ(s.temp_rotor, 57);
  EXPECT_EQ(s.position, -12.5f);
}

TEST(MitRoundTrip, PositionSurvivesWithinOneStep) {
  for (float x : {-12.0f, -0.5f, -0.1f, 0.0f, 0.2f, 0.45f, 3.0f, 12.4f}) {
    auto cmd = encode(kYaw, MitCommand{x, 0, 0, 0, 0});
    const std::vector<std::uint8_t> reply{0x01, cmd[0], cmd[1], 0x7F, 0xF7, 0xFF, 0, 0};
    EXPECT_NEAR(decode_state(kYaw, reply).position, x, 25.0f / 65535.0f) << x;
  }
}
