#include "control_loop/startup.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "control_loop/retry.hpp"
#include "control_loop/torso_read.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace quillet::control_loop {
namespace {

using controller::QuilletMotorController;
using log::Level;
using namespace std::chrono_literals;

constexpr auto kSupplyPoll = 100ms;
constexpr auto kRebootTimeout = 1s;

std::unexpected<StartupError> failure(MotorError error) {
  return std::unexpected(StartupError(std::move(error)));
}
// A communication failure, with the step that met it.
MotorError failed(std::string step, controller::Error error, std::uint64_t attempts = 1) {
  return MotorError::communication_failure().because({std::move(step), std::move(error), attempts});
}

// The servo supply comes up some time after the robot is switched on; nothing may move before.
std::expected<void, StartupError> wait_for_supply(QuilletMotorController& controller,
                                                  const LoopSettings& settings,
                                                  const Interrupted& interrupted, Clock& clock) {
  QUILLET_LOG(Level::Info, kLogTarget, "Waiting for voltage to be stable at 12V...");
  std::uint64_t attempts = 0;
  auto read = [&] {
    return with_retry([&] { return controller.read_all_voltages(); }, settings.allowed_retries, clock, &attempts);
  };
  const auto read_failed = [&](controller::Error error) {
    return failure(failed("reading the servo supply voltages", std::move(error), attempts));
  };
  auto voltages = read();
  if (!voltages) return read_failed(std::move(voltages.error()));
  const auto below = [](const std::array<std::uint8_t, 7>& v) {
    return std::ranges::any_of(v, [](std::uint8_t tenths) { return tenths < controller::kServoSupplyReady; });
  };
  const auto start = std::chrono::system_clock::now();
  const auto elapsed = [&] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - start);
  };
  while (below(*voltages) && elapsed() < settings.voltage_rampup_timeout) {
    clock.sleep_for(kSupplyPoll);
    if (interrupted && interrupted()) return std::unexpected(StartupError::WasInterrupted{});
    voltages = read();
    if (!voltages) return read_failed(std::move(voltages.error()));
  }
  if (below(*voltages)) {
    return failure(MotorError::VoltageRampUpTimeout{settings.voltage_rampup_timeout,
                                                     std::ranges::min(*voltages)});
  }
  QUILLET_LOG(Level::Info, kLogTarget,
              "Voltage is stable at ~12V: " +
                  text::bracketed(*voltages, [](std::uint8_t v) { return std::to_string(v); }) +
                  " (took " + duration_text(elapsed()) + ")");
  return {};
}

// Which servos and neck motors answer, reported as the first missing group.
std::expected<void, StartupError> check_presence(QuilletMotorController& controller) {
  if (controller.has_serial_port()) {
    auto missing = controller.check_missing_ids();
    if (!missing) return failure(failed("pinging the servos", std::move(missing.error())));
    if (missing->size() == controller::kServoJoints.size()) {
      return failure(MotorError::NoMotorsDetected{});
    }
    if (!missing->empty()) {
      std::vector<std::string> names;
      for (std::uint8_t id : *missing) {
        const auto joint = std::ranges::find(controller::kServoJoints, id, &controller::ServoJoint::id);
        names.emplace_back(joint->name);  // the check reports only ids of the table
      }
      return failure(MotorError::MissingMotors{std::move(names)});
    }
  }
  if (auto neck = controller.check_missing_neck_motors(); !neck.empty()) {
    MotorError missing = MotorError::MissingMotors{neck};
    if (neck.size() == controller::kNeckJointCount) {
      const std::string& bus = controller.neck_side().bus();
      const std::string where = bus.empty() ? "the CAN bus" : "CAN bus " + bus;
      missing = std::move(missing).because({"no neck motor answered on " + where +
                                            "; if no device acknowledges there, " +
                                            can_bus::no_acknowledgement_causes(bus)});
    }
    return failure(std::move(missing));
  }
  return {};
}

}  // namespace

std::string StartupError::message() const {
  if (const MotorError* error = motor_error()) return error->message();
  if (const Fault* fault = std::get_if<Fault>(&value_)) return fault->text;
  return "interrupted";
}

std::expected<FirstReadings, StartupError> start_up(QuilletMotorController& controller, const LoopSettings& settings,
                                                    const Interrupted& interrupted, Clock& clock) {
  if (auto present = check_presence(controller); !present) return std::unexpected(present.error());
  if (controller.has_serial_port()) {
    if (auto up = wait_for_supply(controller, settings, interrupted, clock); !up) return std::unexpected(up.error());
    if (auto rebooted = controller.reboot(kRebootTimeout); !rebooted) {
      return failure(failed("rebooting the servos", std::move(rebooted.error())));
    }
  }
  FirstReadings first;
  first.motor_name_id = controller.get_motor_name_id();
  PositionOutcome position = read_pos(controller, settings.allowed_retries, clock);
  if (!position) return failure(position.error());
  first.position = *position;
  if (controller.has_serial_port()) {
    std::uint64_t attempts = 0;
    auto read = with_retry([&] { return controller.is_torque_enabled(); }, settings.allowed_retries, clock, &attempts);
    if (!read) return failure(failed("reading the torque state", std::move(read.error()), attempts));
    first.torque_enabled = *read;
  }
  return first;
}

}  // namespace quillet::control_loop
