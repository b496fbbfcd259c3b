#include "servo_bus/feetech_protocol/communication_error.hpp"

namespace quillet::servo_bus::feetech {

std::string CommunicationErrorKind::debug_text() const {
  switch (variant_) {
    case Variant::ChecksumError: return "ChecksumError";
    case Variant::ParsingError: return "ParsingError";
    case Variant::TimeoutError: return "TimeoutError";
    case Variant::IncorrectId:
      return "IncorrectId(" + std::to_string(first_) + ", " + std::to_string(second_) + ")";
    case Variant::Unsupported: return "Unsupported";
  }
  return "Unsupported";
}

std::string CommunicationErrorKind::message() const {
  switch (variant_) {
    case Variant::ChecksumError: return "Checksum error";
    case Variant::ParsingError: return "Parsing error";
    case Variant::TimeoutError: return "Timeout error";
    case Variant::IncorrectId:
      return "Incorrect id (" + std::to_string(second_) + " instead of " + std::to_string(first_) + ")";
    case Variant::Unsupported: return "Operation not supported";
  }
  return "Operation not supported";
}

}  // namespace quillet::servo_bus::feetech
