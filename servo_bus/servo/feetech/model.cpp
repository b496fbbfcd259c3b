#include "servo_bus/servo/feetech/model.hpp"

#include <array>
#include <string>

namespace quillet::servo_bus::feetech {

namespace {

// One sync read of `width` bytes per id; a reply of any other length is ParsingError.
std::expected<std::vector<std::vector<std::uint8_t>>, Error> sync_read_checked(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids, std::uint8_t address,
    std::uint8_t width) {
  auto replies = handler.sync_read(port, ids, address, width);
  if (!replies) return replies;
  if (replies->size() != ids.size()) return std::unexpected(Error(CommunicationErrorKind::ParsingError));
  for (const auto& reply : *replies) {
    if (reply.size() != width) return std::unexpected(Error(CommunicationErrorKind::ParsingError));
  }
  return replies;
}

std::expected<std::vector<std::int16_t>, Error> sync_read_i16(FeetechProtocolHandler& handler, SerialPort& port,
                                                              std::span<const std::uint8_t> ids,
                                                              std::uint8_t address) {
  auto replies = sync_read_checked(handler, port, ids, address, kPositionWidth);
  if (!replies) return std::unexpected(std::move(replies.error()));
  std::vector<std::int16_t> values;
  values.reserve(replies->size());
  for (const auto& reply : *replies) {
    values.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(reply[0] | (reply[1] << 8))));
  }
  return values;
}

std::expected<std::vector<std::uint8_t>, Error> sync_read_u8(FeetechProtocolHandler& handler, SerialPort& port,
                                                             std::span<const std::uint8_t> ids,
                                                             std::uint8_t address) {
  auto replies = sync_read_checked(handler, port, ids, address, kByteWidth);
  if (!replies) return std::unexpected(std::move(replies.error()));
  std::vector<std::uint8_t> values;
  values.reserve(replies->size());
  for (const auto& reply : *replies) values.push_back(reply[0]);
  return values;
}

std::expected<void, Error> check_one_value_per_id(std::size_t ids, std::size_t values) {
  if (ids == values) return {};
  return std::unexpected(Error::io(IoErrorKind::InvalidInput,
                                   "Sync write needs one value per servo id (" + std::to_string(ids) + " ids, " +
                                       std::to_string(values) + " values)"));
}

// Data of width W per id; the spans point into `storage`.
template <std::size_t W>
struct SyncWriteData {
  std::vector<std::array<std::uint8_t, W>> storage;
  std::vector<std::span<const std::uint8_t>> spans;

  explicit SyncWriteData(std::size_t count) : storage(count) {
    spans.reserve(count);
    for (const auto& item : storage) spans.emplace_back(item);
  }
};

std::expected<void, Error> sync_write_i16(FeetechProtocolHandler& handler, SerialPort& port,
                                          std::span<const std::uint8_t> ids, std::uint8_t address,
                                          std::span<const std::int16_t> values) {
  if (auto ok = check_one_value_per_id(ids.size(), values.size()); !ok) return ok;
  SyncWriteData<kPositionWidth> data(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto raw = static_cast<std::uint16_t>(values[i]);
    data.storage[i] = {static_cast<std::uint8_t>(raw & 0xFF), static_cast<std::uint8_t>(raw >> 8)};
  }
  return handler.sync_write(port, ids, address, std::span<const std::span<const std::uint8_t>>(data.spans));
}

std::expected<void, Error> sync_write_u8(FeetechProtocolHandler& handler, SerialPort& port,
                                         std::span<const std::uint8_t> ids, std::uint8_t address,
                                         std::span<const std::uint8_t> values) {
  if (auto ok = check_one_value_per_id(ids.size(), values.size()); !ok) return ok;
  std::vector<std::span<const std::uint8_t>> data;
  data.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) data.push_back(values.subspan(i, 1));
  return handler.sync_write(port, ids, address, std::span<const std::span<const std::uint8_t>>(data));
}

std::vector<double> to_radians(std::span<const std::int16_t> raw) {
  std::vector<double> radians;
  radians.reserve(raw.size());
  for (std::int16_t value : raw) radians.push_back(steps_to_radians(value));
  return radians;
}

std::vector<std::int16_t> to_steps(std::span<const double> radians) {
  std::vector<std::int16_t> steps;
  steps.reserve(radians.size());
  for (double value : radians) steps.push_back(radians_to_steps(value));
  return steps;
}

std::vector<bool> to_bools(std::span<const std::uint8_t> raw) {
  std::vector<bool> values;
  values.reserve(raw.size());
  for (std::uint8_t value : raw) values.push_back(value != 0);
  return values;
}

std::vector<std::uint8_t> from_bools(std::span<const bool> values) {
  std::vector<std::uint8_t> raw;
  raw.reserve(values.size());
  for (bool value : values) raw.push_back(value ? 1 : 0);
  return raw;
}

}  // namespace

std::expected<std::vector<std::int16_t>, Error> ServoModel::sync_read_raw_present_position(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) const {
  return sync_read_i16(handler, port, ids, registers.present_position);
}

std::expected<std::vector<double>, Error> ServoModel::sync_read_present_position(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) const {
  auto raw = sync_read_raw_present_position(handler, port, ids);
  if (!raw) return std::unexpected(std::move(raw.error()));
  return to_radians(*raw);
}

std::expected<std::vector<std::uint8_t>, Error> ServoModel::sync_read_present_voltage(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) const {
  return sync_read_u8(handler, port, ids, registers.present_voltage);
}

std::expected<std::vector<std::uint8_t>, Error> ServoModel::sync_read_raw_torque_enable(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) const {
  return sync_read_u8(handler, port, ids, registers.torque_enable);
}

std::expected<std::vector<bool>, Error> ServoModel::sync_read_torque_enable(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids) const {
  auto raw = sync_read_raw_torque_enable(handler, port, ids);
  if (!raw) return std::unexpected(std::move(raw.error()));
  return to_bools(*raw);
}

std::expected<void, Error> ServoModel::sync_write_raw_goal_position(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids,
    std::span<const std::int16_t> steps) const {
  return sync_write_i16(handler, port, ids, registers.goal_position, steps);
}

std::expected<void, Error> ServoModel::sync_write_goal_position(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids,
    std::span<const double> radians) const {
  const std::vector<std::int16_t> steps = to_steps(radians);
  return sync_write_raw_goal_position(handler, port, ids, steps);
}

std::expected<void, Error> ServoModel::sync_write_raw_torque_enable(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids,
    std::span<const std::uint8_t> values) const {
  return sync_write_u8(handler, port, ids, registers.torque_enable, values);
}

std::expected<void, Error> ServoModel::sync_write_torque_enable(
    FeetechProtocolHandler& handler, SerialPort& port, std::span<const std::uint8_t> ids,
    std::span<const bool> enable) const {
  const std::vector<std::uint8_t> raw = from_bools(enable);
  return sync_write_raw_torque_enable(handler, port, ids, raw);
}

}  // namespace quillet::servo_bus::feetech
