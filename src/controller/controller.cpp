#include "controller/controller.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "can_bus/transport/socketcan.hpp"
#include "controller/homing.hpp"
#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "servo_bus/servo/feetech/sts3025bl.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace quillet::controller {
using servo_bus::feetech::sm40bl;
using servo_bus::feetech::sts3025bl;
using log::Level;

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr auto kRebootPollInterval = std::chrono::nanoseconds(100'000'000);
constexpr auto kRawReplyWindow = std::chrono::milliseconds(10);
constexpr auto kRawReplyPoll = std::chrono::milliseconds(5);

std::unexpected<Error> fail(std::string text) { return std::unexpected(Error::message(std::move(text))); }
std::unexpected<Error> neck_only() { return fail(kNeckOnlyMessage); }

std::string joint_name(std::size_t index) { return std::string(kNeckJoints[index].name); }

can_bus::damiao::Damiao make_neck_motor(const NeckJoint& joint) {
  // The table's limits are valid constants, so this cannot fail.
  return *can_bus::damiao::Damiao::make(joint.timeout, joint.limits, joint.can_id, joint.master_id);
}

// Builds the 7-element servo array from the arm group's values followed by the nose group's.
// A group read returns exactly one value per id, or an error.
template <class T, class A, class B>
std::array<T, kServoJoints.size()> join_groups(const A& arms, const B& nose) {
  std::array<T, kServoJoints.size()> out{};
  std::copy_n(arms.begin(), ARM_IDS.size(), out.begin());
  std::copy_n(nose.begin(), NOSE_IDS.size(), out.begin() + ARM_IDS.size());
  return out;
}

}  // namespace

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
    : clock_(clock),
      names_(std::move(names)),
      neck_motors_{make_neck_motor(kNeckJoints[0]), make_neck_motor(kNeckJoints[1]),
                   make_neck_motor(kNeckJoints[2])},
      servo_protocol_(clock),
      can_transport_(std::move(can_transport)),
      serial_port_(std::move(serial_port)) {
  for (std::size_t i = 0; i < kNeckJointCount; ++i) {
    neck_commands_[i] = can_bus::damiao::MitCommand{0.0f, 0.0f, kNeckJoints[i].default_kp,
                                           kNeckJoints[i].default_kd, 0.0f};
  }
}

std::map<std::string, std::uint8_t> QuilletMotorController::get_motor_name_id() {
  std::map<std::string, std::uint8_t> map;
  for (const auto& joint : kServoJoints) map.emplace(joint.name, joint.id);
  return map;
}

Result<std::vector<std::uint8_t>> QuilletMotorController::check_missing_ids() {
  std::vector<std::uint8_t> missing;
  if (!serial_port_) return missing;
  for (const ServoJoint& joint : kServoJoints) {
    auto answered = servo_protocol_.ping(*serial_port_, joint.id);
    if (!answered || !*answered) missing.push_back(joint.id);
  }
  return missing;
}

std::vector<std::string> QuilletMotorController::check_missing_neck_motors() {
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < kNeckJointCount; ++i) {
    if (!neck_motors_[i].request_feedback(*can_transport_)) missing.push_back(joint_name(i));
  }
  return missing;
}

// ---- Servo groups ---------------------------------------------------------------------------

Result<ServoPositions> QuilletMotorController::read_all_positions() {
  if (!serial_port_) return neck_only();
  auto arms = sm40bl.sync_read_present_position(servo_protocol_, *serial_port_, ARM_IDS);
  if (!arms) return servo_failure(std::move(arms.error()));
  auto nose = sts3025bl.sync_read_present_position(servo_protocol_, *serial_port_, NOSE_IDS);
  if (!nose) return servo_failure(std::move(nose.error()));
  return join_groups<double>(*arms, *nose);
}

Result<std::array<std::uint8_t, 7>> QuilletMotorController::read_all_voltages() {
  if (!serial_port_) return neck_only();
  auto arms = sm40bl.sync_read_present_voltage(servo_protocol_, *serial_port_, ARM_IDS);
  if (!arms) return servo_failure(std::move(arms.error()));
  auto nose = sts3025bl.sync_read_present_voltage(servo_protocol_, *serial_port_, NOSE_IDS);
  if (!nose) return servo_failure(std::move(nose.error()));
  return join_groups<std::uint8_t>(*arms, *nose);
}

