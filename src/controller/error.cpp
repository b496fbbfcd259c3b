#include "controller/error.hpp"

#include <algorithm>
#include <cmath>

namespace quillet::controller {

std::string Error::message() const {
  if (const auto* text = std::get_if<std::string>(&value_)) return *text;
  if (const auto* refused = not_a_number()) {
    return refused->operation + ": " + std::string(refused->quantity) + " is not a number";
  }
  return std::get<servo_bus::Error>(value_).message();
}

std::optional<IoErrorKind> Error::io_kind() const {
  if (const auto* bus = std::get_if<servo_bus::Error>(&value_)) return bus->io_kind();
  return std::nullopt;
}

std::expected<void, Error> check_positions(std::string_view operation, std::string_view argument,
                                           std::span<const double> positions) {
  if (std::none_of(positions.begin(), positions.end(), [](double p) { return std::isnan(p); })) return {};
  return std::unexpected(Error(Error::NotANumber{std::string(operation), argument}));
}

std::expected<void, Error> check_gain(std::string_view operation, std::string_view argument,
                                      std::optional<float> gain) {
  if (!gain || !std::isnan(*gain)) return {};
  return std::unexpected(Error(Error::NotANumber{std::string(operation), argument, "gain"}));
}

}  // namespace quillet::controller
