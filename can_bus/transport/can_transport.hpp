// The CAN transport interface, its frame and id types and its errors.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/io_error.hpp"

namespace quillet::can_bus {

// A CAN identifier: standard (11 bits, 0..0x7FF) or extended (29 bits, 0..0x1FFFFFFF).
// The factories do not check the range: `send` refuses an out-of-range id with InvalidId.
// Two ids are equal only when both kind and value are equal.
class CanId {
 public:
  enum class Kind : std::uint8_t { Standard, Extended };

  static constexpr std::uint32_t kStandardMax = 0x7FF;
  static constexpr std::uint32_t kExtendedMax = 0x1FFFFFFF;

  constexpr CanId() = default;  // standard id 0
  static constexpr CanId standard(std::uint32_t value) { return CanId(Kind::Standard, value); }
  static constexpr CanId extended(std::uint32_t value) { return CanId(Kind::Extended, value); }

  constexpr Kind kind() const { return kind_; }
  constexpr std::uint32_t value() const { return value_; }
  constexpr bool is_standard() const { return kind_ == Kind::Standard; }
  constexpr bool is_extended() const { return kind_ == Kind::Extended; }
  // Whether the value fits the kind (11 or 29 bits).
  constexpr bool is_valid() const {
    return value_ <= (kind_ == Kind::Standard ? kStandardMax : kExtendedMax);
  }

  friend constexpr bool operator==(const CanId&, const CanId&) = default;

 private:
  constexpr CanId(Kind kind, std::uint32_t value) : kind_(kind), value_(value) {}
  Kind kind_ = Kind::Standard;
  std::uint32_t value_ = 0;
};

// One frame: 0..8 data bytes for a classic frame, 0..64 for a CAN FD frame.
struct CanFrame {
  std::vector<std::uint8_t> data;
  CanId id;
  bool fd = false;
  bool brs = false;  // bit-rate switch, meaningful for FD frames only

  friend bool operator==(const CanFrame&, const CanFrame&) = default;
};

// The transport's errors. A tagged union of four variants with fixed display texts:
//   Backend        "backend error: " + the I/O error's text, e.g. "backend error: No such
//                  device (os error 19)"
//   Timeout        "timeout waiting for frame"
//   FrameTooLarge  "frame too large for selected mode: " + len + " bytes"
//   InvalidId      "invalid CAN id"
class CanError {
 public:
  struct Backend {
    IoError io;
    friend bool operator==(const Backend&, const Backend&) = default;
  };
  struct Timeout {
    friend bool operator==(const Timeout&, const Timeout&) = default;
  };
  struct FrameTooLarge {
    std::size_t len = 0;
    friend bool operator==(const FrameTooLarge&, const FrameTooLarge&) = default;
  };
  struct InvalidId {
    friend bool operator==(const InvalidId&, const InvalidId&) = default;
  };
  using Variant = std::variant<Backend, Timeout, FrameTooLarge, InvalidId>;
  enum class Kind : std::uint8_t { Backend, Timeout, FrameTooLarge, InvalidId };

  CanError(Backend v) : v_(std::move(v)) {}
  CanError(Timeout v) : v_(v) {}
  CanError(FrameTooLarge v) : v_(v) {}
  CanError(InvalidId v) : v_(v) {}

  static CanError backend(IoError io) { return Backend{std::move(io)}; }
  static CanError backend_errno(int err) { return Backend{IoError::from_errno(err)}; }
  static CanError timeout() { return Timeout{}; }
  static CanError frame_too_large(std::size_t len) { return FrameTooLarge{len}; }
  static CanError invalid_id() { return InvalidId{}; }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_timeout() const { return kind() == Kind::Timeout; }
  const Variant& variant() const { return v_; }
  template <class T>
  bool is() const { return std::holds_alternative<T>(v_); }
  template <class T>
  const T* get_if() const { return std::get_if<T>(&v_); }

  // The display text (see the table above).
  std::string message() const;
  // What the error means on `interface`, for people, when it says more than the text: a full
  // transmit queue (ENOBUFS) means that nobody acknowledges; a missing or down interface.
  std::vector<std::string> notes(std::string_view interface) const;

  friend bool operator==(const CanError&, const CanError&) = default;

 private:
  Variant v_;
};

// What people are told about an interface, wherever they meet it (the module's errors, the
// scan): nobody acknowledging the frames on it, and the usual causes of that; an interface that
// is missing or down.
std::string no_acknowledgement_text(std::string_view interface);
std::string no_acknowledgement_causes(std::string_view interface);
std::string missing_interface_text(std::string_view interface);
std::string interface_down_text(std::string_view interface);

// The transport interface. Callers use one transport from one thread at a time.
class CanTransport {
 public:
  virtual ~CanTransport() = default;

  // Sends one frame. InvalidId / FrameTooLarge are reported before anything is written.
  virtual std::expected<void, CanError> send(const CanFrame& frame) = 0;

  // Receives one frame, waiting at most `timeout` (Timeout when none came; a time-out under
  // 1 us, zero included, is Timeout at once without reading).
  virtual std::expected<CanFrame, CanError> recv(std::chrono::nanoseconds timeout) = 0;

  // Drops the frames received and not yet read, such as a reply that came after its requester
  // had given up: taken for the answer to the next request, it would leave every later answer
  // one exchange behind. A transport without a receive queue of its own has nothing to drop.
  virtual void discard_pending() {}

  // One exchange, the same for every transport: discard_pending, send `frame`, then return the
  // first frame received with id `expected` before now + `timeout` (monotonic clock); frames
  // with other ids are dropped.
  std::expected<CanFrame, CanError> request(const CanFrame& frame, CanId expected,
                                            std::chrono::nanoseconds timeout);
};

// Receives frames until one satisfies `accept` or the monotonic `deadline` is reached (less
// than 1 us left counts as reached: Timeout). A receive error, Timeout included, is returned
// as is. Rejected frames are dropped. Shared by `request` and the Damiao register read.
template <class Accept>
std::expected<CanFrame, CanError> recv_until(CanTransport& transport,
                                             std::chrono::steady_clock::time_point deadline,
                                             Accept&& accept) {
  for (;;) {
    const auto remaining = deadline - std::chrono::steady_clock::now();
    if (remaining < std::chrono::microseconds(1)) return std::unexpected(CanError::timeout());
    auto frame = transport.recv(std::chrono::duration_cast<std::chrono::nanoseconds>(remaining));
    if (!frame) return frame;
    if (accept(static_cast<const CanFrame&>(*frame))) return frame;
  }
}

}  // namespace quillet::can_bus