Result<bool> QuilletMotorController::is_torque_enabled() {
  if (!serial_port_) return neck_only();
  auto arms = sm40bl.sync_read_torque_enable(servo_protocol_, *serial_port_, ARM_IDS);
  if (!arms) return servo_failure(std::move(arms.error()));
  auto nose = sts3025bl.sync_read_torque_enable(servo_protocol_, *serial_port_, NOSE_IDS);
  if (!nose) return servo_failure(std::move(nose.error()));
  const auto all = join_groups<bool>(*arms, *nose);
  return std::all_of(all.begin(), all.end(), [](bool on) { return on; });
}

template <class Op>
Result<void> QuilletMotorController::with_serial_port(Op&& op) {
  if (!serial_port_) return neck_only();
  auto done = op(*serial_port_);
  if (!done) return servo_failure(std::move(done.error()));
  return {};
}

std::unexpected<Error> QuilletMotorController::servo_failure(servo_bus::Error error) const {
  return std::unexpected(Error(Error::Servo{std::move(error), names_.serial}));
}

std::unexpected<Error> QuilletMotorController::neck_failure(std::string context, std::size_t joint,
                                                            can_bus::damiao::Error error) const {
  return std::unexpected(Error(Error::Can{std::move(context), names_.can, joint, std::move(error)}));
}

Result<void> QuilletMotorController::set_all_goal_positions(const ServoPositions& positions) {
  if (auto ok = check_positions("set_all_goal_positions", "positions", positions); !ok) return ok;
  const std::span<const double> all(positions);
  auto arms = with_serial_port([&](servo_bus::SerialPort& port) {
    return sm40bl.sync_write_goal_position(servo_protocol_, port, ARM_IDS, all.first<ARM_IDS.size()>());
  });
  if (!arms) return arms;
  return with_serial_port([&](servo_bus::SerialPort& port) {
    return sts3025bl.sync_write_goal_position(servo_protocol_, port, NOSE_IDS, all.last<NOSE_IDS.size()>());
  });
}

Result<void> QuilletMotorController::set_arms_position(const std::array<double, 4>& positions) {
  if (auto ok = check_positions("set_arms_position", "position", positions); !ok) return ok;
  return with_serial_port([&](servo_bus::SerialPort& port) {
    return sm40bl.sync_write_goal_position(servo_protocol_, port, ARM_IDS, positions);
  });
}

Result<void> QuilletMotorController::set_left_arm_position(const std::array<double, 2>& positions) {
  if (auto ok = check_positions("set_left_arm_position", "position", positions); !ok) return ok;
  return with_serial_port([&](servo_bus::SerialPort& port) {
    return sm40bl.sync_write_goal_position(servo_protocol_, port, LEFT_ARM_IDS, positions);
  });
}

Result<void> QuilletMotorController::set_right_arm_position(const std::array<double, 2>& positions) {
  if (auto ok = check_positions("set_right_arm_position", "position", positions); !ok) return ok;
  return with_serial_port([&](servo_bus::SerialPort& port) {
    return sm40bl.sync_write_goal_position(servo_protocol_, port, RIGHT_ARM_IDS, positions);
  });
}

Result<void> QuilletMotorController::set_nose_position(const std::array<double, 3>& positions) {
  if (auto ok = check_positions("set_nose_position", "position", positions); !ok) return ok;
  return with_serial_port([&](servo_bus::SerialPort& port) {
    return sts3025bl.sync_write_goal_position(servo_protocol_, port, NOSE_IDS, positions);
  });
}

Result<void> QuilletMotorController::enable_arms(bool enable) {
  std::array<bool, ARM_IDS.size()> values;
  values.fill(enable);
  return with_serial_port([&](servo_bus::SerialPort& port) {
    return sm40bl.sync_write_torque_enable(servo_protocol_, port, ARM_IDS, values);
  });
}

Result<void> QuilletMotorController::enable_nose(bool enable) {
  std::array<bool, NOSE_IDS.size()> values;
  values.fill(enable);
  return with_serial_port([&](servo_bus::SerialPort& port) {
    return sts3025bl.sync_write_torque_enable(servo_protocol_, port, NOSE_IDS, values);
  });
}

