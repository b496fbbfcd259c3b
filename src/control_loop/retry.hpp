// The retry policy of servo-bus reads: a servo that missed one reply (a time-out) or a read cut
// short by a signal is asked again; every other failure is final at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "controller/error.hpp"
#include "platform/clock.hpp"
#include "support/log.hpp"

namespace quillet::control_loop {

inline constexpr std::string_view kLogTarget = "quillet_motor_controller::control_loop";
inline constexpr std::chrono::milliseconds kRetryPause{20};

// Only a missed reply and an interrupted system call are worth another attempt: a corrupted
// reply, a port error or a neck-only controller would fail the same way again.
bool is_retryable(const controller::Error& error);

// Runs `operation` (returning a std::expected with controller::Error) up to `allowed_retries`
// times in all (at least once), sleeping kRetryPause on `clock` between attempts. Logs
// "Serial I/O recovered after N retries" when an attempt after the first succeeds. `attempts`,
// when given, receives how many attempts were made.
template <class Operation>
auto with_retry(Operation&& operation, std::uint64_t allowed_retries, Clock& clock,
                std::uint64_t* attempts = nullptr) -> decltype(operation()) {
  for (std::uint64_t attempt = 0;; ++attempt) {
    if (attempts != nullptr) *attempts = attempt + 1;
    auto result = operation();
    if (result) {
      if (attempt > 0) {
        QUILLET_LOG(log::Level::Info, kLogTarget,
                    "Serial I/O recovered after " + std::to_string(attempt) + " retries");
      }
      return result;
    }
    if (attempt + 1 >= allowed_retries || !is_retryable(result.error())) return result;
    clock.sleep_for(kRetryPause);
  }
}

}  // namespace quillet::control_loop
