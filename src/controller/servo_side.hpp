// The servo side of the controller: the serial line of the arms and the nose. It owns the open
// port and its transaction layer and runs the servo group operations on them: one group
// transaction per servo model, arms first; the first failure stops. A controller without a
// serial port (neck only) has no servo side at all.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "controller/error.hpp"
#include "controller/inputs.hpp"
#include "controller/joints.hpp"
#include "platform/clock.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace quillet::controller {

class ServoSide {
 public:
  // Over an open port (not null), named `bus` in errors (its device path; may be empty). Every
  // pause sleeps on `clock`, which must outlive the side.
  ServoSide(std::unique_ptr<servo_bus::SerialPort> port, Clock& clock, std::string bus);
  ServoSide(ServoSide&&) = default;

  const std::string& bus() const { return bus_; }

  // Servo ids that did not answer a ping, in table order; every bus failure counts as missing.
  std::vector<std::uint8_t> check_missing_ids();

  Result<ServoPositions> read_all_positions();
  Result<std::array<std::uint8_t, kServoJoints.size()>> read_all_voltages();
  Result<bool> is_torque_enabled();
  Result<void> set_all_goal_positions(const Positions<kServoJoints.size()>& positions);
  Result<void> set_arms_position(const Positions<ARM_IDS.size()>& positions);
  Result<void> set_left_arm_position(const Positions<LEFT_ARM_IDS.size()>& positions);
  Result<void> set_right_arm_position(const Positions<RIGHT_ARM_IDS.size()>& positions);
  Result<void> set_nose_position(const Positions<NOSE_IDS.size()>& positions);
  Result<void> enable_arms(bool enable);
  Result<void> enable_nose(bool enable);
  // Ids 1-4 go to the arm group, 5-7 to the nose group (order and duplicates kept); others are
  // ignored. No valid id: success without traffic.
  Result<void> set_torque_on_ids(const TorqueIds& ids, bool enable);
  // Writes `data` as is, then returns what had arrived at the first non-empty poll (about 10 ms
  // at most).
  Result<std::vector<std::uint8_t>> write_raw_packet(std::span<const std::uint8_t> data);
  // One register read or write of one servo (the bus transactions Read and Write).
  Result<std::vector<std::uint8_t>> read_raw_bytes(ServoId id, std::uint8_t address, ReadLength length);
  Result<void> write_raw_bytes(ServoId id, std::uint8_t address, const WriteData& data);

  // Reboots the seven servos and waits until each answers a ping again, or `timeout` passes.
  Result<void> reboot(std::chrono::nanoseconds timeout);

 private:
  // A bus layer's error, with the bus it came from.
  std::unexpected<Error> failure(servo_bus::Error error) const;
  template <class Done>
  Result<void> done(Done&& outcome) const;

  Clock& clock_;
  std::string bus_;
  servo_bus::feetech::FeetechProtocolHandler protocol_;
  std::unique_ptr<servo_bus::SerialPort> port_;
};

}  // namespace quillet::controller
