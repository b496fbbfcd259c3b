// The Feetech protocol's own error values.
#pragma once

#include <cstdint>
#include <string>

namespace quillet::servo_bus::feetech {

// A tagged value: five variants, `IncorrectId` carrying two ids. Used like an enumeration:
//   CommunicationErrorKind::ParsingError, CommunicationErrorKind::IncorrectId(3, 4),
//   kind.variant() == CommunicationErrorKind::Variant::ParsingError.
class CommunicationErrorKind {
 public:
  enum class Variant : std::uint8_t { ChecksumError, ParsingError, TimeoutError, IncorrectId, Unsupported };

  static const CommunicationErrorKind ChecksumError;
  static const CommunicationErrorKind ParsingError;
  static const CommunicationErrorKind TimeoutError;
  static const CommunicationErrorKind Unsupported;
  static constexpr CommunicationErrorKind IncorrectId(std::uint8_t first, std::uint8_t second) {
    return CommunicationErrorKind(Variant::IncorrectId, first, second);
  }

  constexpr explicit CommunicationErrorKind(Variant variant, std::uint8_t first = 0,
                                            std::uint8_t second = 0)
      : variant_(variant), first_(first), second_(second) {}

  constexpr Variant variant() const { return variant_; }
  // The two ids of IncorrectId (0 for the other variants).
  constexpr std::uint8_t first_id() const { return first_; }
  constexpr std::uint8_t second_id() const { return second_; }

  // "ChecksumError", "ParsingError", "TimeoutError", "IncorrectId(3, 4)", "Unsupported".
  std::string debug_text() const;
  // "Checksum error", "Parsing error", "Timeout error",
  // "Incorrect id (4 instead of 3)" (second, then first), "Operation not supported".
  std::string message() const;

  friend constexpr bool operator==(const CommunicationErrorKind&,
                                   const CommunicationErrorKind&) = default;

 private:
  Variant variant_;
  std::uint8_t first_;
  std::uint8_t second_;
};

inline constexpr CommunicationErrorKind CommunicationErrorKind::ChecksumError{Variant::ChecksumError};
inline constexpr CommunicationErrorKind CommunicationErrorKind::ParsingError{Variant::ParsingError};
inline constexpr CommunicationErrorKind CommunicationErrorKind::TimeoutError{Variant::TimeoutError};
inline constexpr CommunicationErrorKind CommunicationErrorKind::Unsupported{Variant::Unsupported};

}  // namespace quillet::servo_bus::feetech
