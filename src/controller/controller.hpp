// The synchronous controller of the torso, composed of its two sides, one per wire: the servo
// side (the serial line of the arms and the nose; absent for a neck-only controller) and the
// neck side (the CAN bus of the neck). Every operation runs to completion on the caller's thread,
// on the side it concerns. It is not synchronised: one caller uses it at a time (the Python
// object's mutex, or the control loop that owns it).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "can_bus/transport/can_transport.hpp"
#include "controller/error.hpp"
#include "controller/inputs.hpp"
#include "controller/joints.hpp"
#include "controller/neck_side.hpp"
#include "controller/servo_side.hpp"
#include "platform/clock.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace quillet::controller {

// The names of the buses, as people know them: errors name their bus with them.
struct BusNames {
  std::string serial;  // the serial device path; empty without one
  std::string can;     // the CAN interface
};

class QuilletMotorController {
 public:
  // Opens the serial port (when a path is given), then the CAN interface. Sends nothing.
  static Result<std::unique_ptr<QuilletMotorController>> create(
      const std::optional<std::string>& serialport, const std::string& can_bus);

  // Over buses that are already open; `serial_port` may be null for a neck-only controller.
  // Every pause (homing cycles, reboot polls, the raw reply's poll, the bus layers' own) sleeps
  // on `clock`, which must outlive the controller.
  QuilletMotorController(std::unique_ptr<servo_bus::SerialPort> serial_port,
                         std::unique_ptr<can_bus::CanTransport> can_transport,
                         Clock& clock = real_clock(), BusNames names = {});

  QuilletMotorController(const QuilletMotorController&) = delete;
  QuilletMotorController& operator=(const QuilletMotorController&) = delete;

  bool has_serial_port() const { return servo_.has_value(); }
  // The two sides, for whoever works on both wires at once: each may be given to one thread.
  ServoSide* servo_side() { return servo_ ? &*servo_ : nullptr; }
  NeckSide& neck_side() { return neck_; }

  // Joint name to servo id, seven entries. Touches no bus.
  static std::map<std::string, std::uint8_t> get_motor_name_id();
  // Servo ids that did not answer a ping, in table order (none without a serial port); every
  // bus failure counts as missing.
  Result<std::vector<std::uint8_t>> check_missing_ids();
  std::vector<std::string> check_missing_neck_motors() { return neck_.check_missing_neck_motors(); }

  // Servo groups (servo_side.hpp); without a serial port each fails with kNeckOnlyMessage.
  Result<ServoPositions> read_all_positions();
  Result<std::array<std::uint8_t, kServoJoints.size()>> read_all_voltages();
  Result<bool> is_torque_enabled();
  Result<void> set_all_goal_positions(const Positions<kServoJoints.size()>& positions);
  Result<void> set_arms_position(const Positions<ARM_IDS.size()>& positions);
  Result<void> set_left_arm_position(const Positions<LEFT_ARM_IDS.size()>& positions);
  Result<void> set_right_arm_position(const Positions<RIGHT_ARM_IDS.size()>& positions);
  Result<void> set_nose_position(const Positions<NOSE_IDS.size()>& positions);
  Result<void> enable_torque();
  Result<void> disable_torque();
  Result<void> enable_arms(bool enable);
  Result<void> enable_nose(bool enable);
  // No valid id (neither an arm's nor the nose's): success without traffic, even without a
  // serial port.
  Result<void> set_torque_on_ids(const TorqueIds& ids, bool enable);
  // Without a serial port: an I/O error of kind Unsupported.
  Result<std::vector<std::uint8_t>> write_raw_packet(std::span<const std::uint8_t> data);
  Result<std::vector<std::uint8_t>> read_raw_bytes(ServoId id, std::uint8_t address, ReadLength length);
  Result<void> write_raw_bytes(ServoId id, std::uint8_t address, const WriteData& data);
  // Without a serial port: success, nothing sent.
  Result<void> reboot(std::chrono::nanoseconds timeout);

  // Neck (neck_side.hpp).
  Result<void> enable_neck(bool enable) { return neck_.enable_neck(enable); }
  bool is_neck_torque_enabled() const { return neck_.is_neck_torque_enabled(); }
  void set_neck_gains(NeckAxis joint, Gain kp, Gain kd) { neck_.set_neck_gains(joint, kp, kd); }
  static std::array<std::pair<double, double>, kNeckJointCount> neck_position_limits() {
    return NeckSide::neck_position_limits();
  }
  static double clamp_neck_position(NeckAxis joint, double position) {
    return NeckSide::clamp_neck_position(joint, position);
  }
  Result<NeckPositions> command_neck_mit(const Positions<kNeckJointCount>& positions, std::string_view label) {
    return neck_.command_neck_mit(positions, label);
  }
  Result<NeckPositions> set_neck_position(const Positions<kNeckJointCount>& positions) {
    return neck_.set_neck_position(positions);
  }
  Result<double> set_single_neck_joint(NeckAxis joint, const Position& position) {
    return neck_.set_single_neck_joint(joint, position);
  }
  Result<NeckPositions> read_neck_positions() { return neck_.read_neck_positions(); }
  const can_bus::damiao::MitCommand& neck_command(NeckAxis joint) const { return neck_.neck_command(joint); }
  Result<NeckPositions> neck_home(double speed, double tolerance, std::optional<Gain> kp, std::optional<Gain> kd,
                                  const std::function<bool()>& interrupted = {}) {
    return neck_.neck_home(speed, tolerance, kp, kd, interrupted);
  }

 private:
  // `op(servo side)`, or the neck-only error without one.
  template <class Op>
  auto on_servos(Op&& op) -> std::invoke_result_t<Op&, ServoSide&>;

  // The neck side first, so that it is released last: the serial port closes, then the socket.
  NeckSide neck_;
  std::optional<ServoSide> servo_;
};

}  // namespace quillet::controller
