// The inputs of the controller's operations, each checked once, where it enters the system (the
// Python boundary, or a C++ caller): a checked input is built only by its `check`, which applies
// the input's rule or returns the error naming the operation and the argument. The operations
// that take one never look at it again, and a command queued for later carries it checked.
//
//   auto goals = Positions<3>::check("set_nose_position", "position", {0.1, 0.2, 0.3});
//   if (!goals) return std::unexpected(goals.error());          // NotANumber
//   controller.set_nose_position(*goals);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "controller/error.hpp"

namespace quillet::controller {

// The rules, one per kind of input. Each passes or returns the error of its input.
namespace rules {
// No position may be NaN (NotANumber): it would reach the wire as an extreme step or MIT value
// (a servo swinging half a turn, a neck motor spinning to -12.5 rad or going limp).
std::expected<void, Error> numbers(std::string_view operation, std::string_view argument,
                                   std::span<const double> positions);
// A neck gain (`argument` "kp" or "kd") is a number (NotANumber) and not negative (Refused): a
// NaN or negative kp would be packed as 0 and leave the joint without stiffness; so is a
// negative kd. Zero passes.
std::expected<void, Error> gain(std::string_view operation, std::string_view argument, const float& gain);
// Requests that no servo packet can carry are Refused before any traffic:
//   - an id above 253: 254 addresses every servo at once, 255 none (write_raw_packet still
//     sends a deliberate broadcast as given);
std::expected<void, Error> one_servo(std::string_view operation, std::string_view argument,
                                     const std::uint8_t& id);
//   - a read of more bytes than one status reply carries (253);
std::expected<void, Error> one_reply(std::string_view operation, std::string_view argument,
                                     const std::uint8_t& length);
//   - more data bytes than one Write carries (252);
std::expected<void, Error> one_write(std::string_view operation, std::string_view argument,
                                     const std::vector<std::uint8_t>& data);
//   - more torque ids of one servo group than one sync write reaches (125); ids of neither
//     group are ignored by the operation, and pass.
std::expected<void, Error> one_sync_write(std::string_view operation, std::string_view argument,
                                          const std::vector<std::uint8_t>& ids);

template <std::size_t N>
std::expected<void, Error> all_numbers(std::string_view operation, std::string_view argument,
                                       const std::array<double, N>& positions) {
  return numbers(operation, argument, positions);
}
inline std::expected<void, Error> number(std::string_view operation, std::string_view argument,
                                         const double& position) {
  return numbers(operation, argument, {&position, 1});
}
}  // namespace rules

// A value of type T that passed `Rule`.
template <class T, auto Rule>
class Checked {
 public:
  static std::expected<Checked, Error> check(std::string_view operation, std::string_view argument, T value) {
    if (auto passed = Rule(operation, argument, std::as_const(value)); !passed) {
      return std::unexpected(std::move(passed.error()));
    }
    return Checked(std::move(value));
  }

  const T& value() const { return value_; }

  friend bool operator==(const Checked&, const Checked&) = default;

 private:
  explicit Checked(T value) : value_(std::move(value)) {}
  T value_;
};

// Positions in rad.
template <std::size_t N>
using Positions = Checked<std::array<double, N>, rules::all_numbers<N>>;
using Position = Checked<double, rules::number>;
using Gain = Checked<float, rules::gain>;
// Raw servo requests.
using ServoId = Checked<std::uint8_t, rules::one_servo>;
using ReadLength = Checked<std::uint8_t, rules::one_reply>;
using WriteData = Checked<std::vector<std::uint8_t>, rules::one_write>;
using TorqueIds = Checked<std::vector<std::uint8_t>, rules::one_sync_write>;

}  // namespace quillet::controller
