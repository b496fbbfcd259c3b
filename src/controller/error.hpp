// Errors of the controller: either a servo-bus error passed through unchanged (so that the
// control loop can still tell a reply time-out from a protocol fault), or a message of the
// controller's own, which names the operation and joint in front of the lower layer's text.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "servo_bus/error.hpp"

namespace quillet::controller {

// Shared by every servo-bus operation of a controller built without a serial port.
inline constexpr const char* kNeckOnlyMessage = "serial port not configured (neck-only controller)";

class Error {
 public:
  Error(servo_bus::Error bus) : value_(std::move(bus)) {}  // NOLINT: pass-through is implicit
  static Error message(std::string text) { return Error(std::move(text)); }

  std::string message() const;
  // The I/O kind when this is a servo-bus I/O error.
  std::optional<IoErrorKind> io_kind() const;

 private:
  explicit Error(std::string text) : value_(std::move(text)) {}
  std::variant<std::string, servo_bus::Error> value_;
};

}  // namespace quillet::controller
