// The servo bus's error: an owned, inspectable value of one of three origins:
// a serial-port error, an I/O error (a reply that never comes is an I/O error of kind
// TimedOut) or a protocol error (feetech::CommunicationErrorKind).
#pragma once

#include <cstdint>
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

  // The servo whose reply failed, when the failure belongs to one (the reply reader names it).
  std::optional<std::uint8_t> servo_id() const { return servo_id_; }
  Error with_servo_id(std::uint8_t id) && {
    servo_id_ = id;
    return std::move(*this);
  }

  // Display text: the carried error's own.
  std::string message() const;
  // What happened, for people, as said of the servo named before it ("did not answer within
  // the 10 ms reply time-out"), or of the line when no servo is named.
  std::string what_happened() const;
  // True for a reply that never came: the servo is silent on the line.
  bool is_silence() const { return io_kind() == IoErrorKind::TimedOut && servo_id_.has_value(); }
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
  std::optional<std::uint8_t> servo_id_;
};

}  // namespace quillet::servo_bus
