// Errors of the controller: a servo-bus error passed through unchanged (so that the control
// loop can still tell a reply time-out from a protocol fault), a CAN error behind the operation
// and joint that met it, a position refused because it is not a number or another argument no
// exchange can carry, or a message of the controller's own. Each keeps what people need to find
// the cause (the bus, the joint and id, the lower error) for its notes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "can_bus/damiao/error.hpp"
#include "can_bus/transport/can_transport.hpp"
#include "controller/joints.hpp"
#include "servo_bus/error.hpp"

namespace quillet::controller {

// Where the controller's log records go.
inline constexpr std::string_view kLogTarget = "quillet_motor_controller::controller";

// Shared by every servo-bus operation of a controller built without a serial port.
inline constexpr const char* kNeckOnlyMessage = "serial port not configured (neck-only controller)";

class Error {
 public:
  // A position or gain that is not a number: it would reach the wire as an extreme step or MIT
  // value (a servo swinging half a turn, a neck motor spinning to -12.5 rad or going limp).
  struct NotANumber {
    std::string operation;      // e.g. "set_neck_position"
    std::string_view argument;  // the operation's parameter: "position", "positions", "kp", "kd"
    std::string_view quantity = "position";  // what the argument is: "position" or "gain"
    friend bool operator==(const NotANumber&, const NotANumber&) = default;
  };
  // Any other argument that no bus exchange can carry out as given: a negative gain, an id that
  // is not one servo's, more bytes than one packet holds.
  struct Refused {
    std::string operation;
    std::string_view argument;
    std::string reason;  // e.g. "gain is negative (-1)"
    friend bool operator==(const Refused&, const Refused&) = default;
  };
  // A servo-bus error, and the device path of its bus (empty when not known).
  struct Servo {
    servo_bus::Error error;
    std::string bus;
  };
  // A CAN error behind `context`, the message's text before the lower error's
  // ("read_neck_positions(neck_yaw): "), on interface `bus`, met by a neck joint or by the
  // bus itself.
  struct Can {
    std::string context;
    std::string bus;
    std::optional<NeckAxis> joint;
    std::variant<can_bus::damiao::Error, can_bus::CanError> error;
  };

  Error(servo_bus::Error bus) : value_(Servo{std::move(bus), {}}) {}  // NOLINT: pass-through is implicit
  explicit Error(NotANumber refused) : value_(std::move(refused)) {}
  explicit Error(Refused refused) : value_(std::move(refused)) {}
  explicit Error(Servo failure) : value_(std::move(failure)) {}
  explicit Error(Can failure) : value_(std::move(failure)) {}
  static Error message(std::string text) { return Error(std::move(text)); }

  // NotANumber: "<operation>: <quantity> is not a number"; Refused: "<operation>: <reason>";
  // Can: the context, then the lower text.
  std::string message() const;
  // For people, beside the message: the bus, the joint and id, what the failure likely means and
  // what to check. Empty when the message says all there is.
  std::vector<std::string> notes() const;
  // The I/O kind when this is a servo-bus I/O error.
  std::optional<IoErrorKind> io_kind() const;
  // The refused position's operation and argument, for that error only.
  const NotANumber* not_a_number() const { return std::get_if<NotANumber>(&value_); }
  const Refused* refused() const { return std::get_if<Refused>(&value_); }

 private:
  explicit Error(std::string text) : value_(std::move(text)) {}
  std::variant<std::string, Servo, NotANumber, Can, Refused> value_;
};

template <class T>
using Result = std::expected<T, Error>;

}  // namespace quillet::controller
