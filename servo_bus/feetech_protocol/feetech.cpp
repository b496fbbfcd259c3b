#include "servo_bus/feetech_protocol/feetech.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace quillet::servo_bus::feetech {

namespace {

Error too_long(std::string_view what, std::size_t size, std::size_t limit) {
  return Error::io(IoErrorKind::InvalidInput, std::string(what) + " too long: " + std::to_string(size) +
                                                  " bytes (at most " + std::to_string(limit) + ")");
}

template <class Data>
std::expected<void, Error> check_sync_write(std::span<const std::uint8_t> ids, std::span<const Data> data) {
  if (ids.empty()) return std::unexpected(Error::io(IoErrorKind::InvalidInput, "Sync write needs at least one servo id"));
  const std::size_t pairs = std::min(ids.size(), data.size());
  std::size_t flattened = 0;
  for (std::size_t i = 0; i < pairs; ++i) flattened += 1 + data[i].size();
  if (flattened + 2 > kMaxParams) return std::unexpected(too_long("Instruction parameters", flattened + 2, kMaxParams));
  if (flattened / ids.size() == 0) {
    return std::unexpected(Error::io(IoErrorKind::InvalidInput, "Sync write data missing for some servo ids"));
  }
  return {};
}

}  // namespace

void FeetechProtocolHandler::after_exchange() {
  if (post_delay_) clock_->sleep_for(*post_delay_);
}

std::expected<void, Error> FeetechProtocolHandler::clear_input(SerialPort& port) {
  auto waiting = port.bytes_to_read();
  if (!waiting) return std::unexpected(Error(std::move(waiting.error())));
  if (*waiting == 0) return {};

  std::array<std::uint8_t, 512> scratch;
  for (int pass = 1;; ++pass) {
    waiting = port.bytes_to_read();
    if (!waiting) return std::unexpected(Error(std::move(waiting.error())));
    std::size_t remaining = *waiting;
    while (remaining > 0) {  // read-exact n, in scratch-sized pieces
      const std::size_t chunk = std::min(remaining, scratch.size());
      if (auto read = port.read_exact(std::span(scratch).first(chunk)); !read) {
        return std::unexpected(Error(std::move(read.error())));
      }
      remaining -= chunk;
    }
    clock_->sleep_for(kClearPassSleep);
    if (pass >= kClearPasses) break;
    waiting = port.bytes_to_read();
    if (!waiting) return std::unexpected(Error(std::move(waiting.error())));
    if (*waiting == 0) return {};
  }
  waiting = port.bytes_to_read();
  if (!waiting) return std::unexpected(Error(std::move(waiting.error())));
  if (*waiting > 0) return std::unexpected(Error(CommunicationErrorKind::TimeoutError));
  return {};
}

std::expected<void, Error> FeetechProtocolHandler::send_instruction_packet(SerialPort& port,
                                                                           const InstructionPacket& packet) {
  const std::size_t params = packet.params().size();
  if (params > kMaxParams) return std::unexpected(too_long("Instruction parameters", params, kMaxParams));

  if (auto cleared = clear_input(port); !cleared) return cleared;

  const std::vector<std::uint8_t> bytes = packet.to_bytes();
  if (!port.write_all(bytes)) return std::unexpected(Error(CommunicationErrorKind::TimeoutError));
  return {};
}

std::expected<StatusPacketFeetech, Error> FeetechProtocolHandler::read_status_packet(SerialPort& port,
                                                                                    std::uint8_t expected_id) {
  // Every failure here belongs to the servo whose reply it was.
  const auto failed = [expected_id](Error error) { return std::unexpected(std::move(error).with_servo_id(expected_id)); };
  std::array<std::uint8_t, 4 + 255> bytes;
  if (auto head = port.read_exact(std::span(bytes).first(4)); !head) return failed(std::move(head.error()));
  if (bytes[0] != kHeaderByte || bytes[1] != kHeaderByte) return failed(CommunicationErrorKind::ParsingError);
  const std::size_t length = bytes[3];
  if (auto rest = port.read_exact(std::span(bytes).subspan(4, length)); !rest) return failed(std::move(rest.error()));
  auto status = StatusPacketFeetech::from_bytes(std::span(bytes).first(4 + length), expected_id);
  if (!status) return failed(status.error());
  return std::move(*status);
}

