#include "servo_bus/error.hpp"

namespace quillet::servo_bus {

std::string Error::message() const {
  switch (origin()) {
    case Origin::SerialPort: return std::get<SerialPortError>(value_).message();
    case Origin::Io: return std::get<IoError>(value_).message();
    case Origin::Communication: return std::get<feetech::CommunicationErrorKind>(value_).message();
  }
  return {};
}

std::string Error::debug_text() const {
  switch (origin()) {
    case Origin::SerialPort: return "SerialPort(" + std::get<SerialPortError>(value_).message() + ")";
    case Origin::Io: {
      const IoError& io = std::get<IoError>(value_);
      return "Io(" + std::string(io_error_kind_name(io.kind())) + ", " + io.message() + ")";
    }
    case Origin::Communication:
      return "Communication(" + std::get<feetech::CommunicationErrorKind>(value_).debug_text() + ")";
  }
  return {};
}

std::string Error::what_happened() const {
  using Variant = feetech::CommunicationErrorKind::Variant;
  if (const auto kind = communication_kind()) {
    switch (kind->variant()) {
      case Variant::ChecksumError: return "sent a reply that failed its checksum (noise on the line?)";
      case Variant::ParsingError: return "sent a reply that does not begin with FF FF (noise on the line?)";
      case Variant::IncorrectId:
        return "was asked, and servo id " + std::to_string(kind->second_id()) +
               " answered (two servos with one id?)";
      case Variant::TimeoutError:
        return "the line did not fall quiet before a request, or the request could not be written "
               "(noise on the line, or another program writing to it?)";
      case Variant::Unsupported: return "was asked for an operation it does not support";
    }
  }
  if (is_silence()) {
    return "did not answer within the " + std::to_string(kSerialPortTimeout.count()) + " ms reply time-out";
  }
  if (servo_id_) return "could not be read: " + message();
  return "the serial port failed: " + message();
}

std::optional<IoErrorKind> Error::io_kind() const {
  if (const IoError* io = io_error()) return io->kind();
  return std::nullopt;
}

std::optional<feetech::CommunicationErrorKind> Error::communication_kind() const {
  if (const auto* kind = std::get_if<feetech::CommunicationErrorKind>(&value_)) return *kind;
  return std::nullopt;
}

}  // namespace quillet::servo_bus
