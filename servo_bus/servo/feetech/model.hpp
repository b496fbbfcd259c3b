// The one definition of a Feetech servo model's register operations. Each model
// (sm40bl.hpp, sts3025bl.hpp) is an instance of `Model<Spec>` with its own `Spec`; for
// everything this system uses both specs carry the same registers.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "servo_bus/error.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "servo_bus/servo/feetech/conversions.hpp"

namespace quillet::servo::feetech {

using quillet::feetech::FeetechProtocolHandler;
using servo_bus::Error;
using servo_bus::SerialPort;

// Register addresses of a model (all little-endian).
struct Registers {
  std::uint8_t torque_enable;     // 1 byte, 0 or 1
  std::uint8_t goal_position;     // 2 bytes, signed steps
  std::uint8_t present_position;  // 2 bytes, signed steps
  std::uint8_t present_voltage;   // 1 byte, tenths of a volt
};

// The register table shared by the SMS/STS families used on this robot.
inline constexpr Registers kSmsStsRegisters{.torque_enable = 40, .goal_position = 42,
                                            .present_position = 56, .present_voltage = 62};

inline constexpr std::uint8_t kPositionWidth = 2;
inline constexpr std::uint8_t kByteWidth = 1;

namespace detail {
// One sync read of `width` bytes per id; a reply of any other length is ParsingError.
std::expected<std::vector<std::vector<std::uint8_t>>, Error> sync_read_checked(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids,
    std::uint8_t address, std::uint8_t width);
std::expected<std::vector<std::int16_t>, Error> sync_read_i16(FeetechProtocolHandler& handler, SerialPort& port,
                                                              std::span<const std::uint8_t> ids,
                                                              std::uint8_t address);
std::expected<std::vector<std::uint8_t>, Error> sync_read_u8(FeetechProtocolHandler& handler, SerialPort& port,
                                                             std::span<const std::uint8_t> ids,
                                                             std::uint8_t address);
std::expected<void, Error> sync_write_i16(FeetechProtocolHandler& handler, SerialPort& port,
                                          std::span<const std::uint8_t> ids, std::uint8_t address,
                                          std::span<const std::int16_t> values);
std::expected<void, Error> sync_write_u8(FeetechProtocolHandler& handler, SerialPort& port,
                                         std::span<const std::uint8_t> ids, std::uint8_t address,
                                         std::span<const std::uint8_t> values);
std::vector<double> to_radians(std::span<const std::int16_t> raw);
std::vector<std::int16_t> to_steps(std::span<const double> radians);
std::vector<bool> to_bools(std::span<const std::uint8_t> raw);
std::vector<std::uint8_t> from_bools(std::span<const bool> values);
}  // namespace detail

// `Spec` provides `static constexpr Registers registers` and `static constexpr std::string_view name`.
// Every operation: one sync read or one sync write, results in id-list order, transaction
// errors unchanged, no partial list. A reply whose length differs from the register width is
// ParsingError. Writes take exactly one value per id (otherwise an I/O error of kind
// InvalidInput, nothing sent); an empty id list is refused the same way.
template <class Spec>
struct Model {
  static constexpr Registers registers = Spec::registers;
  static constexpr std::string_view name = Spec::name;

  static std::expected<std::vector<std::int16_t>, Error> sync_read_raw_present_position(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) {
    return detail::sync_read_i16(handler, port, ids, registers.present_position);
  }
  static std::expected<std::vector<double>, Error> sync_read_present_position(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) {
    auto raw = sync_read_raw_present_position(handler, port, ids);
    if (!raw) return std::unexpected(std::move(raw.error()));
    return detail::to_radians(*raw);
  }
  static std::expected<std::vector<std::uint8_t>, Error> sync_read_present_voltage(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) {
    return detail::sync_read_u8(handler, port, ids, registers.present_voltage);
  }
  static std::expected<std::vector<std::uint8_t>, Error> sync_read_raw_torque_enable(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) {
    return detail::sync_read_u8(handler, port, ids, registers.torque_enable);
  }
  static std::expected<std::vector<bool>, Error> sync_read_torque_enable(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) {
    auto raw = sync_read_raw_torque_enable(handler, port, ids);
    if (!raw) return std::unexpected(std::move(raw.error()));
    return detail::to_bools(*raw);
  }
  static std::expected<void, Error> sync_write_raw_goal_position(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids,
      std::span<const std::int16_t> steps) {
    return detail::sync_write_i16(handler, port, ids, registers.goal_position, steps);
  }
  static std::expected<void, Error> sync_write_goal_position(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids,
      std::span<const double> radians) {
    const std::vector<std::int16_t> steps = detail::to_steps(radians);
    return sync_write_raw_goal_position(handler, port, ids, steps);
  }
  static std::expected<void, Error> sync_write_raw_torque_enable(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids,
      std::span<const std::uint8_t> values) {
    return detail::sync_write_u8(handler, port, ids, registers.torque_enable, values);
  }
  static std::expected<void, Error> sync_write_torque_enable(
      FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids,
      std::span<const bool> enable) {
    const std::vector<std::uint8_t> raw = detail::from_bools(enable);
    return sync_write_raw_torque_enable(handler, port, ids, raw);
  }
};

}  // namespace quillet::servo::feetech

// Names the nine operations of `Model<Spec>` in the current namespace, so that a model's
// namespace reads `sm40bl::sync_read_present_position(handler, port, ids)`.
#define QUILLET_FEETECH_MODEL_OPERATIONS(MODEL)                                                  \
  inline constexpr auto sync_read_raw_present_position = &MODEL::sync_read_raw_present_position; \
  inline constexpr auto sync_read_present_position = &MODEL::sync_read_present_position;         \
  inline constexpr auto sync_read_present_voltage = &MODEL::sync_read_present_voltage;           \
  inline constexpr auto sync_read_raw_torque_enable = &MODEL::sync_read_raw_torque_enable;       \
  inline constexpr auto sync_read_torque_enable = &MODEL::sync_read_torque_enable;               \
  inline constexpr auto sync_write_raw_goal_position = &MODEL::sync_write_raw_goal_position;     \
  inline constexpr auto sync_write_goal_position = &MODEL::sync_write_goal_position;             \
  inline constexpr auto sync_write_raw_torque_enable = &MODEL::sync_write_raw_torque_enable;     \
  inline constexpr auto sync_write_torque_enable = &MODEL::sync_write_torque_enable;
