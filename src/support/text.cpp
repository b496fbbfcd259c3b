#include "support/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace quillet::text {
namespace {

std::string non_finite(double value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

std::string chars(double value, std::chars_format format) {
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, format);
  return ec == std::errc{} ? std::string(buf, end) : std::string{};
}

}  // namespace

std::string float_debug(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  const double magnitude = std::fabs(value);
  if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
    // to_chars writes "2.5e-07"; the notation wants "2.5e-7".
    std::string sci = chars(value, std::chars_format::scientific);
    const auto e = sci.find('e');
    const int exponent = std::atoi(sci.c_str() + e + 1);
    return sci.substr(0, e) + 'e' + std::to_string(exponent);
  }
  std::string fixed = chars(value, std::chars_format::fixed);
  if (fixed.find('.') == std::string::npos) fixed += ".0";
  return fixed;
}

std::string float_display(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  return chars(value, std::chars_format::fixed);
}

std::string float_fixed(double value, int decimals) {
  if (!std::isfinite(value)) return non_finite(value);
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  return ec == std::errc{} ? std::string(buf, end) : std::string{};
}

std::string quoted(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace quillet::text
