#include "servo_bus/feetech_protocol/packet.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

namespace quillet::servo_bus::feetech {

std::size_t InstructionPacketFeetech::encode_into(std::span<std::uint8_t> out) const {
  const std::size_t n = params_.size();
  out[0] = kHeaderByte;
  out[1] = kHeaderByte;
  out[2] = id_;
  out[3] = static_cast<std::uint8_t>(n + 2);
  out[4] = instruction_code(instruction_);
  std::copy(params_.begin(), params_.end(), out.begin() + 5);
  out[5 + n] = checksum(out.subspan(2, n + 3));
  return n + 6;
}

std::vector<std::uint8_t> InstructionPacketFeetech::to_bytes() const {
  std::vector<std::uint8_t> bytes(encoded_size());
  encode_into(bytes);
  return bytes;
}

namespace {

void print_checksum_mismatch(std::uint8_t received, std::uint8_t computed,
                             std::span<const std::uint8_t> bytes) {
  std::string line = "read crc: " + std::to_string(received) + ", computed crc: " + std::to_string(computed) +
                     " data: [";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) line += ", ";
    line += std::to_string(bytes[i]);
  }
  line += "]\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

std::expected<StatusPacketFeetech, CommunicationErrorKind> StatusPacketFeetech::from_bytes(
    std::span<const std::uint8_t> bytes, std::uint8_t expected_id) {
  const std::size_t n = bytes.size();
  if (n < 6) return std::unexpected(CommunicationErrorKind::ParsingError);

  const std::uint8_t received = bytes[n - 1];
  const std::uint8_t computed = checksum(bytes.subspan(2, n - 3));
  if (received != computed) {
    print_checksum_mismatch(received, computed, bytes);
    return std::unexpected(CommunicationErrorKind::ChecksumError);
  }
  if (bytes[2] != expected_id) return std::unexpected(CommunicationErrorKind::ParsingError);

  std::vector<std::uint8_t> errors;
  const std::uint8_t error_byte = bytes[4];
  static constexpr std::uint8_t kRecordedBits[] = {0, 1, 2, 3, 5};
  for (std::uint8_t code = 0; code < 5; ++code) {
    if (error_byte & (1u << kRecordedBits[code])) errors.push_back(code);
  }

  const std::size_t length = bytes[3];
  if (n != length + 4) return std::unexpected(CommunicationErrorKind::ParsingError);
  // n >= 6 and n == L + 4 give L >= 2: the parameters are bytes 5 .. n-2.
  return StatusPacketFeetech(std::move(errors), std::vector<std::uint8_t>(bytes.begin() + 5, bytes.end() - 1),
                             expected_id);
}

InstructionPacketFeetech PacketFeetech::read_packet(std::uint8_t id, std::uint8_t address, std::uint8_t length) {
  return InstructionPacketFeetech({address, length}, Instruction::Read, id);
}

InstructionPacketFeetech PacketFeetech::write_packet(std::uint8_t id, std::uint8_t address,
                                                     std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> params;
  params.reserve(data.size() + 1);
  params.push_back(address);
  params.insert(params.end(), data.begin(), data.end());
  return InstructionPacketFeetech(std::move(params), Instruction::Write, id);
}

InstructionPacketFeetech PacketFeetech::sync_read_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                                         std::uint8_t length) {
  std::vector<std::uint8_t> params;
  params.reserve(ids.size() + 2);
  params.push_back(address);
  params.push_back(length);
  params.insert(params.end(), ids.begin(), ids.end());
  return InstructionPacketFeetech(std::move(params), Instruction::SyncRead, kBroadcastId);
}

namespace {

template <class Data>
InstructionPacketFeetech make_sync_write(std::span<const std::uint8_t> ids, std::uint8_t address,
                                         std::span<const Data> data) {
  const std::size_t pairs = std::min(ids.size(), data.size());
  std::vector<std::uint8_t> params(2);
  params[0] = address;
  for (std::size_t i = 0; i < pairs; ++i) {
    params.push_back(ids[i]);
    params.insert(params.end(), data[i].begin(), data[i].end());
  }
  const std::size_t flattened = params.size() - 2;
  const std::size_t per_servo = ids.empty() ? 0 : flattened / ids.size();
  params[1] = per_servo == 0 ? 0 : static_cast<std::uint8_t>(per_servo - 1);
  return InstructionPacketFeetech(std::move(params), Instruction::SyncWrite, kBroadcastId);
}

}  // namespace

InstructionPacketFeetech PacketFeetech::sync_write_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                                          std::span<const std::vector<std::uint8_t>> data) {
  return make_sync_write(ids, address, data);
}

InstructionPacketFeetech PacketFeetech::sync_write_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                                          std::span<const std::span<const std::uint8_t>> data) {
  return make_sync_write(ids, address, data);
}

std::expected<StatusPacketFeetech, CommunicationErrorKind> PacketFeetech::status_packet(
    std::span<const std::uint8_t> bytes, std::uint8_t expected_id) {
  return StatusPacketFeetech::from_bytes(bytes, expected_id);
}

}  // namespace quillet::servo_bus::feetech
