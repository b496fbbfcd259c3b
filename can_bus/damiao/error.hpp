// The Damiao driver's errors and their display texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "can_bus/damiao/registers.hpp"
#include "can_bus/transport/can_transport.hpp"

namespace quillet::can_bus::damiao {

// A tagged union with fixed display texts (numbers decimal):
//   Transport            "transport error: " + the CAN error's text
//   UnknownRegister      "register {id} is not in the Damiao register table"
//   ReadOnly             "register {id} is read-only"
//   TypeMismatch         "register {id}: expected {Float|Uint32}, got {Float|Uint32}"
//   UnexpectedReply      "unexpected reply (data did not match register-reply pattern): [1, 2, 3]"
//                        (also: a reply with the awaited id but fewer than 8 bytes)
//   ControlModeMismatch  "control mode verification failed: wrote {w}, motor reports {r}"
//   InvalidLimits        "invalid MIT limit {field}: {value} (must be a non-negative number)"
//                        (Damiao::make only)
class Error {
 public:
  struct Transport {
    CanError error;
    friend bool operator==(const Transport&, const Transport&) = default;
  };
  struct UnknownRegister {
    std::uint8_t id = 0;
    friend bool operator==(const UnknownRegister&, const UnknownRegister&) = default;
  };
  struct ReadOnly {
    std::uint8_t id = 0;
    friend bool operator==(const ReadOnly&, const ReadOnly&) = default;
  };
  struct TypeMismatch {
    std::uint8_t id = 0;
    RegisterKind expected = RegisterKind::Float;
    RegisterKind given = RegisterKind::Float;
    friend bool operator==(const TypeMismatch&, const TypeMismatch&) = default;
  };
  struct UnexpectedReply {
    std::vector<std::uint8_t> bytes;
    friend bool operator==(const UnexpectedReply&, const UnexpectedReply&) = default;
  };
  struct ControlModeMismatch {
    std::uint8_t written = 0;
    std::uint8_t read_back = 0;
    friend bool operator==(const ControlModeMismatch&, const ControlModeMismatch&) = default;
  };
  struct InvalidLimits {
    std::string field;  // "p_max", "v_max", "kp_max", "kd_max" or "t_max"
    float value = 0.0f;
    // NaN-safe: compares the field name and the bit pattern.
    friend bool operator==(const InvalidLimits& a, const InvalidLimits& b);
  };
  using Variant = std::variant<Transport, UnknownRegister, ReadOnly, TypeMismatch,
                               UnexpectedReply, ControlModeMismatch, InvalidLimits>;
  enum class Kind : std::uint8_t {
    Transport,
    UnknownRegister,
    ReadOnly,
    TypeMismatch,
    UnexpectedReply,
    ControlModeMismatch,
    InvalidLimits
  };

  Error(Transport v) : v_(std::move(v)) {}
  Error(CanError e) : v_(Transport{std::move(e)}) {}
  Error(UnknownRegister v) : v_(v) {}
  Error(ReadOnly v) : v_(v) {}
  Error(TypeMismatch v) : v_(v) {}
  Error(UnexpectedReply v) : v_(std::move(v)) {}
  Error(ControlModeMismatch v) : v_(v) {}
  Error(InvalidLimits v) : v_(std::move(v)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  const Variant& variant() const { return v_; }
  template <class T>
  bool is() const { return std::holds_alternative<T>(v_); }
  template <class T>
  const T* get_if() const { return std::get_if<T>(&v_); }
  // The CAN error of a Transport error, nullptr otherwise.
  const CanError* transport_error() const {
    auto* t = std::get_if<Transport>(&v_);
    return t ? &t->error : nullptr;
  }
  bool is_timeout() const {
    auto* e = transport_error();
    return e && e->is_timeout();
  }

  std::string message() const;
  // The transport's notes on `interface` (CanError::notes), none for the other variants.
  std::vector<std::string> notes(std::string_view interface) const;

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Variant v_;
};

}  // namespace quillet::can_bus::damiao
