// The control loop's own errors: what start-up and a failed position read report to callers.
// Values, copied to every reader; the display texts are fixed, and the causes behind them (the
// step that failed, the lower error, the attempts) travel beside them for people.
#pragma once

#include <chrono>
#include <concepts>
#include <type_traits>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "control_loop/records.hpp"
#include "controller/error.hpp"

namespace quillet::control_loop {

class MotorError {
 public:
  struct MissingMotors {
    std::vector<std::string> names;  // joint names, in the order the presence check found them
    friend bool operator==(const MissingMotors&, const MissingMotors&) = default;
  };
  struct CommunicationFailure {
    friend bool operator==(const CommunicationFailure&, const CommunicationFailure&) = default;
  };
  struct NoMotorsDetected {
    friend bool operator==(const NoMotorsDetected&, const NoMotorsDetected&) = default;
  };
  struct VoltageRampUpTimeout {
    std::chrono::nanoseconds timeout{};
    std::uint8_t lowest_voltage = 0;  // tenths of a volt
    friend bool operator==(const VoltageRampUpTimeout&, const VoltageRampUpTimeout&) = default;
  };
  struct PortNotFound {
    std::string path;
    friend bool operator==(const PortNotFound&, const PortNotFound&) = default;
  };
  struct PortOpenFailed {
    std::string path;  // empty for a loop without serial port
    friend bool operator==(const PortOpenFailed&, const PortOpenFailed&) = default;
  };
  using Variant = std::variant<MissingMotors, CommunicationFailure, NoMotorsDetected,
                               VoltageRampUpTimeout, PortNotFound, PortOpenFailed>;

  // What lay behind an error: the step that failed ("reading the servo positions"), the lower
  // error when there is one, and how many attempts the step had.
  struct Cause {
    std::string step;
    std::optional<controller::Error> error = std::nullopt;
    std::uint64_t attempts = 1;
  };

  // From any of the variants, implicitly: `return MotorError::NoMotorsDetected{};`.
  template <class T>
    requires std::constructible_from<Variant, T&&> && (!std::same_as<std::remove_cvref_t<T>, MotorError>)
  MotorError(T&& value) : value_(std::forward<T>(value)) {}  // NOLINT
  static MotorError communication_failure() { return CommunicationFailure{}; }

  // The same error with one more cause.
  MotorError because(Cause cause) && {
    causes_.push_back(std::move(cause));
    return std::move(*this);
  }

  const Variant& variant() const { return value_; }
  template <class T>
  bool is() const { return std::holds_alternative<T>(value_); }
  const std::vector<Cause>& causes() const { return causes_; }

  // "Missing motors: [\"left_arm_yaw\", \"nose_left\"]!", "Motor communication error! ...", ...
  std::string message() const;
  // The causes, for people: each step with its attempts and lower error, then that error's own
  // notes (bus, joint, what to check).
  std::vector<std::string> notes() const;

  // The same error whatever its causes: they tell how it came about, not what it is.
  friend bool operator==(const MotorError& a, const MotorError& b) { return a.value_ == b.value_; }

 private:
  Variant value_;
  std::vector<Cause> causes_;
};

// What the loop keeps for its readers: the outcome of the last position read, and the torque
// state of the servos as last known (or the error of its read at start-up).
using PositionOutcome = std::expected<QuilletTorsoPosition, MotorError>;
using TorqueOutcome = std::expected<bool, MotorError>;

// A duration in the unit that fits its size, with the remainder down to nanoseconds and no
// trailing zeros: 30s, 2.5s, 500ms, 1.000001s, 12.5µs, 0ns.
std::string duration_text(std::chrono::nanoseconds duration);

}  // namespace quillet::control_loop