std::expected<bool, Error> FeetechProtocolHandler::ping(SerialPort& port, std::uint8_t id) {
  const InstructionPacketFeetech packet({}, Instruction::Ping, id);
  if (auto sent = send_instruction_packet(port, packet); !sent) return std::unexpected(std::move(sent.error()));
  return read_status_packet(port, id).has_value();
}

std::expected<bool, Error> FeetechProtocolHandler::reboot(SerialPort& port, std::uint8_t id) {
  const InstructionPacketFeetech packet({}, Instruction::Reboot, id);
  if (auto sent = send_instruction_packet(port, packet); !sent) return std::unexpected(std::move(sent.error()));
  return read_status_packet(port, id).has_value();
}

std::expected<std::vector<std::uint8_t>, Error> FeetechProtocolHandler::read(SerialPort& port, std::uint8_t id,
                                                                             std::uint8_t address,
                                                                             std::uint8_t length) {
  const InstructionPacketFeetech packet = PacketFeetech::read_packet(id, address, length);
  if (auto sent = send_instruction_packet(port, packet); !sent) return std::unexpected(std::move(sent.error()));
  auto status = read_status_packet(port, id);
  if (!status) return std::unexpected(std::move(status.error()));
  after_exchange();
  return std::move(*status).take_params();
}

std::expected<void, Error> FeetechProtocolHandler::write(SerialPort& port, std::uint8_t id, std::uint8_t address,
                                                         std::span<const std::uint8_t> data) {
  if (data.size() > kMaxWriteData) return std::unexpected(too_long("Write data", data.size(), kMaxWriteData));
  const InstructionPacketFeetech packet = PacketFeetech::write_packet(id, address, data);
  if (auto sent = send_instruction_packet(port, packet); !sent) return sent;
  auto status = read_status_packet(port, id);
  if (!status) return std::unexpected(std::move(status.error()));
  after_exchange();
  return {};
}

std::expected<std::vector<std::vector<std::uint8_t>>, Error> FeetechProtocolHandler::sync_read(
    SerialPort& port, std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t length) {
  const InstructionPacketFeetech packet = PacketFeetech::sync_read_packet(ids, address, length);
  if (auto sent = send_instruction_packet(port, packet); !sent) return std::unexpected(std::move(sent.error()));
  std::vector<std::vector<std::uint8_t>> replies;
  replies.reserve(ids.size());
  for (std::uint8_t id : ids) {
    auto status = read_status_packet(port, id);
    if (!status) return std::unexpected(std::move(status.error()));
    replies.push_back(std::move(*status).take_params());
  }
  return replies;
}

std::expected<void, Error> FeetechProtocolHandler::sync_write(SerialPort& port, std::span<const std::uint8_t> ids,
                                                              std::uint8_t address,
                                                              std::span<const std::vector<std::uint8_t>> data) {
  if (auto ok = check_sync_write(ids, data); !ok) return ok;
  return send_instruction_packet(port, PacketFeetech::sync_write_packet(ids, address, data));
}

std::expected<void, Error> FeetechProtocolHandler::sync_write(SerialPort& port, std::span<const std::uint8_t> ids,
                                                              std::uint8_t address,
                                                              std::span<const std::span<const std::uint8_t>> data) {
  if (auto ok = check_sync_write(ids, data); !ok) return ok;
  return send_instruction_packet(port, PacketFeetech::sync_write_packet(ids, address, data));
}

}  // namespace quillet::servo_bus::feetech
