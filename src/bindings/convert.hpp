// Conversion of Python arguments to C++ values: one Converter per parameter type.
//
// How to use: `parse` (signature.hpp) picks the converter of each parameter by the C++ type of
// its output; to convert one object directly, `if (!convert(object, value)) return nullptr;`.
// The rule of each type:
//   double                      float (64-bit): float, int, __float__, __index__
//   float                       float stored as 32-bit
//   uint8_t/16/32/64            int or __index__; OverflowError out of range or negative
//   bool                        bool or a NumPy bool scalar, never int
//   std::string                 str
//   std::array<double, N>       any sequence of exactly N floats
//   std::vector<double>         any sequence of floats except str, at most kMaxSequenceItems
//   std::vector<std::uint8_t>   any sequence of 8-bit unsigned ints except str, at most as many
//   Bytes                       bytes only
//   Duration                    datetime.timedelta only, not negative
//   std::optional<T>            None or T
//   a record type               an instance of its class (a Converter specialization in the
//                               unit of that class)
// A new parameter type specialises Converter<T> with `static bool convert(Borrowed object,
// T& out)`, which returns false with a Python exception set; one whose own errors name the
// argument takes its name as a third parameter (`parse` passes it).
#pragma once

#include "bindings/python.hpp"

#include <array>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/py_ref.hpp"

namespace quillet::py {

// The `bytes` parameter kind (a list of ints is std::vector<std::uint8_t>).
struct Bytes {
  std::vector<std::uint8_t> data;
};

// The most items of a sequence argument; no method takes more (one servo packet carries at most
// 253 bytes). A longer one is refused before it is read, with ValueError "argument '<name>':
// more than <this> items", so that neither its __len__ nor an endless iteration makes the
// module reserve or grow memory without bound.
inline constexpr std::size_t kMaxSequenceItems = 4096;

// A non-negative duration as a timedelta gives it: whole seconds and nanoseconds below one second.
struct Duration {
  std::uint64_t seconds = 0;
  std::uint32_t nanos = 0;

  // `duration` not negative.
  static constexpr Duration from(std::chrono::nanoseconds duration) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(duration);
    return Duration{static_cast<std::uint64_t>(seconds.count()),
                    static_cast<std::uint32_t>((duration - seconds).count())};
  }
  // Saturates at the largest std::chrono::nanoseconds (about 292 years).
  std::chrono::nanoseconds as_nanoseconds() const noexcept;
  friend bool operator==(const Duration&, const Duration&) = default;
};

template <class T>
struct Converter;

template <>
struct Converter<double> {
  static bool convert(Borrowed object, double& out);
};
template <>
struct Converter<float> {
  static bool convert(Borrowed object, float& out);
};
template <class U>
  requires std::unsigned_integral<U> && (!std::same_as<U, bool>)
struct Converter<U> {
  static bool convert(Borrowed object, U& out);
};
template <>
struct Converter<bool> {
  static bool convert(Borrowed object, bool& out);
};
template <>
struct Converter<std::string> {
  static bool convert(Borrowed object, std::string& out);
};
template <>
struct Converter<std::vector<double>> {
  static bool convert(Borrowed object, std::vector<double>& out, const char* argument);
};
template <>
struct Converter<std::vector<std::uint8_t>> {
  static bool convert(Borrowed object, std::vector<std::uint8_t>& out, const char* argument);
};
template <>
struct Converter<Bytes> {
  static bool convert(Borrowed object, Bytes& out);
};
template <>
struct Converter<Duration> {
  static bool convert(Borrowed object, Duration& out);
};

namespace detail {
bool unsigned_from_python(Borrowed object, std::uint64_t max, int bits, std::uint64_t& out);
// The sequence of exactly `count` floats, written to `out[0..count)`.
bool floats_from_sequence(Borrowed object, double* out, std::size_t count);
// TypeError "'<type>' object cannot be converted to '<target>'".
bool cannot_convert(Borrowed object, const char* target);
}  // namespace detail

template <class U>
  requires std::unsigned_integral<U> && (!std::same_as<U, bool>)
bool Converter<U>::convert(Borrowed object, U& out) {
  std::uint64_t value = 0;
  if (!detail::unsigned_from_python(object, std::numeric_limits<U>::max(),
                                    static_cast<int>(sizeof(U) * 8), value)) {
    return false;
  }
  out = static_cast<U>(value);
  return true;
}

template <std::size_t N>
struct Converter<std::array<double, N>> {
  static bool convert(Borrowed object, std::array<double, N>& out) {
    return detail::floats_from_sequence(object, out.data(), N);
  }
};

template <class T>
struct Converter<std::optional<T>> {
  static bool convert(Borrowed object, std::optional<T>& out) {
    if (object.get() == Py_None) {
      out.reset();
      return true;
    }
    T value{};
    if (!Converter<T>::convert(object, value)) return false;
    out = std::move(value);
    return true;
  }
};

template <class T>
bool convert(Borrowed object, T& out) {
  return Converter<T>::convert(object, out);
}

// As `convert`, naming the argument to a converter whose errors name it.
template <class T>
bool convert(Borrowed object, T& out, const char* argument) {
  if constexpr (requires { Converter<T>::convert(object, out, argument); }) {
    return Converter<T>::convert(object, out, argument);
  } else {
    return Converter<T>::convert(object, out);
  }
}

// A name handed to the operating system (a device path, an interface name) ends at its first
// NUL, so one inside it would name another device: refused as Python's open() refuses it, with
// ValueError "argument '<argument>': embedded null character". True when `name` has none.
bool system_name(const char* argument, const std::string& name);
bool system_name(const char* argument, const std::optional<std::string>& name);

}  // namespace quillet::py