Result<void> QuilletMotorController::enable_torque() {
  if (auto arms = enable_arms(true); !arms) return arms;
  return enable_nose(true);
}

Result<void> QuilletMotorController::disable_torque() {
  if (auto arms = enable_arms(false); !arms) return arms;
  return enable_nose(false);
}

Result<void> QuilletMotorController::set_torque_on_ids(std::span<const std::uint8_t> ids,
                                                       bool enable) {
  if (auto ok = check_torque_ids("set_torque_on_ids", "ids", ids); !ok) return ok;
  std::vector<std::uint8_t> arm_ids;
  std::vector<std::uint8_t> nose_ids;
  for (std::uint8_t id : ids) {
    if (is_arm_id(id)) arm_ids.push_back(id);
    else if (is_nose_id(id)) nose_ids.push_back(id);
  }
  if (!arm_ids.empty()) {
    const std::vector<std::uint8_t> values(arm_ids.size(), enable ? 1 : 0);
    auto arms = with_serial_port([&](servo_bus::SerialPort& port) {
      return sm40bl.sync_write_raw_torque_enable(servo_protocol_, port, arm_ids, values);
    });
    if (!arms) return arms;
  }
  if (!nose_ids.empty()) {
    const std::vector<std::uint8_t> values(nose_ids.size(), enable ? 1 : 0);
    return with_serial_port([&](servo_bus::SerialPort& port) {
      return sts3025bl.sync_write_raw_torque_enable(servo_protocol_, port, nose_ids, values);
    });
  }
  return {};
}

Result<std::vector<std::uint8_t>> QuilletMotorController::write_raw_packet(
    std::span<const std::uint8_t> data) {
  auto io_failure = [this](IoError error) { return servo_failure(std::move(error)); };
  if (!serial_port_) return io_failure(IoError{IoErrorKind::Unsupported, kNeckOnlyMessage});
  servo_bus::SerialPort& port = *serial_port_;
  if (auto written = port.write_all(data); !written) return io_failure(written.error());
  if (auto flushed = port.flush(); !flushed) return io_failure(flushed.error());

  auto waiting = [&]() -> std::expected<std::size_t, IoError> {
    auto count = port.bytes_to_read();
    if (!count) return std::unexpected(IoError{IoErrorKind::Other, count.error().message()});
    return *count;
  };
  auto count = waiting();
  const auto start = clock_.now();
  while (count && *count == 0) {
    if (clock_.now() - start >= kRawReplyWindow) break;
    clock_.sleep_for(kRawReplyPoll);
    count = waiting();
  }
  if (!count) return io_failure(count.error());
  std::vector<std::uint8_t> reply(*count);
  if (auto read = port.read_exact(reply); !read) return io_failure(read.error());
  return reply;
}

Result<std::vector<std::uint8_t>> QuilletMotorController::read_raw_bytes(std::uint8_t id,
                                                                         std::uint8_t address,
                                                                         std::uint8_t length) {
  if (auto ok = check_servo_id("read_raw_bytes", "id", id); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = check_read_length("read_raw_bytes", "length", length); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  if (!serial_port_) return neck_only();
  auto bytes = servo_protocol_.read(*serial_port_, id, address, length);
  if (!bytes) return servo_failure(std::move(bytes.error()));
  return std::move(*bytes);
}

Result<void> QuilletMotorController::write_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                     std::span<const std::uint8_t> data) {
  if (auto ok = check_servo_id("write_raw_bytes", "id", id); !ok) return ok;
  if (auto ok = check_write_data("write_raw_bytes", "data", data.size()); !ok) return ok;
  return with_serial_port([&](servo_bus::SerialPort& port) {
    return servo_protocol_.write(port, id, address, data);
  });
}

// ---- Neck -----------------------------------------------------------------------------------

