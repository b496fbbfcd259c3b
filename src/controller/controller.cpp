#include "controller/controller.hpp"

#include <algorithm>
#include <utility>

#include "can_bus/transport/socketcan.hpp"

namespace quillet::controller {

Result<std::unique_ptr<QuilletMotorController>> QuilletMotorController::create(
    const std::optional<std::string>& serialport, const std::string& can_bus) {
  std::unique_ptr<servo_bus::SerialPort> port;
  if (serialport) {
    auto opened = servo_bus::LinuxSerialPort::open(*serialport);
    if (!opened) return std::unexpected(Error(Error::Servo{opened.error(), *serialport}));
    port = std::move(*opened);
  }
  auto transport = can_bus::SocketCanTransport::open(can_bus);
  if (!transport) {
    // `port` closes again on the way out.
    return std::unexpected(
        Error(Error::Can{"failed to open CAN bus '" + can_bus + "': ", can_bus, std::nullopt, transport.error()}));
  }
  return std::make_unique<QuilletMotorController>(std::move(port), std::move(*transport), real_clock(),
                                                  BusNames{serialport.value_or(""), can_bus});
}

QuilletMotorController::QuilletMotorController(std::unique_ptr<servo_bus::SerialPort> serial_port,
                                               std::unique_ptr<can_bus::CanTransport> can_transport,
                                               Clock& clock, BusNames names)
    : neck_(std::move(can_transport), clock, std::move(names.can)) {
  if (serial_port) servo_.emplace(std::move(serial_port), clock, std::move(names.serial));
}

template <class Op>
auto QuilletMotorController::on_servos(Op&& op) -> std::invoke_result_t<Op&, ServoSide&> {
  if (!servo_) return std::unexpected(Error::message(kNeckOnlyMessage));
  return op(*servo_);
}

std::map<std::string, std::uint8_t> QuilletMotorController::get_motor_name_id() {
  std::map<std::string, std::uint8_t> map;
  for (const auto& joint : kServoJoints) map.emplace(joint.name, joint.id);
  return map;
}

Result<std::vector<std::uint8_t>> QuilletMotorController::check_missing_ids() {
  if (!servo_) return std::vector<std::uint8_t>{};
  return servo_->check_missing_ids();
}

Result<ServoPositions> QuilletMotorController::read_all_positions() {
  return on_servos([](ServoSide& s) { return s.read_all_positions(); });
}

Result<std::array<std::uint8_t, kServoJoints.size()>> QuilletMotorController::read_all_voltages() {
  return on_servos([](ServoSide& s) { return s.read_all_voltages(); });
}

Result<bool> QuilletMotorController::is_torque_enabled() {
  return on_servos([](ServoSide& s) { return s.is_torque_enabled(); });
}

Result<void> QuilletMotorController::set_all_goal_positions(const Positions<kServoJoints.size()>& positions) {
  return on_servos([&](ServoSide& s) { return s.set_all_goal_positions(positions); });
}

Result<void> QuilletMotorController::set_arms_position(const Positions<ARM_IDS.size()>& positions) {
  return on_servos([&](ServoSide& s) { return s.set_arms_position(positions); });
}

Result<void> QuilletMotorController::set_left_arm_position(const Positions<LEFT_ARM_IDS.size()>& positions) {
  return on_servos([&](ServoSide& s) { return s.set_left_arm_position(positions); });
}

Result<void> QuilletMotorController::set_right_arm_position(const Positions<RIGHT_ARM_IDS.size()>& positions) {
  return on_servos([&](ServoSide& s) { return s.set_right_arm_position(positions); });
}

Result<void> QuilletMotorController::set_nose_position(const Positions<NOSE_IDS.size()>& positions) {
  return on_servos([&](ServoSide& s) { return s.set_nose_position(positions); });
}

Result<void> QuilletMotorController::enable_arms(bool enable) {
  return on_servos([&](ServoSide& s) { return s.enable_arms(enable); });
}

Result<void> QuilletMotorController::enable_nose(bool enable) {
  return on_servos([&](ServoSide& s) { return s.enable_nose(enable); });
}

Result<void> QuilletMotorController::enable_torque() {
  if (auto arms = enable_arms(true); !arms) return arms;
  return enable_nose(true);
}

Result<void> QuilletMotorController::disable_torque() {
  if (auto arms = enable_arms(false); !arms) return arms;
  return enable_nose(false);
}

Result<void> QuilletMotorController::set_torque_on_ids(const TorqueIds& ids, bool enable) {
  if (std::ranges::none_of(ids.value(), [](std::uint8_t id) { return is_arm_id(id) || is_nose_id(id); })) return {};
  return on_servos([&](ServoSide& s) { return s.set_torque_on_ids(ids, enable); });
}

Result<std::vector<std::uint8_t>> QuilletMotorController::write_raw_packet(std::span<const std::uint8_t> data) {
  if (!servo_) return std::unexpected(Error(servo_bus::Error(IoError{IoErrorKind::Unsupported, kNeckOnlyMessage})));
  return servo_->write_raw_packet(data);
}

Result<std::vector<std::uint8_t>> QuilletMotorController::read_raw_bytes(ServoId id, std::uint8_t address,
                                                                         ReadLength length) {
  return on_servos([&](ServoSide& s) { return s.read_raw_bytes(id, address, length); });
}

Result<void> QuilletMotorController::write_raw_bytes(ServoId id, std::uint8_t address, const WriteData& data) {
  return on_servos([&](ServoSide& s) { return s.write_raw_bytes(id, address, data); });
}

Result<void> QuilletMotorController::reboot(std::chrono::nanoseconds timeout) {
  if (!servo_) return {};
  return servo_->reboot(timeout);
}

}  // namespace quillet::controller
