// Simulated serial-bus servos: the byte-stream parser of the line, the register table and motion
// of one servo, and the bus that answers instruction packets. No I/O here: the line (servo_line)
// feeds bytes in and puts the replies on the pseudo-terminal.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "clock.hpp"

namespace qsim {

using Bytes = std::vector<std::uint8_t>;

// Splits what the host sends into instruction packets the way a servo's receiver does: hunt for
// FF FF, then id, length and that many bytes. A packet left unfinished for longer than a gap is
// dropped, as a servo's receiver times out between bytes.
class PacketParser {
 public:
  enum class Kind { Packet, BadChecksum, Junk };
  struct Item {
    Kind kind;
    Bytes bytes;
  };

  static constexpr Nanos kByteGap = 3 * kMillisecond;

  std::vector<Item> feed(std::span<const std::uint8_t> data, Nanos t);
  void reset();

 private:
  void flush_junk(std::vector<Item>& out);
  Bytes pending_;
  Bytes junk_;
  Nanos last_byte_ = 0;
};

std::uint8_t feetech_checksum(std::span<const std::uint8_t> from_id_to_last_param);
Bytes status_packet(std::uint8_t id, std::uint8_t error, std::span<const std::uint8_t> params);

enum class ServoModel { Sm40bl, Sts3025bl };
std::string_view model_name(ServoModel model);

// Register addresses the torso gives meaning to.
namespace reg {
inline constexpr std::uint8_t kId = 5;
inline constexpr std::uint8_t kBaudRate = 6;
inline constexpr std::uint8_t kMaxVoltage = 14;
inline constexpr std::uint8_t kMinVoltage = 15;
inline constexpr std::uint8_t kPGain = 21;
inline constexpr std::uint8_t kDGain = 22;
inline constexpr std::uint8_t kIGain = 23;
inline constexpr std::uint8_t kTorqueEnable = 40;
inline constexpr std::uint8_t kGoalPosition = 42;
inline constexpr std::uint8_t kPresentPosition = 56;
inline constexpr std::uint8_t kPresentSpeed = 58;
inline constexpr std::uint8_t kPresentVoltage = 62;
inline constexpr std::uint8_t kMoving = 66;
// 56 to 70 hold present values: the servo writes them, the bus cannot.
inline constexpr std::uint8_t kFirstPresent = 56;
inline constexpr std::uint8_t kLastPresent = 70;
// From 40 on the table lives in RAM and takes its defaults again on a reboot.
inline constexpr std::uint8_t kFirstRam = 40;
}  // namespace reg

class Servo {
 public:
  static constexpr double kDefaultSpeed = 3000.0;  // steps per second with torque on
  static constexpr Nanos kRebootSilence = 30 * kMillisecond;
  static constexpr std::int16_t kStartPosition = 2048;

  Servo(std::uint8_t id, ServoModel model, Nanos t);

  // The joint's id names the servo for its owner; the bus id, in its id register, is the one it
  // answers on. They differ while it is moved to another bus id.
  std::uint8_t id() const { return id_; }
  std::uint8_t bus_id() const { return regs_[reg::kId]; }
  ServoModel model() const { return model_; }

  // The table as the servo would report it at time t.
  Bytes read(std::uint8_t address, std::size_t count, Nanos t);
  // A write from the bus: present values and the id register are read-only.
  void write(std::uint8_t address, std::span<const std::uint8_t> data, Nanos t);
  // A write from the torso's owner: present position and voltage may be set too, the id
  // register still not (ServoBus::set_bus_id keeps the bus ids unique).
  void poke(std::uint8_t address, std::span<const std::uint8_t> data, Nanos t);

  // The rate it listens and answers at, from its baud rate register (0 to 7: 1 Mbaud down to
  // 38400); 0 for a code it does not know.
  std::uint32_t baud_rate() const;
  // Sets the register to the code of `rate`; false when the servos have no such rate.
  bool set_baud_rate(std::uint32_t rate);

