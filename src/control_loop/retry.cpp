#include "control_loop/retry.hpp"

namespace quillet::control_loop {

bool is_retryable(const controller::Error& error) {
  const auto kind = error.io_kind();
  return kind == IoErrorKind::TimedOut || kind == IoErrorKind::Interrupted;
}

}  // namespace quillet::control_loop
