#include "can_bus/damiao/error.hpp"

#include <bit>
#include <charconv>
#include <cmath>

namespace quillet::can_bus::damiao {

namespace {

std::string float_text(float v) {
  if (std::isnan(v)) return "NaN";
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  (void)ec;
  return std::string(buf, end);
}

std::string byte_list(const std::vector<std::uint8_t>& bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(bytes[i]);
  }
  out += "]";
  return out;
}

}  // namespace

bool operator==(const Error::InvalidLimits& a, const Error::InvalidLimits& b) {
  return a.field == b.field &&
         std::bit_cast<std::uint32_t>(a.value) == std::bit_cast<std::uint32_t>(b.value);
}

std::vector<std::string> Error::notes(std::string_view interface) const {
  if (const CanError* transport = transport_error()) return transport->notes(interface);
  return {};
}

std::string Error::message() const {
  switch (kind()) {
    case Kind::Transport:
      return "transport error: " + std::get<Transport>(v_).error.message();
    case Kind::UnknownRegister:
      return "register " + std::to_string(std::get<UnknownRegister>(v_).id) +
             " is not in the Damiao register table";
    case Kind::ReadOnly:
      return "register " + std::to_string(std::get<ReadOnly>(v_).id) + " is read-only";
    case Kind::TypeMismatch: {
      const auto& e = std::get<TypeMismatch>(v_);
      return "register " + std::to_string(e.id) + ": expected " + std::string(debug_text(e.expected)) +
             ", got " + std::string(debug_text(e.given));
    }
    case Kind::UnexpectedReply:
      return "unexpected reply (data did not match register-reply pattern): " +
             byte_list(std::get<UnexpectedReply>(v_).bytes);
    case Kind::ControlModeMismatch: {
      const auto& e = std::get<ControlModeMismatch>(v_);
      return "control mode verification failed: wrote " + std::to_string(e.written) +
             ", motor reports " + std::to_string(e.read_back);
    }
    case Kind::InvalidLimits: {
      const auto& e = std::get<InvalidLimits>(v_);
      return "invalid MIT limit " + e.field + ": " + float_text(e.value) +
             " (must be a non-negative number)";
    }
  }
  return {};
}

}  // namespace quillet::can_bus::damiao
