// The Feetech packet format: instruction packets to the servos, status packets back.
// Pure functions over bytes; the only side effect is the checksum-mismatch line on stdout.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "servo_bus/feetech_protocol/communication_error.hpp"

namespace quillet::servo_bus::feetech {

inline constexpr std::uint8_t kBroadcastId = 0xFE;
inline constexpr std::uint8_t kHeaderByte = 0xFF;
// Most parameter bytes one instruction packet can carry (length byte = N + 2 <= 255).
inline constexpr std::size_t kMaxParams = 253;
// Most data bytes of one Write (the start address takes one parameter byte).
inline constexpr std::size_t kMaxWriteData = kMaxParams - 1;
// Most bytes one Read returns: a status packet's parameters have the same bound.
inline constexpr std::size_t kMaxReadLength = kMaxParams;
// Most servos one SyncWrite reaches with `data_bytes` each (after the address and length
// bytes, each servo takes its id and its data).
constexpr std::size_t max_sync_write_servos(std::size_t data_bytes) { return (kMaxParams - 2) / (1 + data_bytes); }
// Longest packet on the wire: 255 + 4 bytes.
inline constexpr std::size_t kMaxPacketSize = kMaxParams + 6;

enum class Instruction : std::uint8_t {
  Ping = 0x01,
  Read = 0x02,
  Write = 0x03,
  Reboot = 0x08,
  SyncRead = 0x82,
  SyncWrite = 0x83,
};

// Code on the wire.
constexpr std::uint8_t instruction_code(Instruction instruction) {
  return static_cast<std::uint8_t>(instruction);
}

// ~(sum of bytes) & 0xFF over the bytes given (the caller passes offsets 2 .. checksum-1).
constexpr std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  return static_cast<std::uint8_t>(~sum);
}

// One request.
class InstructionPacket {
 public:
  virtual ~InstructionPacket() = default;
  virtual std::uint8_t id() const = 0;
  virtual Instruction instruction() const = 0;
  virtual std::span<const std::uint8_t> params() const = 0;
  // The encoded packet: FF FF id N+2 code params... checksum.
  virtual std::vector<std::uint8_t> to_bytes() const = 0;
};

// One validated reply.
class StatusPacket {
 public:
  virtual ~StatusPacket() = default;
  virtual std::uint8_t id() const = 0;
  virtual std::span<const std::uint8_t> errors() const = 0;
  virtual std::span<const std::uint8_t> params() const = 0;
};

class InstructionPacketFeetech final : public InstructionPacket {
 public:
  InstructionPacketFeetech(std::vector<std::uint8_t> params, Instruction instruction, std::uint8_t id)
      : params_(std::move(params)), instruction_(instruction), id_(id) {}

  std::uint8_t id() const override { return id_; }
  Instruction instruction() const override { return instruction_; }
  std::span<const std::uint8_t> params() const override { return params_; }
  // Never fails. A packet over kMaxParams cannot be encoded faithfully (its length byte
  // wraps); the transaction layer refuses such packets before encoding them.
  std::vector<std::uint8_t> to_bytes() const override;
  // Encodes into `out` (at least params().size() + 6 bytes); returns the bytes written.
  std::size_t encode_into(std::span<std::uint8_t> out) const;
  std::size_t encoded_size() const { return params_.size() + 6; }

 private:
  std::vector<std::uint8_t> params_;
  Instruction instruction_;
  std::uint8_t id_;
};

class StatusPacketFeetech final : public StatusPacket {
 public:
  // Decodes received bytes against the expected id, in this order: fewer than 6 bytes
  // ParsingError; checksum mismatch ChecksumError (after writing "read crc: R, computed crc: C
  // data: [..]" + LF to stdout, every time); id mismatch ParsingError; error byte decoded
  // (bits 0,1,2,3,5 -> codes 0..4); byte count != L + 4 ParsingError. The header bytes are not
  // checked here (the reader has rejected a bad header already).
  static std::expected<StatusPacketFeetech, CommunicationErrorKind> from_bytes(
      std::span<const std::uint8_t> bytes, std::uint8_t expected_id);

  StatusPacketFeetech(std::vector<std::uint8_t> errors, std::vector<std::uint8_t> params, std::uint8_t id)
      : errors_(std::move(errors)), params_(std::move(params)), id_(id) {}

  std::uint8_t id() const override { return id_; }
  std::span<const std::uint8_t> errors() const override { return errors_; }
  std::span<const std::uint8_t> params() const override { return params_; }
  // Moves the parameter bytes out.
  std::vector<std::uint8_t> take_params() && { return std::move(params_); }

 private:
  std::vector<std::uint8_t> errors_;
  std::vector<std::uint8_t> params_;
  std::uint8_t id_;
};

// The packet family's factories (the interface `Packet` below). Ping and Reboot packets are
// built directly: InstructionPacketFeetech({}, Instruction::Ping, id).
struct PacketFeetech {
  // Read to `id`, params [address, length].
  static InstructionPacketFeetech read_packet(std::uint8_t id, std::uint8_t address, std::uint8_t length);
  // Write to `id`, params [address] + data.
  static InstructionPacketFeetech write_packet(std::uint8_t id, std::uint8_t address,
                                               std::span<const std::uint8_t> data);
  // SyncRead to 0xFE, params [address, length] + ids.
  static InstructionPacketFeetech sync_read_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                                   std::uint8_t length);
  // SyncWrite to 0xFE, params [address, L] + (id, data...) per pair; pairs stop at the shorter
  // list; L = flattened size / number of ids - 1 (0 when there is no id; callers never pass none,
  // and the transaction layer refuses it).
  static InstructionPacketFeetech sync_write_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                                    std::span<const std::vector<std::uint8_t>> data);
  // Same, with every servo's data as one span.
  static InstructionPacketFeetech sync_write_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                                    std::span<const std::span<const std::uint8_t>> data);
  // Delegates to StatusPacketFeetech::from_bytes.
  static std::expected<StatusPacketFeetech, CommunicationErrorKind> status_packet(
      std::span<const std::uint8_t> bytes, std::uint8_t expected_id);
};

// The interface `Packet`: a family offering the factories above.
template <class P>
concept Packet = requires(std::uint8_t id, std::span<const std::uint8_t> bytes,
                          std::span<const std::vector<std::uint8_t>> data) {
  { P::read_packet(id, id, id) } -> std::derived_from<InstructionPacket>;
  { P::write_packet(id, id, bytes) } -> std::derived_from<InstructionPacket>;
  { P::sync_read_packet(bytes, id, id) } -> std::derived_from<InstructionPacket>;
  { P::sync_write_packet(bytes, id, data) } -> std::derived_from<InstructionPacket>;
  P::status_packet(bytes, id);
};
static_assert(Packet<PacketFeetech>);

}  // namespace quillet::servo_bus::feetech
