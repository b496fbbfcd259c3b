// The servo bus's error: an owned, inspectable value of one of three origins:
// a serial-port error, an I/O error (a reply that never comes is an I/O error of kind
// TimedOut) or a protocol error (feetech::CommunicationErrorKind).
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "servo_bus/feetech_protocol/communication_error.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace quillet::servo_bus {

class Error {
 public:
  enum class Origin { SerialPort, Io, Communication };

  // Implicit, so that `return std::unexpected(Error(io_error))` and friends read naturally.
  Error(SerialPortError error) : value_(std::move(error)) {}
  Error(IoError error) : value_(std::move(error)) {}
  Error(feetech::CommunicationErrorKind kind) : value_(kind) {}

  static Error serial_port(std::string message) { return Error(SerialPortError(std::move(message))); }
  static Error io(IoErrorKind kind, std::string message) {
    return Error(IoError{kind, std::move(message)});
  }
  static Error communication(feetech::CommunicationErrorKind kind) { return Error(kind); }

  Origin origin() const { return static_cast<Origin>(value_.index()); }

  // Display text: the carried error's own.
  std::string message() const;
  // Debug text: "SerialPort(...)", "Io(TimedOut, ...)", "Communication(ParsingError)".
  std::string debug_text() const;

  // The I/O kind for an I/O error, nothing for the two other origins.
  std::optional<IoErrorKind> io_kind() const;
  // The protocol error, for that origin only.
  std::optional<feetech::CommunicationErrorKind> communication_kind() const;
  // The carried error of each origin, or null.
  const SerialPortError* serial_port_error() const { return std::get_if<SerialPortError>(&value_); }
  const IoError* io_error() const { return std::get_if<IoError>(&value_); }

  friend bool operator==(const Error&, const Error&) = default;

 private:
  std::variant<SerialPortError, IoError, feetech::CommunicationErrorKind> value_;
};

}  // namespace quillet::servo_bus
