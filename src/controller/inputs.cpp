#include "controller/inputs.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "controller/joints.hpp"
#include "servo_bus/feetech_protocol/packet.hpp"
#include "support/text.hpp"

namespace quillet::controller::rules {
namespace {

using servo_bus::feetech::kBroadcastId;
using servo_bus::feetech::kMaxReadLength;
using servo_bus::feetech::kMaxWriteData;
using servo_bus::feetech::max_sync_write_servos;

std::unexpected<Error> refuse(std::string_view operation, std::string_view argument, std::string reason) {
  return std::unexpected(Error(Error::Refused{std::string(operation), argument, std::move(reason)}));
}

// "<what> are over the <most> <carrier>", e.g. "255 bytes are over the 253 one status reply carries".
std::unexpected<Error> over(std::string_view operation, std::string_view argument, const std::string& what,
                            std::size_t most, std::string_view carrier) {
  return refuse(operation, argument, what + " are over the " + std::to_string(most) + " " + std::string(carrier));
}

}  // namespace

std::expected<void, Error> numbers(std::string_view operation, std::string_view argument,
                                   std::span<const double> positions) {
  if (std::none_of(positions.begin(), positions.end(), [](double p) { return std::isnan(p); })) return {};
  return std::unexpected(Error(Error::NotANumber{std::string(operation), argument}));
}

std::expected<void, Error> gain(std::string_view operation, std::string_view argument, const float& gain) {
  if (std::isnan(gain)) return std::unexpected(Error(Error::NotANumber{std::string(operation), argument, "gain"}));
  if (gain < 0.0f) return refuse(operation, argument, "gain is negative (" + text::float_display(gain) + ")");
  return {};
}

std::expected<void, Error> one_servo(std::string_view operation, std::string_view argument,
                                     const std::uint8_t& id) {
  if (id < kBroadcastId) return {};
  return refuse(operation, argument,
                "servo id " + std::to_string(id) + " is not one servo's (at most " +
                    std::to_string(kBroadcastId - 1) + "; " + std::to_string(kBroadcastId) +
                    " is the broadcast id)");
}

std::expected<void, Error> one_reply(std::string_view operation, std::string_view argument,
                                     const std::uint8_t& length) {
  if (length <= kMaxReadLength) return {};
  return over(operation, argument, std::to_string(length) + " bytes", kMaxReadLength, "one status reply carries");
}

std::expected<void, Error> one_write(std::string_view operation, std::string_view argument,
                                     const std::vector<std::uint8_t>& data) {
  if (data.size() <= kMaxWriteData) return {};
  return over(operation, argument, std::to_string(data.size()) + " bytes", kMaxWriteData, "one write carries");
}

std::expected<void, Error> one_sync_write(std::string_view operation, std::string_view argument,
                                          const std::vector<std::uint8_t>& ids) {
  // Each group is one sync write of a one-byte register.
  constexpr std::size_t kMost = max_sync_write_servos(1);
  const auto arms = static_cast<std::size_t>(std::ranges::count_if(ids, is_arm_id));
  const auto nose = static_cast<std::size_t>(std::ranges::count_if(ids, is_nose_id));
  if (arms <= kMost && nose <= kMost) return {};
  return over(operation, argument,
              std::to_string(std::max(arms, nose)) + (arms > nose ? " arm" : " nose") + " servo ids", kMost,
              "one sync write reaches");
}

}  // namespace quillet::controller::rules
