// Simulated Damiao motors in MIT mode, and the CAN frame as it crosses the simulated bus (the
// kernel's 16-byte and 72-byte frame structures). No I/O here: the bus (can_bus) delivers the
// frames and sends the replies.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "clock.hpp"

namespace qsim {

struct CanFrame {
  static constexpr std::size_t kClassicSize = 16;
  static constexpr std::size_t kFdSize = 72;
  static constexpr std::uint32_t kExtendedFlag = 0x80000000u;
  static constexpr std::uint32_t kRemoteFlag = 0x40000000u;
  static constexpr std::uint32_t kErrorFlag = 0x20000000u;

  std::uint32_t id_word = 0;  // id and flag bits, as in the kernel structure
  std::uint8_t len = 0;
  std::uint8_t flags = 0;  // FD flags
  bool fd = false;
  std::array<std::uint8_t, 64> data{};

  // Reads a frame from a client's message; nothing for a malformed one.
  static std::optional<CanFrame> from_message(std::span<const std::uint8_t> message);
  static CanFrame classic(std::uint32_t id_word, std::span<const std::uint8_t> payload);
  std::vector<std::uint8_t> message() const;
  std::span<const std::uint8_t> payload() const { return std::span(data).first(len); }
  bool standard_data_frame() const {
    return !fd && (id_word & (kExtendedFlag | kRemoteFlag | kErrorFlag)) == 0;
  }
  std::uint32_t standard_id() const { return id_word & 0x7FF; }
};

struct MitLimits {
  float p_max, v_max, kp_max, kd_max, t_max;
};

struct MitCommand {
  float position, velocity, kp, kd, torque;
};

// The neck table: yaw, pitch, roll on ids 1, 2, 3.
std::optional<MitLimits> neck_limits(std::uint8_t motor_id);

class Motor {
 public:
  static constexpr std::uint16_t kRegisterId = 0x7FF;
  static constexpr std::uint32_t kMitMode = 1;
  // Damping of the joint itself, N·m·s/rad: with the default gains the position settles in a
  // tenth of a second, without overshoot.
  static constexpr double kFriction = 2.0;

  Motor(std::uint8_t id, MitLimits limits, Nanos t);

  std::uint8_t id() const { return id_; }
  const MitLimits& limits() const { return limits_; }

  // A frame from a client; returns the frames the motor sends back.
  std::vector<CanFrame> receive(const CanFrame& frame, Nanos t);

  double position(Nanos t);
  double velocity() const { return velocity_; }
  double torque() const { return torque_; }
  bool enabled() const { return enabled_; }
  std::uint32_t control_mode() const { return registers_[kControlModeRegister]; }
  const std::optional<MitCommand>& last_command() const { return last_command_; }
  bool silent() const { return silent_; }
  bool blocked() const { return blocked_; }
  Nanos reply_delay() const { return reply_delay_; }
  // How long after the request its replies leave (consumes a one-shot delay).
  Nanos take_reply_delay();

  void set_position(double radians, Nanos t);
  void set_control_mode(std::uint32_t mode) { registers_[kControlModeRegister] = mode; }
  void set_silent(bool silent) { silent_ = silent; }
  void set_blocked(bool blocked, Nanos t);
  void set_reply_delay(Nanos delay) { reply_delay_ = delay; }
  void delay_next_reply(Nanos delay) { delay_next_ = delay; }

 private:
  static constexpr std::uint8_t kControlModeRegister = 10;

  void advance(Nanos t);
  void update_torque();
  CanFrame state_frame();
  std::vector<CanFrame> register_access(const CanFrame& frame, Nanos t);
  std::uint32_t register_value(std::uint8_t rid, Nanos t);

  std::uint8_t id_;
  MitLimits limits_;
  std::uint16_t can_id_;
  std::uint16_t master_id_;
  double position_ = 0.0;
  double velocity_ = 0.0;
  double torque_ = 0.0;
  bool enabled_ = false;
  std::optional<MitCommand> active_;  // the command the motor is following
  std::optional<MitCommand> last_command_;
  bool silent_ = false;
  bool blocked_ = false;
  Nanos reply_delay_ = 0;
  Nanos delay_next_ = 0;
  Nanos updated_;
  std::array<std::uint32_t, 82> registers_{};
};

}  // namespace qsim
