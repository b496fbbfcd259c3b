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

// The arms are SM40BL servos, the nose STS3025BL servos: one group transaction per model.
enum class ServoGroup : std::uint8_t { LeftArm, RightArm, Nose };

struct ServoJoint {
  std::string_view name;
  std::uint8_t id;
  ServoGroup group;
};

// Order of every seven-element servo array of the system.
inline constexpr std::array<ServoJoint, 7> kServoJoints{{
    {"left_arm_pitch", 1, ServoGroup::LeftArm},
    {"left_arm_yaw", 2, ServoGroup::LeftArm},
    {"right_arm_pitch", 3, ServoGroup::RightArm},
    {"right_arm_yaw", 4, ServoGroup::RightArm},
    {"nose_top", 5, ServoGroup::Nose},
    {"nose_left", 6, ServoGroup::Nose},
    {"nose_right", 7, ServoGroup::Nose},
}};

// The servo supply below which nothing should move (tenths of a volt): the loop waits for it at
// start-up, and the scan reports a supply under it.
inline constexpr std::uint8_t kServoSupplyReady = 110;

namespace detail {
template <ServoGroup... Groups>
constexpr bool in(ServoGroup group) {
  return ((group == Groups) || ...);
}
// The ids of the joints in `Groups`, in table order.
template <ServoGroup... Groups>
constexpr auto ids_of() {
  constexpr std::size_t count = [] {
    std::size_t n = 0;
    for (const ServoJoint& joint : kServoJoints) n += in<Groups...>(joint.group) ? 1 : 0;
    return n;
  }();
  std::array<std::uint8_t, count> ids{};
  std::size_t next = 0;
  for (const ServoJoint& joint : kServoJoints) {
    if (in<Groups...>(joint.group)) ids[next++] = joint.id;
  }
  return ids;
}
template <ServoGroup... Groups>
constexpr bool id_in(std::uint8_t id) {
  for (const ServoJoint& joint : kServoJoints) {
    if (joint.id == id) return in<Groups...>(joint.group);
  }
  return false;
}
}  // namespace detail

// Id groups, in the order of the values that go with them.
inline constexpr auto ARM_IDS = detail::ids_of<ServoGroup::LeftArm, ServoGroup::RightArm>();
inline constexpr auto LEFT_ARM_IDS = detail::ids_of<ServoGroup::LeftArm>();
inline constexpr auto RIGHT_ARM_IDS = detail::ids_of<ServoGroup::RightArm>();
inline constexpr auto NOSE_IDS = detail::ids_of<ServoGroup::Nose>();

inline constexpr bool is_arm_id(std::uint8_t id) {
  return detail::id_in<ServoGroup::LeftArm, ServoGroup::RightArm>(id);
}
inline constexpr bool is_nose_id(std::uint8_t id) { return detail::id_in<ServoGroup::Nose>(id); }

// Positions in rad, in the joint orders above.
using ServoPositions = std::array<double, kServoJoints.size()>;

// A seven-element servo array is the arm group's values followed by the nose group's.
static_assert([] {
  for (std::size_t i = 0; i < kServoJoints.size(); ++i) {
    if ((i < ARM_IDS.size()) == (kServoJoints[i].group == ServoGroup::Nose)) return false;
  }
  return true;
}());

struct NeckJoint {
  std::string_view name;
  std::string_view setter;  // the operation that commands this joint alone
  std::uint16_t can_id;     // the motor's receive id
  std::uint16_t master_id;  // the id its replies carry
  std::chrono::nanoseconds timeout;
  can_bus::damiao::MitLimits limits;
  float default_kp;
  float default_kd;
  double lower;  // hard safety bounds of every clamped neck command, rad
  double upper;
};

// The neck joints, in the order of every three-element neck array.
enum class NeckAxis : std::uint8_t { Yaw, Pitch, Roll };
inline constexpr std::size_t kNeckJointCount = 3;
inline constexpr std::array<NeckAxis, kNeckJointCount> kNeckAxes{NeckAxis::Yaw, NeckAxis::Pitch, NeckAxis::Roll};

constexpr std::size_t index_of(NeckAxis axis) { return static_cast<std::size_t>(axis); }

// Index = index_of(axis). Yaw has a faster, weaker range.
inline constexpr std::array<NeckJoint, kNeckJointCount> kNeckJoints{{
    {"neck_yaw", "set_neck_yaw_position", 1, 1, std::chrono::milliseconds(20), {12.5f, 30.0f, 500.0f, 5.0f, 10.0f}, 30.0f,
     1.0f, -0.5, 0.5},
    {"neck_pitch", "set_neck_pitch_position", 2, 2, std::chrono::milliseconds(20), {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}, 60.0f,
     2.0f, 0.0, 0.45},
    {"neck_roll", "set_neck_roll_position", 3, 3, std::chrono::milliseconds(20), {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}, 60.0f,
     2.0f, -0.4, 0.4},
}};

constexpr const NeckJoint& neck_joint(NeckAxis axis) { return kNeckJoints[index_of(axis)]; }

using NeckPositions = std::array<double, kNeckJointCount>;

}  // namespace quillet::controller
