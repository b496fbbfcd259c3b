// The neck side of the controller: the CAN bus of the neck. It owns the socket, the drivers of
// the three motors and the neck's command state (the MIT command last built for each joint, its
// gains included, and the torque state last commanded), and runs the neck operations on them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "can_bus/damiao/driver.hpp"
#include "can_bus/transport/can_transport.hpp"
#include "controller/error.hpp"
#include "controller/inputs.hpp"
#include "controller/joints.hpp"
#include "platform/clock.hpp"

namespace quillet::controller {

// The joint of a neck index given from outside: "neck index out of range: 3" past roll.
Result<NeckAxis> neck_axis_at(std::uint32_t index);

class NeckSide {
 public:
  // Over an open transport (not null), named `bus` in errors (its interface name). Every pause
  // sleeps on `clock`, which must outlive the side.
  NeckSide(std::unique_ptr<can_bus::CanTransport> transport, Clock& clock, std::string bus);
  NeckSide(NeckSide&&) = default;

  const std::string& bus() const { return bus_; }

  // Names of the neck joints whose motor did not answer a feedback request. Never fails.
  std::vector<std::string> check_missing_neck_motors();

  // On enable, also forces each motor into MIT mode.
  Result<void> enable_neck(bool enable);
  // The last commanded state, in memory only: the motors offer no readable enable register.
  bool is_neck_torque_enabled() const { return torque_enabled_; }
  void set_neck_gains(NeckAxis joint, Gain kp, Gain kd);
  static std::array<std::pair<double, double>, kNeckJointCount> neck_position_limits();
  // Limits to the joint's hard bounds, logging a warning when the request was outside them.
  static double clamp_neck_position(NeckAxis joint, double position);
  // Unclamped; `label` names the operation in errors.
  Result<NeckPositions> command_neck_mit(const Positions<kNeckJointCount>& positions, std::string_view label);
  // Clamped, then commanded; the positions the motors reported.
  Result<NeckPositions> set_neck_position(const Positions<kNeckJointCount>& positions);
  Result<double> set_single_neck_joint(NeckAxis joint, const Position& position);
  Result<NeckPositions> read_neck_positions();
  const can_bus::damiao::MitCommand& neck_command(NeckAxis joint) const { return commands_[index_of(joint)]; }

  // Ramps each joint to the multiple of 2π nearest its position; leaves torque on (homing.cpp).
  // `interrupted` is asked between cycles: homing can take tens of seconds, and whoever runs it
  // may want to stop it (the joints then hold their last commanded positions, as on a time-out).
  Result<NeckPositions> neck_home(double speed, double tolerance, std::optional<Gain> kp, std::optional<Gain> kd,
                                  const std::function<bool()>& interrupted = {});

 private:
  // One MIT command to each joint, of positions the caller computed.
  Result<NeckPositions> command_all(const NeckPositions& positions, std::string_view label);
  // A driver's error, behind `context`, with the joint and the bus.
  std::unexpected<Error> failure(std::string context, NeckAxis joint, can_bus::damiao::Error error) const;

  Clock& clock_;
  std::string bus_;
  std::unique_ptr<can_bus::CanTransport> transport_;
  std::array<can_bus::damiao::Damiao, kNeckJointCount> motors_;
  std::array<can_bus::damiao::MitCommand, kNeckJointCount> commands_;
  bool torque_enabled_ = false;
};

}  // namespace quillet::controller
