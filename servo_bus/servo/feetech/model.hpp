// The Feetech servo models: one plain type, `ServoModel`, holding a model's registers and
// offering the group operations this system runs on it. Each model (sm40bl.hpp, sts3025bl.hpp)
// is a constant of that type; for everything this system uses both carry the same registers.
//
//   sm40bl.sync_read_present_position(handler, port, ids)
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "servo_bus/error.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "servo_bus/servo/feetech/conversions.hpp"

namespace quillet::servo_bus::feetech {

// Register addresses of a model (all little-endian).
struct Registers {
  std::uint8_t torque_enable;     // 1 byte, 0 or 1
  std::uint8_t goal_position;     // 2 bytes, signed steps
  std::uint8_t present_position;  // 2 bytes, signed steps
  std::uint8_t present_voltage;   // 1 byte, tenths of a volt
  std::uint8_t pid_gains;         // kPidGainsLength bytes: P, D, I (PidGains)
};

// The register table shared by the SMS/STS families used on this robot.
inline constexpr Registers kSmsStsRegisters{.torque_enable = 40, .goal_position = 42,
                                            .present_position = 56, .present_voltage = 62,
                                            .pid_gains = 21};

// The gains of a servo's position loop, one byte each, held in the order P, D, I.
struct PidGains {
  std::uint8_t p = 0;
  std::uint8_t i = 0;
  std::uint8_t d = 0;
  friend bool operator==(const PidGains&, const PidGains&) = default;
};
inline constexpr std::uint8_t kPidGainsLength = 3;
constexpr std::array<std::uint8_t, kPidGainsLength> pid_gain_bytes(PidGains gains) {
  return {gains.p, gains.d, gains.i};
}
constexpr PidGains pid_gains_from(std::span<const std::uint8_t, kPidGainsLength> bytes) {
  return {.p = bytes[0], .i = bytes[2], .d = bytes[1]};
}

inline constexpr std::uint8_t kPositionWidth = 2;
inline constexpr std::uint8_t kByteWidth = 1;

// Every operation: one sync read or one sync write, results in id-list order, transaction
// errors unchanged, no partial list. A reply whose length differs from the register width is
// ParsingError. Writes take exactly one value per id (otherwise an I/O error of kind
// InvalidInput, nothing sent); an empty id list is refused the same way.
struct ServoModel {
  Registers registers;

  std::expected<std::vector<std::int16_t>, Error> sync_read_raw_present_position(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) const;
  std::expected<std::vector<double>, Error> sync_read_present_position(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) const;
  std::expected<std::vector<std::uint8_t>, Error> sync_read_present_voltage(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) const;
  std::expected<std::vector<std::uint8_t>, Error> sync_read_raw_torque_enable(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) const;
  std::expected<std::vector<bool>, Error> sync_read_torque_enable(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) const;
  std::expected<void, Error> sync_write_raw_goal_position(FeetechProtocolHandler& handler,
                                                          SerialPort& port,
                                                          std::span<const std::uint8_t> ids,
                                                          std::span<const std::int16_t> steps) const;
  std::expected<void, Error> sync_write_goal_position(FeetechProtocolHandler& handler,
                                                      SerialPort& port,
                                                      std::span<const std::uint8_t> ids,
                                                      std::span<const double> radians) const;
  std::expected<void, Error> sync_write_raw_torque_enable(FeetechProtocolHandler& handler,
                                                          SerialPort& port,
                                                          std::span<const std::uint8_t> ids,
                                                          std::span<const std::uint8_t> values) const;
  std::expected<void, Error> sync_write_torque_enable(FeetechProtocolHandler& handler,
                                                      SerialPort& port,
                                                      std::span<const std::uint8_t> ids,
                                                      std::span<const bool> enable) const;
};

}  // namespace quillet::servo_bus::feetech
