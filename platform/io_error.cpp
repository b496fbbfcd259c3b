#include "platform/io_error.hpp"

#include <cerrno>
#include <cstring>

namespace quillet {

std::string_view io_error_kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::TimedOut: return "TimedOut";
    case IoErrorKind::Interrupted: return "Interrupted";
    case IoErrorKind::WouldBlock: return "WouldBlock";
    case IoErrorKind::Unsupported: return "Unsupported";
    case IoErrorKind::Other: return "Other";
    case IoErrorKind::InvalidInput: return "InvalidInput";
  }
  return "Other";
}

std::string os_error_text(int error_number) {
  char buffer[256];
  // GNU strerror_r returns the text, possibly not in `buffer`.
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(error_number) + ")";
}

IoError IoError::from_errno(int error_number) {
  IoErrorKind kind = IoErrorKind::Other;
  switch (error_number) {
    case EINTR: kind = IoErrorKind::Interrupted; break;
    case EAGAIN: kind = IoErrorKind::WouldBlock; break;
    case ETIMEDOUT: kind = IoErrorKind::TimedOut; break;
    case ENOTTY:
    case EOPNOTSUPP: kind = IoErrorKind::Unsupported; break;
    default: break;
  }
  return IoError(kind, os_error_text(error_number), error_number);
}

}  // namespace quillet
