// Input/output failures of the operating system, shared by both buses: one error type, and one
// text for an OS error.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace quillet {

// What kind of failure it was; callers decide by the kind, never by the text. InvalidInput: a
// request refused before any byte was written.
enum class IoErrorKind { TimedOut, Interrupted, WouldBlock, Unsupported, Other, InvalidInput };

// Short name of a kind: "TimedOut", "Interrupted", ...
std::string_view io_error_kind_name(IoErrorKind kind);

// The text of an OS error: the system's description followed by the number,
// e.g. "No such device (os error 19)".
std::string os_error_text(int error_number);

// An input/output failure: its kind, the OS error number (0 when the failure has none, e.g. a
// wait that timed out or a short read) and its display text.
class IoError {
 public:
  IoError(IoErrorKind kind, std::string message, int os_error = 0)
      : kind_(kind), os_error_(os_error), message_(std::move(message)) {}

  // From an errno value: EINTR Interrupted, EAGAIN WouldBlock, ETIMEDOUT TimedOut,
  // ENOTTY/EOPNOTSUPP Unsupported, anything else Other; the text is os_error_text().
  static IoError from_errno(int error_number);
  // A wait that saw no data within its time-out: "Operation timed out".
  static IoError timed_out() { return IoError(IoErrorKind::TimedOut, "Operation timed out"); }

  IoErrorKind kind() const { return kind_; }
  int os_error() const { return os_error_; }
  const std::string& message() const { return message_; }

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  IoErrorKind kind_;
  int os_error_;
  std::string message_;
};

}  // namespace quillet