Result<void> QuilletMotorController::enable_neck(bool enable) {
  can_bus::CanTransport& bus = *can_transport_;
  for (std::size_t i = 0; i < kNeckJointCount; ++i) {
    const can_bus::damiao::Damiao& motor = neck_motors_[i];
    if (enable) {
      if (auto mode = motor.ensure_control_mode(bus, can_bus::damiao::kMitMode, clock_); !mode) {
        return neck_failure(joint_name(i) + ": ensure MIT mode failed: ", i, std::move(mode.error()));
      }
      if (auto enabled = motor.enable(bus); !enabled) {
        return neck_failure(joint_name(i) + ": enable failed: ", i, std::move(enabled.error()));
      }
    } else if (auto disabled = motor.disable(bus); !disabled) {
      return neck_failure(joint_name(i) + ": disable failed: ", i, std::move(disabled.error()));
    }
  }
  neck_torque_enabled_ = enable;
  return {};
}

Result<void> QuilletMotorController::set_neck_gains(std::uint32_t index, float kp, float kd) {
  if (auto ok = check_gain("set_neck_gains", "kp", kp); !ok) return ok;
  if (auto ok = check_gain("set_neck_gains", "kd", kd); !ok) return ok;
  if (index >= kNeckJointCount) return fail("neck index out of range: " + std::to_string(index));
  neck_commands_[index].kp = kp;
  neck_commands_[index].kd = kd;
  return {};
}

std::array<std::pair<double, double>, kNeckJointCount>
QuilletMotorController::neck_position_limits() {
  std::array<std::pair<double, double>, kNeckJointCount> limits;
  for (std::size_t i = 0; i < kNeckJointCount; ++i) {
    limits[i] = {kNeckJoints[i].lower, kNeckJoints[i].upper};
  }
  return limits;
}

double QuilletMotorController::clamp_neck_position(std::size_t index, double position) {
  const NeckJoint& joint = kNeckJoints[index];
  // Written out rather than std::clamp so that NaN passes through unchanged.
  const double clamped =
      position < joint.lower ? joint.lower : (position > joint.upper ? joint.upper : position);
  if (std::fabs(clamped - position) > kEpsilon) {
    using text::float_fixed;
    QUILLET_LOG(Level::Warn, kLogTarget,
                std::string(joint.name) + " requested position " + float_fixed(position, 4) +
                    " rad out of safe range [" + float_fixed(joint.lower, 4) + ", " +
                    float_fixed(joint.upper, 4) + "]; clamped to " + float_fixed(clamped, 4));
  }
  return clamped;
}

