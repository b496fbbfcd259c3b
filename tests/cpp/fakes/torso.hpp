// The scripted torso of the C++ tests above the bus layers (those drive a real port on a pty,
// tests/cpp/servo_bus/pty_bus.hpp): seven servos behind a SerialPort and three neck motors
// behind a CanTransport, written from the wire formats (not from the module's encoders). A loop
// thread may use them while the test thread changes their state, so every access is locked.
#pragma once

#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "can_bus/transport/can_transport.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace quillet::testing {

inline std::uint8_t checksum(const std::vector<std::uint8_t>& packet) {
  unsigned sum = 0;
  for (std::size_t i = 2; i < packet.size(); ++i) sum += packet[i];
  return static_cast<std::uint8_t>(~sum);
}

class FakeServoBus final : public servo_bus::SerialPort {
 public:
  static constexpr std::uint8_t kTorque = 40, kGoal = 42, kPosition = 56, kVoltage = 62;
  enum : std::uint8_t { kPing = 1, kRead = 2, kWrite = 3, kReboot = 8, kSyncRead = 0x82, kSyncWrite = 0x83 };

  struct Packet {
    std::uint8_t id;
    std::uint8_t instruction;
    std::vector<std::uint8_t> params;
  };

  FakeServoBus() {
    for (std::uint8_t id = 1; id <= 7; ++id) {
      set_u16(id, kPosition, 2048);
      memory_[id][kVoltage] = 120;
    }
  }

  // ---- Test side.
  void set_silent(std::uint8_t id, bool silent) {
    std::lock_guard lock(mutex_);
    if (silent) silent_.insert(id);
    else silent_.erase(id);
  }
  void set_voltage(std::uint8_t id, std::uint8_t tenths) {
    std::lock_guard lock(mutex_);
    memory_[id][kVoltage] = tenths;
  }
  void set_position(std::uint8_t id, std::int16_t steps) {
    std::lock_guard lock(mutex_);
    set_u16(id, kPosition, static_cast<std::uint16_t>(steps));
  }
  std::uint8_t byte(std::uint8_t id, std::uint8_t address) {
    std::lock_guard lock(mutex_);
    return memory_[id][address];
  }
  // The next `count` instruction packets get no reply at all (the host times out).
  void drop_replies(int count) {
    std::lock_guard lock(mutex_);
    dropped_ = count;
  }
  // Every later sync write (a goal or torque command) takes this long to go out.
  void set_sync_write_delay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    write_delay_ = delay;
  }
  std::vector<Packet> packets() {
    std::lock_guard lock(mutex_);
    return packets_;
  }
  // The packets as (instruction, id; for a sync instruction its start address), for order checks.
  std::vector<std::pair<int, int>> instructions() {
    std::vector<std::pair<int, int>> out;
    for (const Packet& p : packets()) {
      const bool sync = p.instruction == kSyncRead || p.instruction == kSyncWrite;
      out.emplace_back(p.instruction, sync ? p.params[0] : p.id);
    }
    return out;
  }
  void clear_packets() {
    std::lock_guard lock(mutex_);
    packets_.clear();
  }

  // ---- SerialPort.
  std::expected<std::size_t, servo_bus::SerialPortError> bytes_to_read() override {
    std::lock_guard lock(mutex_);
    return input_.size();
  }
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) override {
    std::lock_guard lock(mutex_);
    if (input_.size() < out.size()) {
      input_.clear();
      return std::unexpected(IoError::timed_out());
    }
    for (auto& b : out) {
      b = input_.front();
      input_.pop_front();
    }
    return {};
  }
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> data) override {
    std::chrono::milliseconds delay;
    {
      std::lock_guard lock(mutex_);
      delay = write_delay_;
    }
    if (delay.count() > 0 && data.size() > 4 && data[4] == kSyncWrite) std::this_thread::sleep_for(delay);
    std::lock_guard lock(mutex_);
    if (data.size() < 6) return {};
    Packet packet{data[2], data[4], {data.begin() + 5, data.end() - 1}};
    packets_.push_back(packet);
    if (dropped_ > 0) {
      --dropped_;
      return {};
    }
    answer(packet);
    return {};
  }
  std::expected<void, IoError> flush() override { return {}; }

 private:
  void set_u16(std::uint8_t id, std::uint8_t address, std::uint16_t value) {
    memory_[id][address] = static_cast<std::uint8_t>(value & 0xFF);
    memory_[id][address + 1] = static_cast<std::uint8_t>(value >> 8);
  }
  void reply(std::uint8_t id, std::vector<std::uint8_t> params) {
    if (silent_.contains(id)) return;
    std::vector<std::uint8_t> out{0xFF, 0xFF, id, static_cast<std::uint8_t>(params.size() + 2), 0};
    out.insert(out.end(), params.begin(), params.end());
    out.push_back(checksum(out));
    input_.insert(input_.end(), out.begin(), out.end());
  }
  std::vector<std::uint8_t> registers(std::uint8_t id, std::uint8_t address, std::uint8_t length) {
    std::vector<std::uint8_t> bytes;
    for (unsigned i = 0; i < length; ++i) bytes.push_back(memory_[id][(address + i) & 0xFF]);
    return bytes;
  }
  void answer(const Packet& p) {
    switch (p.instruction) {
      case kPing:
      case kReboot: reply(p.id, {}); break;
      case kRead: reply(p.id, registers(p.id, p.params[0], p.params[1])); break;
      case kWrite:
        for (std::size_t i = 1; i < p.params.size(); ++i) memory_[p.id][(p.params[0] + i - 1) & 0xFF] = p.params[i];
        reply(p.id, {});
        break;
      case kSyncRead:
        for (std::size_t i = 2; i < p.params.size(); ++i) {
          reply(p.params[i], registers(p.params[i], p.params[0], p.params[1]));
        }
        break;
      case kSyncWrite: {
        const std::uint8_t address = p.params[0], width = p.params[1];
        for (std::size_t i = 2; i + width < p.params.size() + 1; i += width + 1u) {
          for (unsigned k = 0; k < width; ++k) memory_[p.params[i]][(address + k) & 0xFF] = p.params[i + 1 + k];
        }
        break;
      }
      default: break;
    }
  }

  std::mutex mutex_;
  std::map<std::uint8_t, std::array<std::uint8_t, 256>> memory_;
  std::set<std::uint8_t> silent_;
  std::deque<std::uint8_t> input_;
  std::vector<Packet> packets_;
  int dropped_ = 0;
  std::chrono::milliseconds write_delay_{0};
};

