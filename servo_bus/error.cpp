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

std::optional<IoErrorKind> Error::io_kind() const {
  if (const IoError* io = io_error()) return io->kind();
  return std::nullopt;
}

std::optional<feetech::CommunicationErrorKind> Error::communication_kind() const {
  if (const auto* kind = std::get_if<feetech::CommunicationErrorKind>(&value_)) return *kind;
  return std::nullopt;
}

}  // namespace quillet::servo_bus
