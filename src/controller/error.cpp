#include "controller/error.hpp"

namespace quillet::controller {

std::string Error::message() const {
  if (const auto* text = std::get_if<std::string>(&value_)) return *text;
  return std::get<servo_bus::Error>(value_).message();
}

std::optional<IoErrorKind> Error::io_kind() const {
  if (const auto* bus = std::get_if<servo_bus::Error>(&value_)) return bus->io_kind();
  return std::nullopt;
}

}  // namespace quillet::controller
