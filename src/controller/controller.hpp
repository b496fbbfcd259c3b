// The synchronous controller of the torso: owns the serial servo bus (optional) and the CAN bus
// of the neck, and runs every operation to completion on the caller's thread. It is not
// synchronised: exactly one caller uses it at a time (the Python object's mutex, or the control
// loop thread that owns it).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "can_bus/damiao/driver.hpp"
#include "can_bus/transport/can_transport.hpp"
#include "controller/error.hpp"
#include "controller/joints.hpp"
#include "platform/clock.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace quillet::controller {

inline constexpr std::string_view kLogTarget = "quillet_motor_controller::controller";

template <class T>
using Result = std::expected<T, Error>;

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

  bool has_serial_port() const { return serial_port_ != nullptr; }
  const BusNames& bus_names() const { return names_; }

  // Joint name to servo id, seven entries. Touches no bus.
  static std::map<std::string, std::uint8_t> get_motor_name_id();
  // Servo ids that did not answer a ping, in table order; every bus failure counts as missing.
  Result<std::vector<std::uint8_t>> check_missing_ids();
  // Names of the neck joints whose motor did not answer a feedback request. Never fails.
  std::vector<std::string> check_missing_neck_motors();

  // Servo groups: one group transaction per servo model, arms first; the first failure stops.
  Result<ServoPositions> read_all_positions();
  Result<std::array<std::uint8_t, 7>> read_all_voltages();
  Result<bool> is_torque_enabled();
  Result<void> set_all_goal_positions(const ServoPositions& positions);
  Result<void> set_arms_position(const std::array<double, 4>& positions);
  Result<void> set_left_arm_position(const std::array<double, 2>& positions);
  Result<void> set_right_arm_position(const std::array<double, 2>& positions);
  Result<void> set_nose_position(const std::array<double, 3>& positions);
  Result<void> enable_torque();
  Result<void> disable_torque();
  Result<void> enable_arms(bool enable);
  Result<void> enable_nose(bool enable);
  // Ids 1-4 go to the arm group, 5-7 to the nose group (order and duplicates kept); others are
  // ignored. No valid id: success without traffic, even without a serial port. More ids of one
  // group than a sync write reaches are refused first (check_torque_ids).
  Result<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable);
  // Writes `data` as is, then returns what had arrived at the first non-empty poll (about 10 ms
  // at most). Without a serial port: an I/O error of kind Unsupported.
  Result<std::vector<std::uint8_t>> write_raw_packet(std::span<const std::uint8_t> data);
  // One register read or write of one servo (the bus transactions Read and Write). What no
  // packet can carry is refused first (check_servo_id, check_read_length, check_write_data);
  // then, without a serial port, the neck-only error.
  Result<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                   std::uint8_t length);
  Result<void> write_raw_bytes(std::uint8_t id, std::uint8_t address,
                               std::span<const std::uint8_t> data);

  // Neck.
  Result<void> enable_neck(bool enable);
  bool is_neck_torque_enabled() const { return neck_torque_enabled_; }
  Result<void> set_neck_gains(std::uint32_t index, float kp, float kd);
  static std::array<std::pair<double, double>, kNeckJointCount> neck_position_limits();
  // Limits to the joint's hard bounds, logging a warning when the request was outside them.
  static double clamp_neck_position(std::size_t index, double position);
  // Unclamped; `label` names the operation in errors.
  Result<NeckPositions> command_neck_mit(const NeckPositions& positions, std::string_view label);
  Result<NeckPositions> set_neck_position(const NeckPositions& positions);
  Result<double> set_single_neck_joint(std::size_t index, double position);
  Result<NeckPositions> read_neck_positions();
  const can_bus::damiao::MitCommand& neck_command(std::size_t index) const { return neck_commands_[index]; }

  // Ramps each neck joint to the multiple of 2π nearest its position; leaves torque on.
  // `interrupted` is asked between cycles: homing can take tens of seconds, and whoever runs it
  // may want to stop it (the joints then hold their last commanded positions, as on a time-out).
  Result<NeckPositions> neck_home(double speed, double tolerance, std::optional<float> kp,
                                  std::optional<float> kd,
                                  const std::function<bool()>& interrupted = {});

  // Reboots the seven servos and waits until each answers a ping again, or `timeout` passes.
  Result<void> reboot(std::chrono::nanoseconds timeout);

 private:
  template <class Op>
  Result<void> with_serial_port(Op&& op);
  // A lower layer's error, with the bus it came from.
  std::unexpected<Error> servo_failure(servo_bus::Error error) const;
  std::unexpected<Error> neck_failure(std::string context, std::size_t joint,
                                      can_bus::damiao::Error error) const;

  Clock& clock_;
  BusNames names_;
  std::array<can_bus::damiao::Damiao, kNeckJointCount> neck_motors_;
  servo_bus::feetech::FeetechProtocolHandler servo_protocol_;
  // Declared before the serial port so that the port is closed first, then the CAN socket.
  std::unique_ptr<can_bus::CanTransport> can_transport_;
  std::unique_ptr<servo_bus::SerialPort> serial_port_;
  std::array<can_bus::damiao::MitCommand, kNeckJointCount> neck_commands_;
  bool neck_torque_enabled_ = false;
};

}  // namespace quillet::controller