  void reboot(Nanos t);
  bool answers(Nanos t) const { return !silent_ && t >= silent_until_; }
  bool rebooting(Nanos t) const { return t < silent_until_; }
  // The status packet of a reply: error bits from the servo's state, checksum spoilt when asked.
  Bytes reply(std::span<const std::uint8_t> params, Nanos t);
  // Extra time before the next reply leaves (consumes a one-shot delay).
  Nanos take_reply_delay();

  std::int16_t position(Nanos t);
  std::int16_t goal_position() const;
  bool torque_enabled() const { return regs_[reg::kTorqueEnable] != 0; }
  std::uint8_t voltage(Nanos t) const;
  double speed() const { return speed_; }
  bool silent() const { return silent_; }
  Nanos reply_delay() const { return reply_delay_; }

  void set_position(double steps, Nanos t);
  void set_speed(double steps_per_second, Nanos t);
  void set_silent(bool silent) { silent_ = silent; }
  void corrupt_next_reply() { corrupt_next_ = true; }
  void delay_next_reply(Nanos delay) { delay_next_ = delay; }
  void set_reply_delay(Nanos delay) { reply_delay_ = delay; }
  void set_voltage(double tenths, Nanos t);
  void ramp_voltage(double from, double to, Nanos duration, Nanos t);

 private:
  friend class ServoBus;
  void advance(Nanos t);
  void refresh(Nanos t);
  void store_ram_defaults();

  std::uint8_t id_;
  ServoModel model_;
  std::array<std::uint8_t, 256> regs_{};
  double position_ = kStartPosition;  // steps, continuous
  Nanos updated_;
  double speed_ = kDefaultSpeed;
  double velocity_ = 0.0;  // of the last advance, steps per second
  double volts_from_ = 120.0;
  double volts_to_ = 120.0;
  Nanos volts_start_ = 0;
  Nanos volts_duration_ = 0;
  bool silent_ = false;
  Nanos silent_until_ = 0;
  bool corrupt_next_ = false;
  Nanos delay_next_ = 0;
  Nanos reply_delay_ = 0;
};

// The servos on one line and the instruction set they answer.
class ServoBus {
 public:
  struct Reply {
    std::uint8_t id;
    Bytes bytes;
    Nanos delay;  // before this reply may start, on top of the ones before it
  };

  // In a sync read each servo answers after the reply before its own. When that reply never
  // comes, the servo waits this long for it and then answers anyway: past the host's 10 ms
  // read time-out, so that the host gives up on the silent servo first, with room for a host
  // that is descheduled for a while on a busy machine.
  static constexpr Nanos kEmptySlotWait = 25 * kMillisecond;

  // Ids a servo can answer on: 254 is the broadcast id.
  static constexpr int kMaxBusId = 253;

  ServoBus(std::span<const std::uint8_t> ids, Nanos t);

  // By the joint's id.
  Servo* find(std::uint8_t id);
  // The servo that answers on a bus id.
  Servo* on_bus(std::uint8_t bus_id);
  std::vector<Servo>& servos() { return servos_; }

  // Moves a servo to another bus id, one no other servo answers on; the reason when refused.
  std::expected<void, std::string> set_bus_id(Servo& servo, int bus_id);

  // Acts on one instruction packet with a good checksum, sent at `baud_rate`; returns the
  // replies in line order. A servo set to another rate neither hears nor answers it.
  std::vector<Reply> handle(std::span<const std::uint8_t> packet, Nanos t,
                            std::uint32_t baud_rate = kDefaultBaudRate);

  static constexpr std::uint32_t kDefaultBaudRate = 1'000'000;

 private:
  std::vector<Servo> servos_;
};

// Models of ids 1 to 4 and 5 to 7.
std::optional<ServoModel> model_of(std::uint8_t id);

}  // namespace qsim
