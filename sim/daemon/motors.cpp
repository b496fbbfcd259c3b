#include "motors.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

namespace qsim {

namespace {

constexpr std::uint8_t kFeedbackRequest = 0xCC;
constexpr std::uint8_t kReadRegister = 0x33;
constexpr std::uint8_t kWriteRegister = 0x55;
constexpr std::uint8_t kEnable = 0xFC;
constexpr std::uint8_t kDisable = 0xFD;
constexpr std::uint8_t kSetZero = 0xFE;
constexpr std::uint8_t kClearError = 0xFB;
constexpr std::uint8_t kMosTemperature = 30;
constexpr std::uint8_t kRotorTemperature = 28;

enum class Access { None, ReadOnly, ReadWrite };
struct RegisterKind {
  Access access;
  bool is_float;
};

// The motor's parameter registers 0 to 81: which exist, which may be written, which hold floats.
RegisterKind register_kind(std::uint8_t rid) {
  if (rid <= 6) return {Access::ReadWrite, true};
  if (rid <= 10) return {Access::ReadWrite, false};
  if (rid <= 12) return {Access::ReadOnly, true};
  if (rid <= 16) return {Access::ReadOnly, false};
  if (rid <= 20) return {Access::ReadOnly, true};
  if (rid <= 34) return {Access::ReadWrite, true};
  if (rid == 35) return {Access::ReadWrite, false};
  if (rid == 36) return {Access::ReadOnly, false};
  if ((rid >= 50 && rid <= 56) || (rid >= 59 && rid <= 65) || rid == 80 || rid == 81)
    return {Access::ReadOnly, true};
  return {Access::None, false};
}

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

float unpack(unsigned raw, unsigned full_scale, float low, float high) {
  return static_cast<float>(raw) * (high - low) / static_cast<float>(full_scale) + low;
}

unsigned pack(double value, double low, double high, unsigned full_scale) {
  if (std::isnan(value)) value = 0.0;
  const double clamped = std::clamp(value, low, high);
  return static_cast<unsigned>(std::lround((clamped - low) * full_scale / (high - low)));
}

}  // namespace

// ---- frames ---------------------------------------------------------------------------------------

std::optional<CanFrame> CanFrame::from_message(std::span<const std::uint8_t> message) {
  CanFrame f;
  if (message.size() != kClassicSize && message.size() != kFdSize) return std::nullopt;
  std::memcpy(&f.id_word, message.data(), 4);
  f.len = message[4];
  f.fd = message.size() == kFdSize;
  if (f.fd) {
    f.flags = message[5];
    if (f.len > 64) return std::nullopt;
  } else if (f.len > 8) {
    return std::nullopt;
  }
  std::memcpy(f.data.data(), message.data() + 8, f.fd ? 64 : 8);
  return f;
}

CanFrame CanFrame::classic(std::uint32_t id_word, std::span<const std::uint8_t> payload) {
  CanFrame f;
  f.id_word = id_word;
  f.len = static_cast<std::uint8_t>(std::min<std::size_t>(payload.size(), 8));
  std::copy_n(payload.begin(), f.len, f.data.begin());
  return f;
}

std::vector<std::uint8_t> CanFrame::message() const {
  std::vector<std::uint8_t> out(fd ? kFdSize : kClassicSize, 0);
  std::memcpy(out.data(), &id_word, 4);
  out[4] = len;
  if (fd) out[5] = flags;
  std::memcpy(out.data() + 8, data.data(), fd ? 64 : 8);
  return out;
}

std::optional<MitLimits> neck_limits(std::uint8_t motor_id) {
  switch (motor_id) {
    case 1: return MitLimits{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
    case 2:
    case 3: return MitLimits{12.5f, 10.0f, 500.0f, 5.0f, 28.0f};
    default: return std::nullopt;
  }
}

// ---- motor ----------------------------------------------------------------------------------------

Motor::Motor(std::uint8_t id, MitLimits limits, Nanos t)
    : id_(id), limits_(limits), can_id_(id), master_id_(id), updated_(t) {
  registers_[0] = bits(10.0f);   // under-voltage
  registers_[1] = bits(0.1f);    // torque coefficient
  registers_[2] = bits(80.0f);   // over-temperature
  registers_[3] = bits(0.98f);   // over-current
  registers_[4] = bits(10.0f);   // acceleration
  registers_[5] = bits(-10.0f);  // deceleration
  registers_[6] = bits(30.0f);   // maximum speed
  registers_[7] = master_id_;
  registers_[8] = can_id_;
  registers_[kControlModeRegister] = kMitMode;
  registers_[14] = 1;            // software version
  registers_[16] = 14;           // pole pairs
  registers_[20] = bits(10.0f);  // gear ratio
  registers_[21] = bits(limits.p_max);
  registers_[22] = bits(limits.v_max);
  registers_[23] = bits(limits.t_max);
  registers_[35] = 4;            // 1 Mbit/s
  registers_[60] = bits(24.0f);  // supply voltage
  registers_[61] = bits(static_cast<float>(kMosTemperature));
  registers_[62] = bits(static_cast<float>(kRotorTemperature));
}

void Motor::advance(Nanos t) {
  if (t <= updated_) return;
  const double span = static_cast<double>(t - updated_) / 1e9;
  updated_ = t;
  if (!enabled_ || blocked_ || !active_) {
    velocity_ = 0.0;
    update_torque();
    return;
  }
  const MitCommand& c = *active_;
  const double kp = c.kp, kd = c.kd;
  const double v_limit = limits_.v_max;
  // Exact exponential steps of a first-order joint: stable whatever the step length.
  const int steps = static_cast<int>(std::clamp(std::ceil(span / 1e-3), 1.0, 10000.0));
  const double h = span / steps;
  double v = 0.0;
  for (int i = 0; i < steps; ++i) {
    if (kp > 0.0) {
      const double target = c.position + (kd * c.velocity + c.torque) / kp;
      const double tau = (kFriction + kd) / kp;
      v = (target - position_) * (1.0 - std::exp(-h / tau)) / h;
    } else {
      v = (kd * c.velocity + c.torque) / (kFriction + kd);
    }
    v = std::clamp(v, -v_limit, v_limit);
    position_ += v * h;
  }
  velocity_ = v;
  update_torque();
}

void Motor::update_torque() {
  if (!enabled_ || !active_) {
    torque_ = 0.0;
    return;
  }
  if (blocked_) velocity_ = 0.0;
  const MitCommand& c = *active_;
  const double tau = c.kp * (c.position - position_) + c.kd * (c.velocity - velocity_) + c.torque;
  torque_ = std::clamp(tau, -static_cast<double>(limits_.t_max), static_cast<double>(limits_.t_max));
}

double Motor::position(Nanos t) {
  advance(t);
  return position_;
}

void Motor::set_position(double radians, Nanos t) {
  advance(t);
  position_ = radians;
  update_torque();
}

Nanos Motor::take_reply_delay() {
  const Nanos d = reply_delay_ + delay_next_;
  delay_next_ = 0;
  return d;
}

void Motor::set_blocked(bool blocked, Nanos t) {
  advance(t);
  blocked_ = blocked;
  update_torque();
}

CanFrame Motor::state_frame() {
  const unsigned p = pack(position_, -limits_.p_max, limits_.p_max, 65535);
  const unsigned v = pack(velocity_, -limits_.v_max, limits_.v_max, 4095);
  const unsigned tq = pack(torque_, -limits_.t_max, limits_.t_max, 4095);
  const std::uint8_t status = enabled_ ? 1 : 0;
  const std::array<std::uint8_t, 8> payload{
      static_cast<std::uint8_t>((can_id_ & 0x0F) | (status << 4)),
      static_cast<std::uint8_t>(p >> 8),
      static_cast<std::uint8_t>(p & 0xFF),
      static_cast<std::uint8_t>(v >> 4),
      static_cast<std::uint8_t>(((v & 0x0F) << 4) | (tq >> 8)),
      static_cast<std::uint8_t>(tq & 0xFF),
      kMosTemperature,
      kRotorTemperature,
  };
  return CanFrame::classic(master_id_, payload);
}

std::uint32_t Motor::register_value(std::uint8_t rid, Nanos t) {
  if (rid == 80 || rid == 81) return bits(static_cast<float>(position(t)));
  return registers_[rid];
}

std::vector<CanFrame> Motor::register_access(const CanFrame& frame, Nanos t) {
  const auto d = frame.payload();
  if (d.size() < 3 || (d[0] | (d[1] << 8)) != can_id_) return {};
  advance(t);
  if (d[2] == kFeedbackRequest) return {state_frame()};
  if (d.size() < 4) return {};
  const std::uint8_t rid = d[3];
  if (rid >= registers_.size() || register_kind(rid).access == Access::None) return {};
  auto reply = [&](std::uint8_t op, std::uint32_t value) {
    const std::array<std::uint8_t, 8> payload{d[0], d[1], op, rid,
                                              static_cast<std::uint8_t>(value & 0xFF),
                                              static_cast<std::uint8_t>((value >> 8) & 0xFF),
                                              static_cast<std::uint8_t>((value >> 16) & 0xFF),
                                              static_cast<std::uint8_t>(value >> 24)};
    return std::vector<CanFrame>{CanFrame::classic(master_id_, payload)};
  };
  if (d[2] == kReadRegister) return reply(kReadRegister, register_value(rid, t));
  if (d[2] == kWriteRegister && d.size() == 8) {
    if (register_kind(rid).access != Access::ReadWrite) return {};
    const std::uint32_t value = d[4] | (d[5] << 8) | (d[6] << 16) | (static_cast<std::uint32_t>(d[7]) << 24);
    if (rid == kControlModeRegister && (value < 1 || value > 4)) return {};
    const bool mapping = rid >= 21 && rid <= 23;
    const float range = std::bit_cast<float>(value);
    if (mapping && !(std::isfinite(range) && range > 0.0f)) return {};
    registers_[rid] = value;
    // The mapping ranges take effect at once.
    if (rid == 21) limits_.p_max = range;
    if (rid == 22) limits_.v_max = range;
    if (rid == 23) limits_.t_max = range;
    return reply(kWriteRegister, value);
  }
  return {};
}

std::vector<CanFrame> Motor::receive(const CanFrame& frame, Nanos t) {
  if (silent_ || !frame.standard_data_frame()) return {};
  const std::uint32_t sid = frame.standard_id();
  if (sid == kRegisterId) return register_access(frame, t);
  if (sid != can_id_ || frame.len != 8) return {};
  // In another control mode the motor listens on other ids; MIT frames mean nothing to it.
  if (control_mode() != kMitMode) return {};
  advance(t);
  const auto d = frame.payload();
  if (std::all_of(d.begin(), d.begin() + 7, [](std::uint8_t b) { return b == 0xFF; })) {
    switch (d[7]) {
      case kEnable:
        enabled_ = true;
        active_.reset();  // holds still until the first command
        update_torque();
        return {state_frame()};
      case kDisable:
        enabled_ = false;
        active_.reset();
        velocity_ = 0.0;
        update_torque();
        return {state_frame()};
      case kSetZero:
        position_ = 0.0;
        update_torque();
        return {state_frame()};
      case kClearError:
        return {state_frame()};
      default:
        break;  // an ordinary command that happens to start with seven FF bytes
    }
  }
  const unsigned p = (d[0] << 8) | d[1];
  const unsigned v = (d[2] << 4) | (d[3] >> 4);
  const unsigned kp = ((d[3] & 0x0F) << 8) | d[4];
  const unsigned kd = (d[5] << 4) | (d[6] >> 4);
  const unsigned tq = ((d[6] & 0x0F) << 8) | d[7];
  const MitCommand command{
      unpack(p, 65535, -limits_.p_max, limits_.p_max),
      unpack(v, 4095, -limits_.v_max, limits_.v_max),
      unpack(kp, 4095, 0.0f, limits_.kp_max),
      unpack(kd, 4095, 0.0f, limits_.kd_max),
      unpack(tq, 4095, -limits_.t_max, limits_.t_max),
  };
  last_command_ = command;
  if (enabled_) active_ = command;
  update_torque();
  return {state_frame()};
}

}  // namespace qsim
