// Monotonic time in nanoseconds: the torso's only clock (CLOCK_MONOTONIC, as Python's
// time.monotonic(), so that traffic records and test clocks agree).
#pragma once

#include <cstdint>
#include <ctime>

namespace qsim {

using Nanos = std::int64_t;

inline constexpr Nanos kMicrosecond = 1'000;
inline constexpr Nanos kMillisecond = 1'000'000;
inline constexpr Nanos kSecond = 1'000'000'000;

inline Nanos now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<Nanos>(ts.tv_sec) * kSecond + ts.tv_nsec;
}

inline Nanos from_seconds(double s) { return static_cast<Nanos>(s * 1e9); }

}  // namespace qsim
