// The Damiao parameter-register table.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <string_view>

namespace quillet::can_bus::damiao {

enum class RegisterKind : std::uint8_t { Float = 0, Uint32 = 1 };

// The debug text of a kind: "Float" or "Uint32".
std::string_view debug_text(RegisterKind kind);

// A register value: its kind and 32 bits of payload (the IEEE single-precision bit pattern for
// Float, the unsigned number for Uint32).
struct RegisterValue {
  RegisterKind kind = RegisterKind::Uint32;
  std::uint32_t bits = 0;

  static constexpr RegisterValue from_float(float v) {
    return {RegisterKind::Float, std::bit_cast<std::uint32_t>(v)};
  }
  static constexpr RegisterValue from_uint32(std::uint32_t v) { return {RegisterKind::Uint32, v}; }
  constexpr float as_float() const { return std::bit_cast<float>(bits); }
  constexpr std::uint32_t as_uint32() const { return bits; }

  friend bool operator==(const RegisterValue&, const RegisterValue&) = default;
};

// One row of the register table.
struct RegisterInfo {
  std::string_view name;
  std::string_view description;
  std::uint8_t id = 0;
  bool writable = false;
  RegisterKind kind = RegisterKind::Float;
};

// Register ids used by this system.
inline constexpr std::uint8_t kCtrlModeRegister = 10;  // CTRL_MODE
inline constexpr std::uint8_t kMitMode = 1;             // CTRL_MODE value selecting MIT

// The row for `id`, or nullptr when the id is not in the table (gaps and ids above 81).
const RegisterInfo* lookup(std::uint8_t id);

// The whole table, in id order.
std::span<const RegisterInfo> register_table();

}  // namespace quillet::can_bus::damiao
