// Number and list notation shared by every message and representation of the system.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::text {

// Shortest text that reads back to the same double, always with a point or an exponent:
// 1.0, -0.25, 0.1, -0.0; magnitudes below 1e-4 or from 1e16 up (zero excepted) in exponent
// form with a lower-case e and no plus sign: 1e-5, 2.5e-7, 1e16. NaN, inf, -inf.
std::string float_debug(double value);

// Shortest round-trip digits, never an exponent, no forced point: 0, -0.4, 6.5, 0.0000001, NaN.
std::string float_display(double value);

// Correctly rounded to exactly `decimals` digits after the point, no exponent: 0.8000, NaN.
std::string float_fixed(double value, int decimals);

// A name in double quotes, with quotes and backslashes escaped.
std::string quoted(std::string_view name);

// "[a, b, c]" with each item written by `item`.
template <class Range, class Item>
std::string bracketed(const Range& range, Item item) {
  std::string out = "[";
  bool first = true;
  for (const auto& value : range) {
    if (!first) out += ", ";
    first = false;
    out += item(value);
  }
  out += ']';
  return out;
}

}  // namespace quillet::text
