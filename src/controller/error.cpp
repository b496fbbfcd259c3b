#include "controller/error.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <string>

#include "controller/joints.hpp"
#include "support/overloaded.hpp"
#include "support/text.hpp"

namespace quillet::controller {
namespace {

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
    const NeckJoint& joint = neck_joint(*failure.joint);
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

}  // namespace quillet::controller
