#include "controller/error.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <string>

#include "controller/joints.hpp"
#include "servo_bus/feetech_protocol/packet.hpp"
#include "support/text.hpp"

namespace quillet::controller {
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

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

std::string on_bus(std::string_view kind, const std::string& bus) {
  return std::string(kind) + (bus.empty() ? "" : " " + bus);
}

// "left_arm_yaw (servo id 2)", or "servo id 9" for an id of no joint.
std::string servo_named(std::uint8_t id) {
  const auto joint = std::ranges::find(kServoJoints, id, &ServoJoint::id);
  const std::string number = "servo id " + std::to_string(id);
  return joint == kServoJoints.end() ? number : std::string(joint->name) + " (" + number + ")";
}

// What to run to see the bus as the scan sees it.
std::string scan_command(std::string_view option, const std::string& bus) {
  return "quillet-scan " + std::string(option) + " " + (bus.empty() ? std::string("...") : bus);
}

std::vector<std::string> servo_notes(const Error::Servo& failure) {
  const servo_bus::Error& error = failure.error;
  const std::string where = on_bus("servo bus", failure.bus) + ": ";
  const auto id = error.servo_id();
  if (!id) {
    std::vector<std::string> notes{where + error.what_happened()};
    if (const auto* port = error.serial_port_error(); port && port->message() == servo_bus::kExclusiveLockMessage) {
      notes.push_back("another program has the port open: " + scan_command("--serial", failure.bus) +
                      " names it");
    }
    return notes;
  }
  std::vector<std::string> notes{where + servo_named(*id) + " " + error.what_happened()};
  if (error.is_silence()) {
    notes.push_back("check its power and wiring, its id (" + std::to_string(*id) +
                    ") and its baud rate (1 Mbaud): " + scan_command("--serial", failure.bus) +
                    " --all-ids finds servos on other ids and at other rates");
  }
  return notes;
}

std::vector<std::string> can_notes(const Error::Can& failure) {
  const can_bus::CanError* transport = std::visit(
      Overloaded{[](const can_bus::damiao::Error& e) { return e.transport_error(); },
                 [](const can_bus::CanError& e) { return &e; }},
      failure.error);
  const std::string where = on_bus("CAN bus", failure.bus);
  std::vector<std::string> notes;
  if (failure.joint) {
    const NeckJoint& joint = kNeckJoints[*failure.joint];
    const std::string who = std::string(joint.name) + " (CAN id " + std::to_string(joint.can_id) + ")";
    const auto* backend = transport ? transport->get_if<can_bus::CanError::Backend>() : nullptr;
    if (transport && transport->is_timeout()) {
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(joint.timeout).count();
      notes.push_back(where + ": " + who + " did not answer within " + std::to_string(wait) + " ms");
    } else if (backend && backend->io.os_error() == ENOBUFS) {
      notes.push_back(where + ": the frame to " + who + " could not be sent");
    } else {
      notes.push_back(where + ", " + who);
    }
  }
  if (transport) {
    for (std::string& note : transport->notes(failure.bus)) notes.push_back(std::move(note));
  }
  if (!notes.empty()) notes.push_back("check with: " + scan_command("--can", failure.bus));
  return notes;
}

}  // namespace

std::string Error::message() const {
  return std::visit(Overloaded{[](const std::string& text) { return text; },
                               [](const Servo& failure) { return failure.error.message(); },
                               [](const NotANumber& refused) {
                                 return refused.operation + ": " + std::string(refused.quantity) +
                                        " is not a number";
                               },
                               [](const Refused& refused) { return refused.operation + ": " + refused.reason; },
                               [](const Can& failure) {
                                 return failure.context +
                                        std::visit([](const auto& e) { return e.message(); }, failure.error);
                               }},
                    value_);
}

std::vector<std::string> Error::notes() const {
  if (const auto* servo = std::get_if<Servo>(&value_)) return servo_notes(*servo);
  if (const auto* can = std::get_if<Can>(&value_)) return can_notes(*can);
  return {};
}

std::optional<IoErrorKind> Error::io_kind() const {
  if (const auto* servo = std::get_if<Servo>(&value_)) return servo->error.io_kind();
  return std::nullopt;
}

std::expected<void, Error> check_positions(std::string_view operation, std::string_view argument,
                                           std::span<const double> positions) {
  if (std::none_of(positions.begin(), positions.end(), [](double p) { return std::isnan(p); })) return {};
  return std::unexpected(Error(Error::NotANumber{std::string(operation), argument}));
}

std::expected<void, Error> check_gain(std::string_view operation, std::string_view argument,
                                      std::optional<float> gain) {
  if (!gain) return {};
  if (std::isnan(*gain)) {
    return std::unexpected(Error(Error::NotANumber{std::string(operation), argument, "gain"}));
  }
  if (*gain < 0.0f) return refuse(operation, argument, "gain is negative (" + text::float_display(*gain) + ")");
  return {};
}

std::expected<void, Error> check_servo_id(std::string_view operation, std::string_view argument,
                                          std::uint8_t id) {
  if (id < kBroadcastId) return {};
  return refuse(operation, argument,
                "servo id " + std::to_string(id) + " is not one servo's (at most " +
                    std::to_string(kBroadcastId - 1) + "; " + std::to_string(kBroadcastId) +
                    " is the broadcast id)");
}

std::expected<void, Error> check_read_length(std::string_view operation, std::string_view argument,
                                             std::uint8_t length) {
  if (length <= kMaxReadLength) return {};
  return over(operation, argument, std::to_string(length) + " bytes", kMaxReadLength, "one status reply carries");
}

std::expected<void, Error> check_write_data(std::string_view operation, std::string_view argument,
                                            std::size_t size) {
  if (size <= kMaxWriteData) return {};
  return over(operation, argument, std::to_string(size) + " bytes", kMaxWriteData, "one write carries");
}

std::expected<void, Error> check_torque_ids(std::string_view operation, std::string_view argument,
                                            std::span<const std::uint8_t> ids) {
  // Each group is one sync write of a one-byte register; ids of neither group are ignored.
  constexpr std::size_t kMost = max_sync_write_servos(1);
  const auto arms = static_cast<std::size_t>(std::ranges::count_if(ids, is_arm_id));
  const auto nose = static_cast<std::size_t>(std::ranges::count_if(ids, is_nose_id));
  if (arms <= kMost && nose <= kMost) return {};
  return over(operation, argument,
              std::to_string(std::max(arms, nose)) + (arms > nose ? " arm" : " nose") + " servo ids", kMost,
              "one sync write reaches");
}

}  // namespace quillet::controller
