// What callers queue for the loop thread: one motor command each, executed in queue order on the
// loop's own controller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <variant>
#include <vector>

#include "control_loop/channel.hpp"
#include "controller/inputs.hpp"
#include "controller/joints.hpp"

namespace quillet::control_loop {

using Bytes = std::vector<std::uint8_t>;

// The tag of each command is its index in MotorCommand's variant. Every input a command carries
// was checked where it was queued (controller/inputs.hpp): the loop never refuses one later.
using controller::Position;
using controller::Positions;

// The seven servo values of the record given, in joint order; its neck values are not commanded.
struct SetAllGoalPositions { Positions<7> positions; };
struct SetLeftArmPosition { Positions<2> position; };
struct SetRightArmPosition { Positions<2> position; };
struct SetArmsPosition { Positions<4> position; };
struct SetNosePosition { Positions<3> position; };
struct SetNeckPosition { Positions<3> position; };
// One neck joint; the three commands differ by their joint only.
template <controller::NeckAxis Joint>
struct SetNeckJointPosition {
  static constexpr controller::NeckAxis joint = Joint;
  Position position;
};
using SetNeckYawPosition = SetNeckJointPosition<controller::NeckAxis::Yaw>;
using SetNeckPitchPosition = SetNeckJointPosition<controller::NeckAxis::Pitch>;
using SetNeckRollPosition = SetNeckJointPosition<controller::NeckAxis::Roll>;
struct EnableNeck { bool enable; };
struct EnableTorque {};
struct EnableTorqueOnIds { controller::TorqueIds ids; };
struct DisableTorque {};
struct DisableTorqueOnIds { controller::TorqueIds ids; };
struct EnableArms { bool enable; };
struct EnableNose { bool enable; };
// The reply carries the register bytes; dropped without a value when the read fails.
struct ReadRawBytes {
  controller::ServoId id;
  std::uint8_t address;
  controller::ReadLength length;
  ReplySender<Bytes> reply;
};
struct WriteRawBytes {
  controller::ServoId id;
  std::uint8_t address;
  controller::WriteData data;
};
// The reply carries what the bus answered (possibly nothing).
struct WriteRawPacket {
  Bytes packet;
  ReplySender<Bytes> reply;
};

using MotorCommand =
    std::variant<SetAllGoalPositions, SetLeftArmPosition, SetRightArmPosition, SetArmsPosition,
                 SetNosePosition, SetNeckPosition, SetNeckYawPosition, SetNeckPitchPosition,
                 SetNeckRollPosition, EnableNeck, EnableTorque, EnableTorqueOnIds, DisableTorque,
                 DisableTorqueOnIds, EnableArms, EnableNose, ReadRawBytes, WriteRawBytes,
                 WriteRawPacket>;

// The controller operation each command runs, by tag, as log records name it.
inline constexpr std::array<std::string_view, std::variant_size_v<MotorCommand>> kCommandNames{
    "set_all_goal_positions", "set_left_arm_position", "set_right_arm_position", "set_arms_position",
    "set_nose_position", "set_neck_position", "set_neck_yaw_position", "set_neck_pitch_position",
    "set_neck_roll_position", "enable_neck", "enable_torque", "enable_torque_on_ids", "disable_torque",
    "disable_torque_on_ids", "enable_arms", "enable_nose", "read_raw_bytes", "write_raw_bytes",
    "write_raw_packet"};

inline std::string_view command_name(const MotorCommand& command) { return kCommandNames[command.index()]; }

// Room for this many commands; a caller that finds the queue full waits.
inline constexpr std::size_t kCommandQueueCapacity = 100;

using CommandSender = QueueSender<MotorCommand>;
using CommandReceiver = QueueReceiver<MotorCommand>;

}  // namespace quillet::control_loop