// Three neck motors on CAN ids 1-3, replying on the same ids. Positions are packed over
// [-12.5, 12.5] rad as the neck's motors are configured; the other state fields stay at mid-range.
class FakeNeck final : public can_bus::CanTransport {
 public:
  static constexpr float kPMax = 12.5f;

  void set_silent(std::uint8_t id, bool silent) {
    std::lock_guard lock(mutex_);
    if (silent) silent_.insert(id);
    else silent_.erase(id);
  }
  void set_position(std::uint8_t id, float radians) {
    std::lock_guard lock(mutex_);
    position_[id] = radians;
  }
  float position(std::uint8_t id) {
    std::lock_guard lock(mutex_);
    return position_[id];
  }
  // Every later recv throws: a broken invariant somewhere under the bus.
  void set_throwing(bool throwing) {
    std::lock_guard lock(mutex_);
    throwing_ = throwing;
  }
  std::vector<can_bus::CanFrame> sent() {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  void clear_sent() {
    std::lock_guard lock(mutex_);
    sent_.clear();
  }

  std::expected<void, can_bus::CanError> send(const can_bus::CanFrame& frame) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(frame);
    const auto& d = frame.data;
    if (d.size() != 8) return {};
    const std::uint32_t id = frame.id.value();
    if (id == 0x7FF && d[2] == 0xCC) {
      state(d[0]);
    } else if (id == 0x7FF && d[2] == 0x33) {
      // Control mode 1 (MIT) for register 10, zero elsewhere.
      if (!silent_.contains(d[0])) {
        incoming_.push_back(can_bus::CanFrame{{d[0], d[1], 0x33, d[3], std::uint8_t(d[3] == 10 ? 1 : 0), 0, 0, 0},
                                          can_bus::CanId::standard(d[0])});
      }
    } else if (id >= 1 && id <= 3) {
      const bool special = d[0] == 0xFF && d[1] == 0xFF && d[6] == 0xFF;
      if (!special) {
        const unsigned p = (unsigned(d[0]) << 8) | d[1];
        position_[static_cast<std::uint8_t>(id)] = float(p) * (2 * kPMax) / 65535.0f - kPMax;
      }
      state(static_cast<std::uint8_t>(id));
    }
    ready_.notify_all();
    return {};
  }

