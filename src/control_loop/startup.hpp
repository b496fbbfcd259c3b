// The start-up of a control loop, on the caller's thread, before any thread of the loop exists:
// every motor answers, the servo supply comes up, the servos reboot, the first position and
// torque state are read. Its outcome is what the loop starts from.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <variant>

#include "control_loop/motor_error.hpp"
#include "control_loop/settings.hpp"
#include "controller/controller.hpp"
#include "platform/clock.hpp"

namespace quillet::control_loop {

// Asked between two supply readings of the start-up wait, which can last many seconds: true
// ends start-up (the caller was asked to stop, e.g. by Ctrl-C).
using Interrupted = std::function<bool()>;

// Why start-up produced no loop.
class StartupError {
 public:
  struct WasInterrupted {};
  struct Fault {
    std::string text;  // a broken invariant, e.g. "failed to spawn thread"
  };
  using Variant = std::variant<MotorError, WasInterrupted, Fault>;

  StartupError(MotorError error) : value_(std::move(error)) {}  // NOLINT: implicit on purpose
  StartupError(WasInterrupted value) : value_(value) {}         // NOLINT
  StartupError(Fault fault) : value_(std::move(fault)) {}        // NOLINT

  const Variant& variant() const { return value_; }
  const MotorError* motor_error() const { return std::get_if<MotorError>(&value_); }
  std::string message() const;

 private:
  Variant value_;
};

// What the checks found, for the loop to start from.
struct FirstReadings {
  QuilletTorsoPosition position;
  bool torque_enabled = false;  // false without a servo side
  std::map<std::string, std::uint8_t> motor_name_id;
};

// The checks, in order: presence of the servos (with a serial port) and of the neck motors; with
// a serial port the supply wait (logged), the servo reboot with a 1 s time-out; the first
// position read and torque state. The first failure ends it.
std::expected<FirstReadings, StartupError> start_up(controller::QuilletMotorController& controller,
                                                    const LoopSettings& settings, const Interrupted& interrupted,
                                                    Clock& clock);

}  // namespace quillet::control_loop
