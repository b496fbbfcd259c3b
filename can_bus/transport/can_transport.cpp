#include "can_bus/transport/can_transport.hpp"

#include <cerrno>

namespace quillet::can_bus {

std::string CanError::message() const {
  switch (kind()) {
    case Kind::Backend:
      return "backend error: " + std::get<Backend>(v_).io.message();
    case Kind::Timeout:
      return "timeout waiting for frame";
    case Kind::FrameTooLarge:
      return "frame too large for selected mode: " + std::to_string(std::get<FrameTooLarge>(v_).len) +
             " bytes";
    case Kind::InvalidId:
      return "invalid CAN id";
  }
  return {};
}

std::vector<std::string> CanError::notes(std::string_view interface) const {
  const auto* backend = get_if<Backend>();
  switch (backend ? backend->io.os_error() : 0) {
    case ENOBUFS:
      return {no_acknowledgement_text(interface) + ": the adapter resends each frame until its transmit "
                                                   "queue is full, then refuses new ones (ENOBUFS)",
              no_acknowledgement_causes(interface)};
    case ENETDOWN: return {interface_down_text(interface)};
    case ENODEV:
    case ENXIO: return {missing_interface_text(interface)};
    default: return {};
  }
}

std::string no_acknowledgement_text(std::string_view interface) {
  return "no device acknowledges the frames sent on " + std::string(interface);
}

std::string no_acknowledgement_causes(std::string_view interface) {
  const std::string name(interface);
  return "usual causes: the motors are unpowered, CAN-H and CAN-L are swapped, the bus lacks its "
         "120 Ω termination, or the motors use another bitrate than " + name +
         " (ip -details link show " + name + ")";
}

std::string missing_interface_text(std::string_view interface) {
  return "CAN interface " + std::string(interface) +
         " does not exist: is the CAN adapter plugged in? (ip -details link show shows the interfaces)";
}

std::string interface_down_text(std::string_view interface) {
  const std::string name(interface);
  return "CAN interface " + name + " is down: bring it up with: sudo ip link set " + name +
         " up type can bitrate 1000000";
}

std::expected<CanFrame, CanError> CanTransport::request(const CanFrame& frame, CanId expected,
                                                        std::chrono::nanoseconds timeout) {
  discard_pending();
  if (auto sent = send(frame); !sent) return std::unexpected(std::move(sent.error()));
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  return recv_until(*this, deadline, [expected](const CanFrame& f) { return f.id == expected; });
}

}  // namespace quillet::can_bus
