// What a control loop is built with, and the defaults of what may be left out (the Python
// class takes its defaults from here).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace quillet::control_loop {

struct LoopSettings {
  std::chrono::nanoseconds read_position_loop_period{};  // greater than zero
  std::uint64_t allowed_retries = 5;                      // attempts in all, at least 1
  std::optional<std::chrono::nanoseconds> stats_pub_period;
  std::chrono::nanoseconds voltage_rampup_timeout = std::chrono::seconds(30);
};

}  // namespace quillet::control_loop
