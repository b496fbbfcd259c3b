// The serial port of the servo bus: the one I/O boundary.
//
// `SerialPort` is the interface the transaction layer talks to; `LinuxSerialPort` is its only
// implementation, a Linux serial terminal at 1,000,000 baud, 8N1, raw, no flow control, opened
// for exclusive use (TIOCEXCL and an exclusive non-blocking flock), with a 10 ms time-out on
// every underlying read and write.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/io_error.hpp"
#include "platform/unique_fd.hpp"

namespace quillet::servo_bus {

// A failure of the serial port itself (opening it, querying it): opening errors name the path;
// a lock held elsewhere gives "Unable to acquire exclusive lock on serial port".
class SerialPortError {
 public:
  explicit SerialPortError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }
  friend bool operator==(const SerialPortError&, const SerialPortError&) = default;

 private:
  std::string message_;
};

inline constexpr std::chrono::milliseconds kSerialPortTimeout{10};
inline constexpr std::uint32_t kServoBusBaudRate = 1'000'000;
inline constexpr std::string_view kExclusiveLockMessage =
    "Unable to acquire exclusive lock on serial port";

// The four calls the servo bus makes on a serial port. Not thread-safe: one user at a time.
class SerialPort {
 public:
  virtual ~SerialPort() = default;

  // Number of received bytes waiting to be read.
  virtual std::expected<std::size_t, SerialPortError> bytes_to_read() = 0;
  // Fills `buffer` completely. Each underlying wait for data lasts at most the port's time-out;
  // when nothing arrives in that time: IoError::timed_out(). On failure an unspecified part of
  // the buffer may have been consumed.
  virtual std::expected<void, IoError> read_exact(std::span<std::uint8_t> buffer) = 0;
  // Writes all of `data` (each wait for room bounded by the time-out).
  virtual std::expected<void, IoError> write_all(std::span<const std::uint8_t> data) = 0;
  // Waits until the output has been transmitted, bounded by the time-out (then TimedOut).
  virtual std::expected<void, IoError> flush() = 0;
};

// A Linux serial terminal. Owns its file descriptor and closes it (lock and exclusive mode
// released) when destroyed; neither copied nor moved, it is held through the SerialPort interface.
//
// Reads are done on a non-blocking descriptor, trying read() first and poll() only when
// nothing is there, through a small user-space receive buffer; bytes_to_read() counts what
// that buffer holds plus what the kernel holds, so read_exact/bytes_to_read behave exactly as
// on the bare terminal.
class LinuxSerialPort final : public SerialPort {
 public:
  // Opens `path` read-write, exclusive (TIOCEXCL, flock(LOCK_EX | LOCK_NB)), 1,000,000 baud via
  // termios2/BOTHER, 8 data bits, no parity, 1 stop bit, raw, no flow control, receiver on,
  // modem lines ignored, DTR untouched; asks for ASYNC_LOW_LATENCY through TIOCSSERIAL where
  // the driver supports it (ignored elsewhere, e.g. on a pseudo-terminal). Errors name the path,
  // except the lock failure, which is exactly kExclusiveLockMessage.
  static std::expected<std::unique_ptr<LinuxSerialPort>, SerialPortError> open(
      const std::string& path);

  // Takes ownership of an already-open, already-configured descriptor (it is made
  // non-blocking). `path` is used in messages only.
  explicit LinuxSerialPort(int fd, std::string path = {});
  ~LinuxSerialPort() override;

  LinuxSerialPort(const LinuxSerialPort&) = delete;
  LinuxSerialPort& operator=(const LinuxSerialPort&) = delete;

  std::expected<std::size_t, SerialPortError> bytes_to_read() override;
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> buffer) override;
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> data) override;
  std::expected<void, IoError> flush() override;

  // Sets another line rate (termios2/BOTHER, any rate the driver takes); what is waiting to be
  // read is kept. For tools that look for a servo set to another rate.
  std::expected<void, IoError> set_baud_rate(std::uint32_t rate);

  // The time-out of each underlying wait (default kSerialPortTimeout).
  std::chrono::milliseconds timeout() const { return timeout_; }
  void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

 private:
  static constexpr std::size_t kReceiveBufferSize = 512;

  // Waits (at most the time-out) until the descriptor is readable/writable.
  std::expected<void, IoError> wait_for(short events);

  UniqueFd fd_;
  std::string path_;
  std::chrono::milliseconds timeout_ = kSerialPortTimeout;
  // User-space receive buffer: bytes [head_, tail_) are received and not yet consumed.
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  std::uint8_t receive_buffer_[kReceiveBufferSize] = {};
};

}  // namespace quillet::servo_bus