Result<NeckPositions> QuilletMotorController::command_neck_mit(const NeckPositions& positions,
                                                               std::string_view label) {
  if (auto ok = check_positions(label, "position", positions); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  NeckPositions observed{};
  for (std::size_t i = 0; i < kNeckJointCount; ++i) {
    neck_commands_[i].position = static_cast<float>(positions[i]);
    auto state = neck_motors_[i].control(*can_transport_, neck_commands_[i]);
    if (!state) return neck_failure(std::string(label) + "(" + joint_name(i) + "): ", i, std::move(state.error()));
    observed[i] = state->position;
  }
  return observed;
}

Result<NeckPositions> QuilletMotorController::set_neck_position(const NeckPositions& positions) {
  // Checked before clamping so that a refused command logs no clamp warning either.
  if (auto ok = check_positions("set_neck_position", "position", positions); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  NeckPositions clamped;
  for (std::size_t i = 0; i < kNeckJointCount; ++i) {
    clamped[i] = clamp_neck_position(i, positions[i]);
  }
  return command_neck_mit(clamped, "set_neck_position");
}

Result<double> QuilletMotorController::set_single_neck_joint(std::size_t index, double position) {
  const std::string operation = "set_" + joint_name(index) + "_position";
  if (auto ok = check_positions(operation, "position", {&position, 1}); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  neck_commands_[index].position = static_cast<float>(clamp_neck_position(index, position));
  auto state = neck_motors_[index].control(*can_transport_, neck_commands_[index]);
  if (!state) return neck_failure(operation + ": ", index, std::move(state.error()));
  return static_cast<double>(state->position);
}

Result<NeckPositions> QuilletMotorController::read_neck_positions() {
  NeckPositions positions{};
  for (std::size_t i = 0; i < kNeckJointCount; ++i) {
    auto state = neck_motors_[i].request_feedback(*can_transport_);
    if (!state) return neck_failure("read_neck_positions(" + joint_name(i) + "): ", i, std::move(state.error()));
    positions[i] = state->position;
  }
  return positions;
}

// ---- Homing ---------------------------------------------------------------------------------

Result<NeckPositions> QuilletMotorController::neck_home(double speed, double tolerance,
                                                        std::optional<float> kp,
                                                        std::optional<float> kd,
                                                        const std::function<bool()>& interrupted) {
  if (!(speed > 0)) return fail("neck_home: speed must be positive, got " + text::float_display(speed));
  if (!ramp_fits_cycle_budget(speed)) {
    return fail("neck_home: speed " + text::float_display(speed) +
                " is too slow to ramp within the cycle budget");
  }
  if (!(tolerance > 0)) {
    return fail("neck_home: tolerance must be positive, got " + text::float_display(tolerance));
  }
  if (auto ok = check_gain("neck_home", "kp", kp); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = check_gain("neck_home", "kd", kd); !ok) return std::unexpected(std::move(ok.error()));
  for (auto& command : neck_commands_) {
    if (kp) command.kp = *kp;
    if (kd) command.kd = *kd;
  }

  auto current = read_neck_positions();
  if (!current) return current;
  const HomingPlan plan = plan_neck_homing(*current, speed);
  const NeckPositions& goals = plan.goals;
  if (!neck_torque_enabled_) {
    if (auto enabled = enable_neck(true); !enabled) return std::unexpected(enabled.error());
  }

  NeckPositions commanded = *current;
  NeckPositions observed = *current;
  std::array<bool, kNeckJointCount> settled{};
  for (std::uint64_t cycle = 0; cycle < plan.budget; ++cycle) {
    ramp_toward(plan, settled, commanded);
    auto replies = command_neck_mit(commanded, "neck_home");
    if (!replies) return replies;
    observed = *replies;
    for (std::size_t i = 0; i < kNeckJointCount; ++i) {
      if (!settled[i] && std::fabs(commanded[i] - goals[i]) < kEpsilon &&
          std::fabs(observed[i] - goals[i]) < tolerance) {
        settled[i] = true;
      }
    }
    if (std::all_of(settled.begin(), settled.end(), [](bool s) { return s; })) return observed;
    clock_.sleep_for(kHomingCycle);
    if (interrupted && interrupted()) return fail("neck_home: interrupted");
  }
  using text::bracketed;
  using text::float_debug;
  return fail("neck_home: timed out before settling. observed=" + bracketed(observed, float_debug) +
              ", goals=" + bracketed(goals, float_debug) + ", settled=" +
              bracketed(settled, [](bool s) { return std::string(s ? "true" : "false"); }));
}

// ---- Reboot ---------------------------------------------------------------------------------

Result<void> QuilletMotorController::reboot(std::chrono::nanoseconds timeout) {
  if (!serial_port_) return {};
  const auto id_text = [](std::uint8_t id) { return std::to_string(id); };

  for (const ServoJoint& joint : kServoJoints) {
    QUILLET_LOG(Level::Warn, kLogTarget,
                "Rebooting motor " + std::string(joint.name) + " (id=" + id_text(joint.id) + ")");
    // A servo that does not answer is waited for below; only a failed send is an error.
    if (auto sent = servo_protocol_.reboot(*serial_port_, joint.id); !sent) return servo_failure(std::move(sent.error()));
  }

  std::vector<const ServoJoint*> pending;
  for (const ServoJoint& joint : kServoJoints) pending.push_back(&joint);
  const auto start = clock_.now();
  while (!pending.empty()) {
    if (clock_.now() - start >= timeout) break;
    clock_.sleep_for(kRebootPollInterval);
    std::erase_if(pending, [&](const ServoJoint* joint) {
      auto answered = servo_protocol_.ping(*serial_port_, joint->id);
      return answered && *answered;
    });
  }
  if (pending.empty()) return {};

  std::vector<std::string_view> names;
  std::vector<std::uint8_t> ids;
  for (const ServoJoint* joint : pending) {
    QUILLET_LOG(Level::Warn, kLogTarget,
                "Motor " + std::string(joint->name) + " (id=" + id_text(joint->id) +
                    ") did not respond after reboot within timeout");
    names.push_back(joint->name);
    ids.push_back(joint->id);
  }
  return fail("Some motors did not respond after reboot (" + text::bracketed(names, text::quoted) +
              " - ids: " + text::bracketed(ids, id_text) + ")");
}

}  // namespace quillet::controller
