// The fixed joint layout of the torso: which servo or motor drives which joint, and the neck's
// encoding ranges, default gains and hard safety bounds. Every other table of the system is
// derived from these.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "can_bus/damiao/mit.hpp"

namespace quillet::controller {

struct ServoJoint {
  std::string_view name;
  std::uint8_t id;
};

// Order of every seven-element servo array of the system.
inline constexpr std::array<ServoJoint, 7> kServoJoints{{
    {"left_arm_pitch", 1},
    {"left_arm_yaw", 2},
    {"right_arm_pitch", 3},
    {"right_arm_yaw", 4},
    {"nose_top", 5},
    {"nose_left", 6},
    {"nose_right", 7},
}};

// Id groups, in the order of the values that go with them. The arms are SM40BL servos, the nose
// STS3025BL servos.
inline constexpr std::array<std::uint8_t, 4> ARM_IDS{1, 2, 3, 4};
inline constexpr std::array<std::uint8_t, 2> LEFT_ARM_IDS{1, 2};
inline constexpr std::array<std::uint8_t, 2> RIGHT_ARM_IDS{3, 4};
inline constexpr std::array<std::uint8_t, 3> NOSE_IDS{5, 6, 7};

inline constexpr bool is_arm_id(std::uint8_t id) { return id >= 1 && id <= 4; }
inline constexpr bool is_nose_id(std::uint8_t id) { return id >= 5 && id <= 7; }

struct NeckJoint {
  std::string_view name;
  std::uint16_t can_id;     // the motor's receive id
  std::uint16_t master_id;  // the id its replies carry
  std::chrono::nanoseconds timeout;
  can_bus::damiao::MitLimits limits;
  float default_kp;
  float default_kd;
  double lower;  // hard safety bounds of every clamped neck command, rad
  double upper;
};

inline constexpr std::size_t kNeckJointCount = 3;

// Index = neck joint index (0 yaw, 1 pitch, 2 roll). Yaw has a faster, weaker range.
inline constexpr std::array<NeckJoint, kNeckJointCount> kNeckJoints{{
    {"neck_yaw", 1, 1, std::chrono::milliseconds(20), {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}, 30.0f,
     1.0f, -0.5, 0.5},
    {"neck_pitch", 2, 2, std::chrono::milliseconds(20), {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}, 60.0f,
     2.0f, 0.0, 0.45},
    {"neck_roll", 3, 3, std::chrono::milliseconds(20), {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}, 60.0f,
     2.0f, -0.4, 0.4},
}};

}  // namespace quillet::controller
