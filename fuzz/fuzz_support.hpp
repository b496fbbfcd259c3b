// What the fuzz targets share: a check that ends the run on a broken invariant, a clock whose
// sleeps cost nothing, a serial line that hands out the fuzzer's bytes, and a reference encoder
// of status packets written from the wire format (not from the module's encoder).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/clock.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace quillet::fuzz {

using Bytes = std::vector<std::uint8_t>;

// An invariant that does not hold: say which, and crash so that libFuzzer keeps the input.
#define QMC_FUZZ_CHECK(condition)                                                      \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// Time moves by the sleeps it is asked for; nothing waits.
class InstantClock final : public Clock {
 public:
  time_point now() override { return now_; }
  void sleep_for(std::chrono::nanoseconds duration) override { now_ += duration; }

 private:
  time_point now_{};
};

// A serial line fed by the fuzzer: `stale` waits in the input before the host writes, `reply`
// arrives once it has written. Asking for more than is there times out, as a quiet line does.
class ByteLine final : public servo_bus::SerialPort {
 public:
  ByteLine(std::span<const std::uint8_t> stale, std::span<const std::uint8_t> reply)
      : stale_(stale), reply_(reply) {}

  std::expected<std::size_t, servo_bus::SerialPortError> bytes_to_read() override {
    return waiting().size();
  }
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) override {
    std::span<const std::uint8_t> in = waiting();
    const std::size_t n = std::min(out.size(), in.size());
    std::copy_n(in.begin(), n, out.begin());
    (written_ ? reply_read_ : stale_read_) += n;
    if (n < out.size()) return std::unexpected(IoError::timed_out());
    return {};
  }
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> data) override {
    written_ = true;
    sent_.insert(sent_.end(), data.begin(), data.end());
    return {};
  }
  std::expected<void, IoError> flush() override { return {}; }

  // The reply bytes the host has read so far.
  std::span<const std::uint8_t> consumed() const { return reply_.first(reply_read_); }
  std::size_t stale_left() const { return stale_.size() - stale_read_; }
  const Bytes& sent() const { return sent_; }

 private:
  std::span<const std::uint8_t> waiting() const {
    return written_ ? reply_.subspan(reply_read_) : stale_.subspan(stale_read_);
  }

  std::span<const std::uint8_t> stale_;
  std::span<const std::uint8_t> reply_;
  std::size_t stale_read_ = 0;
  std::size_t reply_read_ = 0;
  bool written_ = false;
  Bytes sent_;
};

// ~(sum of the bytes from the id to the byte before the checksum), low eight bits.
inline std::uint8_t wire_checksum(std::span<const std::uint8_t> body) {
  unsigned sum = 0;
  for (std::uint8_t b : body) sum += b;
  return static_cast<std::uint8_t>(~sum & 0xFF);
}

// FF FF id L error params checksum, with L = params + 2.
inline Bytes status_bytes(std::uint8_t id, std::uint8_t error, std::span<const std::uint8_t> params) {
  Bytes out{0xFF, 0xFF, id, static_cast<std::uint8_t>(params.size() + 2), error};
  out.insert(out.end(), params.begin(), params.end());
  out.push_back(wire_checksum(std::span(out).subspan(2)));
  return out;
}

// The error codes a status packet records for its error byte: bits 0, 1, 2, 3 and 5 give
// codes 0 to 4, in that order.
inline Bytes error_codes(std::uint8_t error) {
  Bytes codes;
  const int bits[] = {0, 1, 2, 3, 5};
  for (std::uint8_t code = 0; code < 5; ++code) {
    if (error & (1u << bits[code])) codes.push_back(code);
  }
  return codes;
}

inline bool same(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return std::ranges::equal(a, b);
}

}  // namespace quillet::fuzz
