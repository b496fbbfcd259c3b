// Feetech bus transactions: clearing, sending, reading replies; ping, reboot, read,
// write, sync read, sync write.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "platform/clock.hpp"
#include "servo_bus/error.hpp"
#include "servo_bus/feetech_protocol/packet.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace quillet::servo_bus::feetech {

// Pause of each clearing pass before a send.
inline constexpr std::chrono::milliseconds kClearPassSleep{5};
inline constexpr int kClearPasses = 3;

// Carries out whole exchanges on a lent serial port. Holds no port and no lock; one exchange
// at a time per port.
//
// Requests that cannot be encoded are refused before anything is read or written, with an I/O
// error of kind InvalidInput:
//   - parameters over 253 bytes: "Instruction parameters too long: N bytes (at most 253)";
//   - a Write of more than 252 data bytes: "Write data too long: N bytes (at most 252)";
//   - a sync write or sync read without id: "Sync write needs at least one servo id" (sync read
//     with no id is allowed: it sends the packet and returns an empty list).
class FeetechProtocolHandler {
 public:
  // Every pause (clearing passes, post_delay) sleeps on `clock`, which must outlive the handler.
  explicit FeetechProtocolHandler(Clock& clock = real_clock(),
                                  std::optional<std::chrono::nanoseconds> post_delay = std::nullopt)
      : clock_(&clock), post_delay_(post_delay) {}

  std::optional<std::chrono::nanoseconds> post_delay() const { return post_delay_; }

  // True when a valid reply from `id` arrived; false on any read or decode error; an error only
  // when sending failed.
  std::expected<bool, Error> ping(SerialPort& port, std::uint8_t id);
  std::expected<bool, Error> reboot(SerialPort& port, std::uint8_t id);
  // The reply's parameter bytes, however many the servo sent.
  std::expected<std::vector<std::uint8_t>, Error> read(SerialPort& port, std::uint8_t id,
                                                       std::uint8_t address, std::uint8_t length);
  std::expected<void, Error> write(SerialPort& port, std::uint8_t id, std::uint8_t address,
                                   std::span<const std::uint8_t> data);
  // One byte vector per id, in list order; the first failing reply ends it with its error.
  std::expected<std::vector<std::vector<std::uint8_t>>, Error> sync_read(
      SerialPort& port, std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t length);
  // No reply is read.
  std::expected<void, Error> sync_write(SerialPort& port, std::span<const std::uint8_t> ids,
                                        std::uint8_t address,
                                        std::span<const std::vector<std::uint8_t>> data);
  std::expected<void, Error> sync_write(SerialPort& port, std::span<const std::uint8_t> ids,
                                        std::uint8_t address,
                                        std::span<const std::span<const std::uint8_t>> data);

  // Building blocks. Clear stale input (three 5 ms passes at most, TimeoutError when bytes keep
  // coming; no pause at all when the input is quiet), then write the packet (a failed write is
  // TimeoutError). Not flushed afterwards.
  std::expected<void, Error> send_instruction_packet(SerialPort& port, const InstructionPacket& packet);
  // Read 4 bytes (bad header: ParsingError, the rest left unread), then L more, then decode.
  // Every error names `expected_id` as its servo.
  std::expected<StatusPacketFeetech, Error> read_status_packet(SerialPort& port, std::uint8_t expected_id);

 private:
  std::expected<void, Error> clear_input(SerialPort& port);
  void after_exchange();

  Clock* clock_;
  std::optional<std::chrono::nanoseconds> post_delay_;
};

}  // namespace quillet::servo_bus::feetech
