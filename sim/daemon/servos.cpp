#include "servos.hpp"

#include <algorithm>
#include <cmath>

namespace qsim {

namespace {

constexpr std::uint8_t kHeader = 0xFF;
constexpr std::uint8_t kBroadcast = 0xFE;

enum Instruction : std::uint8_t {
  kPing = 0x01,
  kRead = 0x02,
  kWrite = 0x03,
  kReboot = 0x08,
  kSyncRead = 0x82,
  kSyncWrite = 0x83,
};

// Error byte bit of a supply outside the servo's voltage limits.
constexpr std::uint8_t kVoltageError = 0x01;
// The rates of the baud rate register's codes.
constexpr std::array<std::uint32_t, 8> kBaudRates{1'000'000, 500'000, 250'000, 128'000,
                                                  115'200,   76'800,  57'600,  38'400};

// A status packet carries at most 253 parameter bytes: its length byte counts two more.
constexpr std::size_t kMaxReplyParams = 253;

void put_u16(std::array<std::uint8_t, 256>& regs, std::uint8_t address, std::uint16_t value) {
  regs[address] = static_cast<std::uint8_t>(value & 0xFF);
  regs[address + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::int16_t get_i16(const std::array<std::uint8_t, 256>& regs, std::uint8_t address) {
  return static_cast<std::int16_t>(regs[address] | (regs[address + 1] << 8));
}

}  // namespace

// ---- parser ----------------------------------------------------------------------------------

void PacketParser::reset() {
  pending_.clear();
  junk_.clear();
}

void PacketParser::flush_junk(std::vector<Item>& out) {
  if (junk_.empty()) return;
  out.push_back(Item{Kind::Junk, std::move(junk_)});
  junk_.clear();
}

std::vector<PacketParser::Item> PacketParser::feed(std::span<const std::uint8_t> data, Nanos t) {
  std::vector<Item> out;
  if (!pending_.empty() && t - last_byte_ > kByteGap) {
    junk_.insert(junk_.end(), pending_.begin(), pending_.end());
    pending_.clear();
  }
  last_byte_ = t;
  pending_.insert(pending_.end(), data.begin(), data.end());

  std::size_t pos = 0;
  auto drop = [&](std::size_t n) {
    junk_.insert(junk_.end(), pending_.begin() + static_cast<std::ptrdiff_t>(pos),
                 pending_.begin() + static_cast<std::ptrdiff_t>(pos + n));
    pos += n;
  };
  while (pos < pending_.size()) {
    const std::size_t left = pending_.size() - pos;
    if (pending_[pos] != kHeader) {
      drop(1);
      continue;
    }
    if (left < 2) break;
    if (pending_[pos + 1] != kHeader) {
      drop(1);
      continue;
    }
    if (left < 3) break;
    if (pending_[pos + 2] == kHeader) {  // FF FF FF: the first FF was not the header
      drop(1);
      continue;
    }
    if (left < 4) break;
    const std::uint8_t length = pending_[pos + 3];
    if (length < 2) {
      drop(1);
      continue;
    }
    const std::size_t total = 4u + length;
    if (left < total) break;
    flush_junk(out);
    Bytes packet(pending_.begin() + static_cast<std::ptrdiff_t>(pos),
                 pending_.begin() + static_cast<std::ptrdiff_t>(pos + total));
    const bool ok = feetech_checksum(std::span(packet).subspan(2, total - 3)) == packet.back();
    out.push_back(Item{ok ? Kind::Packet : Kind::BadChecksum, std::move(packet)});
    pos += total;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
  flush_junk(out);
  return out;
}

std::uint8_t feetech_checksum(std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  for (const auto b : bytes) sum += b;
  return static_cast<std::uint8_t>(~sum & 0xFF);
}

Bytes status_packet(std::uint8_t id, std::uint8_t error, std::span<const std::uint8_t> params) {
  Bytes out;
  out.reserve(params.size() + 6);
  out.push_back(kHeader);
  out.push_back(kHeader);
  out.push_back(id);
  out.push_back(static_cast<std::uint8_t>(params.size() + 2));
  out.push_back(error);
  for (const auto b : params) out.push_back(b);
  out.push_back(feetech_checksum(std::span(out).subspan(2)));
  return out;
}

std::string_view model_name(ServoModel model) {
  return model == ServoModel::Sm40bl ? "SM40BL" : "STS3025BL";
}

std::optional<ServoModel> model_of(std::uint8_t id) {
  if (id >= 1 && id <= 4) return ServoModel::Sm40bl;
  if (id >= 5 && id <= 7) return ServoModel::Sts3025bl;
  return std::nullopt;
}

// ---- one servo --------------------------------------------------------------------------------

Servo::Servo(std::uint8_t id, ServoModel model, Nanos t) : id_(id), model_(model), updated_(t) {
  regs_[0] = 3;  // firmware version
  regs_[1] = 10;
  regs_[reg::kId] = id;
  regs_[reg::kBaudRate] = 0;  // 1 Mbaud
  regs_[8] = 1;  // answers every instruction
  put_u16(regs_, 9, 0);     // angle limits
  put_u16(regs_, 11, 4095);
  regs_[13] = 70;  // temperature limit, degrees
  regs_[reg::kMaxVoltage] = 140;
  regs_[reg::kMinVoltage] = 40;
  put_u16(regs_, 16, 1000);  // torque limit
  regs_[reg::kPGain] = 32;
  regs_[reg::kDGain] = 32;
  regs_[reg::kIGain] = 0;
  store_ram_defaults();
  put_u16(regs_, reg::kGoalPosition, static_cast<std::uint16_t>(kStartPosition));
  refresh(t);
}

void Servo::store_ram_defaults() {
  std::fill(regs_.begin() + reg::kFirstRam, regs_.end(), 0);
  put_u16(regs_, 48, 1000);  // torque limit (RAM copy)
  regs_[63] = 30;           // temperature
}

void Servo::advance(Nanos t) {
  if (t <= updated_) return;
  const double dt = static_cast<double>(t - updated_) / 1e9;
  updated_ = t;
  velocity_ = 0.0;
  if (!torque_enabled()) return;
  const double goal = goal_position();
  const double gap = goal - position_;
  const double step = speed_ * dt;
  if (std::abs(gap) <= step) {
    if (gap != 0.0) velocity_ = gap / dt;
    position_ = goal;
  } else {
    velocity_ = gap > 0 ? speed_ : -speed_;
    position_ += gap > 0 ? step : -step;
  }
}

void Servo::refresh(Nanos t) {
  advance(t);
  put_u16(regs_, reg::kPresentPosition, static_cast<std::uint16_t>(position(t)));
  // Speed in steps per second, sign in bit 15 as these servos report it.
  const auto magnitude = static_cast<std::uint16_t>(std::min(std::abs(velocity_), 32767.0));
  put_u16(regs_, reg::kPresentSpeed, static_cast<std::uint16_t>(magnitude | (velocity_ < 0 ? 0x8000 : 0)));
  regs_[reg::kPresentVoltage] = voltage(t);
  regs_[reg::kMoving] = position_ != goal_position() && torque_enabled() ? 1 : 0;
}

std::int16_t Servo::position(Nanos t) {
  advance(t);
  return static_cast<std::int16_t>(std::clamp(std::lround(position_), -32768L, 32767L));
}

std::int16_t Servo::goal_position() const { return get_i16(regs_, reg::kGoalPosition); }

std::uint8_t Servo::voltage(Nanos t) const {
  double v = volts_to_;
  if (volts_duration_ > 0 && t < volts_start_ + volts_duration_) {
    const double f = t <= volts_start_ ? 0.0
                                       : static_cast<double>(t - volts_start_) / static_cast<double>(volts_duration_);
    v = volts_from_ + (volts_to_ - volts_from_) * f;
  }
  return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

Bytes Servo::read(std::uint8_t address, std::size_t count, Nanos t) {
  refresh(t);
  const std::size_t end = std::min<std::size_t>(regs_.size(), address + count);
  return Bytes(regs_.begin() + address, regs_.begin() + static_cast<std::ptrdiff_t>(end));
}

void Servo::write(std::uint8_t address, std::span<const std::uint8_t> data, Nanos t) {
  advance(t);
  for (std::size_t i = 0; i < data.size() && address + i < regs_.size(); ++i) {
    const auto a = address + i;
    if ((a >= reg::kFirstPresent && a <= reg::kLastPresent) || a == reg::kId) continue;
    regs_[a] = data[i];
  }
  refresh(t);
}

void Servo::poke(std::uint8_t address, std::span<const std::uint8_t> data, Nanos t) {
  refresh(t);
  const auto before_position = get_i16(regs_, reg::kPresentPosition);
  for (std::size_t i = 0; i < data.size() && address + i < regs_.size(); ++i)
    if (address + i != reg::kId) regs_[address + i] = data[i];
  const auto after_position = get_i16(regs_, reg::kPresentPosition);
  if (after_position != before_position) position_ = after_position;
  const bool touched_voltage = address <= reg::kPresentVoltage && address + data.size() > reg::kPresentVoltage;
  if (touched_voltage) set_voltage(regs_[reg::kPresentVoltage], t);
  refresh(t);
}

std::uint32_t Servo::baud_rate() const {
  const std::uint8_t code = regs_[reg::kBaudRate];
  return code < kBaudRates.size() ? kBaudRates[code] : 0;
}

bool Servo::set_baud_rate(std::uint32_t rate) {
  const auto found = std::find(kBaudRates.begin(), kBaudRates.end(), rate);
  if (found == kBaudRates.end()) return false;
  regs_[reg::kBaudRate] = static_cast<std::uint8_t>(found - kBaudRates.begin());
  return true;
}

void Servo::reboot(Nanos t) {
  advance(t);
  const auto here = position(t);
  store_ram_defaults();
  put_u16(regs_, reg::kGoalPosition, static_cast<std::uint16_t>(here));
  silent_until_ = t + kRebootSilence;
  refresh(t);
}

Bytes Servo::reply(std::span<const std::uint8_t> params, Nanos t) {
  const auto v = voltage(t);
  const std::uint8_t error =
      (v < regs_[reg::kMinVoltage] || v > regs_[reg::kMaxVoltage]) ? kVoltageError : 0;
  Bytes out = status_packet(bus_id(), error, params);
  if (corrupt_next_) {
    out.back() = static_cast<std::uint8_t>(~out.back());
    corrupt_next_ = false;
  }
  return out;
}

Nanos Servo::take_reply_delay() {
  const Nanos d = reply_delay_ + delay_next_;
  delay_next_ = 0;
  return d;
}

void Servo::set_position(double steps, Nanos t) {
  advance(t);
  position_ = std::clamp(steps, -32768.0, 32767.0);
  refresh(t);
}

void Servo::set_speed(double steps_per_second, Nanos t) {
  advance(t);
  speed_ = std::max(0.0, steps_per_second);
}

void Servo::set_voltage(double tenths, Nanos) {
  volts_from_ = volts_to_ = tenths;
  volts_duration_ = 0;
}

void Servo::ramp_voltage(double from, double to, Nanos duration, Nanos t) {
  volts_from_ = from;
  volts_to_ = to;
  volts_start_ = t;
  volts_duration_ = std::max<Nanos>(duration, 0);
}

// ---- the bus ------------------------------------------------------------------------------------

ServoBus::ServoBus(std::span<const std::uint8_t> ids, Nanos t) {
  for (const auto id : ids) {
    if (auto model = model_of(id)) servos_.emplace_back(id, *model, t);
  }
}

Servo* ServoBus::find(std::uint8_t id) {
  for (auto& s : servos_)
    if (s.id() == id) return &s;
  return nullptr;
}

Servo* ServoBus::on_bus(std::uint8_t bus_id) {
  for (auto& s : servos_)
    if (s.bus_id() == bus_id) return &s;
  return nullptr;
}

std::expected<void, std::string> ServoBus::set_bus_id(Servo& servo, int bus_id) {
  if (bus_id < 0 || bus_id > kMaxBusId)
    return std::unexpected("bad bus id " + std::to_string(bus_id) + ": 0 to " + std::to_string(kMaxBusId));
  const Servo* holder = on_bus(static_cast<std::uint8_t>(bus_id));
  if (holder != nullptr && holder != &servo)
    return std::unexpected("bus id " + std::to_string(bus_id) + " is taken by servo " + std::to_string(holder->id()));
  servo.regs_[reg::kId] = static_cast<std::uint8_t>(bus_id);
  return {};
}

std::vector<ServoBus::Reply> ServoBus::handle(std::span<const std::uint8_t> packet, Nanos t,
                                               std::uint32_t baud_rate) {
  std::vector<Reply> replies;
  if (packet.size() < 6) return replies;
  // At another rate the packet is noise to the servo.
  const auto hears = [&](const Servo* servo) {
    return servo != nullptr && servo->answers(t) && servo->baud_rate() == baud_rate;
  };
  const std::uint8_t id = packet[2];
  const std::uint8_t instruction = packet[4];
  const auto params = packet.subspan(5, packet.size() - 6);

  auto answer = [&](Servo& servo, std::span<const std::uint8_t> reply_params) {
    Bytes bytes = servo.reply(reply_params, t);
    replies.push_back(Reply{servo.id(), std::move(bytes), servo.take_reply_delay()});
  };

  if (id == kBroadcast) {
    if (instruction == kSyncWrite && params.size() >= 2) {
      const std::uint8_t address = params[0];
      const std::size_t width = params[1];
      for (std::size_t pos = 2; pos + 1 + width <= params.size(); pos += 1 + width) {
        Servo* servo = on_bus(params[pos]);
        if (hears(servo)) servo->write(address, params.subspan(pos + 1, width), t);
      }
    } else if (instruction == kSyncRead && params.size() >= 2) {
      const std::uint8_t address = params[0];
      const std::uint8_t count = params[1];
      Nanos waited = 0;  // on the empty slots since the last reply
      for (const auto target : params.subspan(2)) {
        Servo* servo = on_bus(target);
        if (!hears(servo)) {
          waited += kEmptySlotWait;
          continue;
        }
        answer(*servo, servo->read(address, std::min<std::size_t>(count, kMaxReplyParams), t));
        replies.back().delay += waited;
        waited = 0;
      }
    } else if (instruction == kWrite && !params.empty()) {
      for (auto& servo : servos_)
        if (hears(&servo)) servo.write(params[0], params.subspan(1), t);
    }
    return replies;
  }

  Servo* servo = on_bus(id);
  if (!hears(servo)) return replies;
  switch (instruction) {
    case kPing:
      answer(*servo, {});
      break;
    case kRead:
      if (params.size() >= 2)
        answer(*servo, servo->read(params[0], std::min<std::size_t>(params[1], kMaxReplyParams), t));
      break;
    case kWrite:
      if (!params.empty()) {
        servo->write(params[0], params.subspan(1), t);
        answer(*servo, {});
      }
      break;
    case kReboot:
      answer(*servo, {});
      servo->reboot(t);
      break;
    default:
      break;  // instructions these servos do not know go unanswered
  }
  return replies;
}

}  // namespace qsim
