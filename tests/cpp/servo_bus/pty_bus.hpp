// Test support: the far end of a pseudo-terminal, scripted by the test (bytes in, bytes out),
// and a recording wrapper around the LinuxSerialPort opened on its slave side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "servo_bus/feetech_protocol/packet.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace quillet::servo_bus::testing {

using Bytes = std::vector<std::uint8_t>;

// A status packet as a servo sends it: FF FF id L err params checksum.
inline Bytes status_bytes(std::uint8_t id, const Bytes& params, std::uint8_t error = 0) {
  Bytes bytes;
  bytes.reserve(params.size() + 6);
  for (std::uint8_t b : {std::uint8_t{0xFF}, std::uint8_t{0xFF}, id, static_cast<std::uint8_t>(params.size() + 2), error}) {
    bytes.push_back(b);
  }
  for (std::uint8_t b : params) bytes.push_back(b);
  bytes.push_back(feetech::checksum(std::span(bytes).subspan(2)));
  return bytes;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The master side of a pseudo-terminal: what the servos would see and send.
class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      ADD_FAILURE() << "cannot create a pseudo-terminal";
      return;
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) == 0) slave_path_ = name;
  }
  ~Pty() {
    if (master_ >= 0) ::close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& slave_path() const { return slave_path_; }
  // Hangs the line up.
  void close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  int master() const { return master_; }

  // Bytes onto the line towards the port.
  void send(const Bytes& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t put = ::write(master_, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(put, 0) << "write to pty master failed";
      done += static_cast<std::size_t>(put);
    }
  }

  // Up to `count` bytes that the port wrote, waiting at most `timeout` for each piece.
  Bytes receive(std::size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) const {
    Bytes bytes;
    std::uint8_t buffer[1024];
    while (bytes.size() < count) {
      pollfd entry{master_, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) break;
      const std::size_t want = std::min(sizeof buffer, count - bytes.size());
      const ssize_t got = ::read(master_, buffer, want);
      if (got <= 0) break;
      bytes.insert(bytes.end(), buffer, buffer + got);
    }
    return bytes;
  }

  // Everything the port wrote, until the line stays quiet for `quiet`.
  Bytes drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(50)) const {
    return receive(SIZE_MAX, quiet);
  }

 private:
  int master_ = -1;
  std::string slave_path_;
};

// Waits (at most 2 s) until `port` reports `count` bytes waiting: the pty delivers written
// bytes asynchronously, and the tests must not depend on the scheduler.
inline void wait_until_waiting(SerialPort& port, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (std::chrono::steady_clock::now() < deadline) {
    auto waiting = port.bytes_to_read();
    ASSERT_TRUE(waiting.has_value()) << waiting.error().message();
    if (*waiting >= count) return;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  FAIL() << "the port never saw " << count << " bytes waiting";
}

// Wraps the real port: logs every call in order ("B" bytes-to-read, "R<n>" read-exact of n,
// "W<n>" write-all of n, "F" flush) and, after each write, plays the servos: reads the request
// off the master side (`wire`) and sends the next scripted replies.
class ScriptedBus final : public SerialPort {
 public:
  ScriptedBus(LinuxSerialPort& port, Pty& pty) : port_(port), pty_(pty) {}

  // Replies to send after the next write (one entry per write; an empty entry is silence).
  void script(Bytes replies) { script_.push_back(std::move(replies)); }

  std::expected<std::size_t, SerialPortError> bytes_to_read() override {
    calls.push_back("B");
    return port_.bytes_to_read();
  }
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> buffer) override {
    calls.push_back("R" + std::to_string(buffer.size()));
    return port_.read_exact(buffer);
  }
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> data) override {
    calls.push_back("W" + std::to_string(data.size()));
    auto written = port_.write_all(data);
    if (!written) return written;
    wire.push_back(pty_.receive(data.size()));
    if (!script_.empty()) {
      Bytes replies = std::move(script_.front());
      script_.pop_front();
      if (!replies.empty()) {
        const std::size_t before = *port_.bytes_to_read();
        pty_.send(replies);
        wait_until_waiting(port_, before + replies.size());
      }
    }
    return written;
  }
  std::expected<void, IoError> flush() override {
    calls.push_back("F");
    return port_.flush();
  }

  std::vector<std::string> calls;
  std::vector<Bytes> wire;  // each request as the far end received it

 private:
  LinuxSerialPort& port_;
  Pty& pty_;
  std::deque<Bytes> script_;
};

// A pty, the LinuxSerialPort opened on its slave, and the scripted wrapper.
struct PtyFixture : ::testing::Test {
  void SetUp() override {
    auto opened = LinuxSerialPort::open(pty.slave_path());
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    port = std::move(*opened);
    bus = std::make_unique<ScriptedBus>(*port, pty);
  }
  void TearDown() override {
    bus.reset();
    port.reset();
  }

  Pty pty;
  std::unique_ptr<LinuxSerialPort> port;
  std::unique_ptr<ScriptedBus> bus;
};

}  // namespace quillet::servo_bus::testing