  std::expected<can_bus::CanFrame, can_bus::CanError> recv(std::chrono::nanoseconds timeout) override {
    std::unique_lock lock(mutex_);
    if (throwing_) throw std::logic_error("broken invariant under the CAN bus");
    if (!ready_.wait_for(lock, timeout, [&] { return !incoming_.empty(); })) {
      return std::unexpected(can_bus::CanError::timeout());
    }
    can_bus::CanFrame frame = incoming_.front();
    incoming_.pop_front();
    return frame;
  }

 private:
  void state(std::uint8_t id) {
    if (silent_.contains(id)) return;
    const float clamped = std::fmax(-kPMax, std::fmin(kPMax, position_[id]));
    const auto p = static_cast<unsigned>(std::lround((clamped + kPMax) * 65535.0f / (2 * kPMax)));
    incoming_.push_back(can_bus::CanFrame{{id, std::uint8_t(p >> 8), std::uint8_t(p & 0xFF), 0x80, 0x08, 0x00, 30, 31},
                                      can_bus::CanId::standard(id)});
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::map<std::uint8_t, float> position_{{1, 0.0f}, {2, 0.0f}, {3, 0.0f}};
  std::set<std::uint8_t> silent_;
  bool throwing_ = false;
  std::deque<can_bus::CanFrame> incoming_;
  std::vector<can_bus::CanFrame> sent_;
};

// The controller owns its buses; these hand it a view of fakes that the test keeps, so that the
// test can still look at them after the controller (or the loop that owns it) has released them.
class PortView final : public servo_bus::SerialPort {
 public:
  explicit PortView(std::shared_ptr<FakeServoBus> bus) : bus_(std::move(bus)) {}
  std::expected<std::size_t, servo_bus::SerialPortError> bytes_to_read() override { return bus_->bytes_to_read(); }
  std::expected<void, IoError> read_exact(std::span<std::uint8_t> out) override { return bus_->read_exact(out); }
  std::expected<void, IoError> write_all(std::span<const std::uint8_t> data) override { return bus_->write_all(data); }
  std::expected<void, IoError> flush() override { return bus_->flush(); }

 private:
  std::shared_ptr<FakeServoBus> bus_;
};

class CanView final : public can_bus::CanTransport {
 public:
  explicit CanView(std::shared_ptr<FakeNeck> neck) : neck_(std::move(neck)) {}
  std::expected<void, can_bus::CanError> send(const can_bus::CanFrame& frame) override { return neck_->send(frame); }
  std::expected<can_bus::CanFrame, can_bus::CanError> recv(std::chrono::nanoseconds timeout) override { return neck_->recv(timeout); }

 private:
  std::shared_ptr<FakeNeck> neck_;
};

// Both fakes, and views of them for a controller.
struct FakeTorso {
  std::shared_ptr<FakeServoBus> servos = std::make_shared<FakeServoBus>();
  std::shared_ptr<FakeNeck> neck = std::make_shared<FakeNeck>();

  std::unique_ptr<servo_bus::SerialPort> port() const { return std::make_unique<PortView>(servos); }
  std::unique_ptr<can_bus::CanTransport> can() const { return std::make_unique<CanView>(neck); }
  // Whether every view has been released (and so whatever owned them).
  bool released() const { return servos.use_count() == 1 && neck.use_count() == 1; }
};

}  // namespace quillet::testing
