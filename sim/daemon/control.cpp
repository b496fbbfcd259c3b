#include "control.hpp"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <expected>
#include <optional>

#include "json.hpp"

namespace qsim {

namespace {

using Error = std::string;
using Done = std::expected<void, Error>;

template <class T>
std::expected<T, Error> parse_number(std::string_view word, std::string_view what) {
  T value{};
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (ec != std::errc() || end != word.data() + word.size())
    return std::unexpected("bad " + std::string(what) + ": " + std::string(word));
  return value;
}

std::expected<double, Error> parse_real(std::string_view word, std::string_view what) {
  auto value = parse_number<double>(word, what);
  if (value && !std::isfinite(*value)) return std::unexpected("bad " + std::string(what) + ": " + std::string(word));
  return value;
}

std::expected<Bytes, Error> parse_hex(std::string_view word) {
  Bytes out;
  if (word == "-") return out;  // no bytes
  if (word.size() % 2 != 0) return std::unexpected("odd number of hex digits");
  for (std::size_t i = 0; i < word.size(); i += 2) {
    std::uint8_t b = 0;
    const auto [end, ec] = std::from_chars(word.data() + i, word.data() + i + 2, b, 16);
    if (ec != std::errc() || end != word.data() + i + 2) return std::unexpected("bad hex bytes");
    out.push_back(b);
  }
  return out;
}

const char* source_name(ServoEntry::Source s) {
  switch (s) {
    case ServoEntry::Source::Host: return "host";
    case ServoEntry::Source::Servo: return "servo";
    case ServoEntry::Source::Line: return "line";
  }
  return "?";
}

const char* source_name(CanSource::Kind k) {
  switch (k) {
    case CanSource::Kind::Client: return "client";
    case CanSource::Kind::Motor: return "motor";
    case CanSource::Kind::Foreign: return "foreign";
  }
  return "?";
}

double seconds(Nanos t) { return static_cast<double>(t) / 1e9; }

// Before an answer the CAN clients' queues are emptied, but not forever under a flood.
constexpr std::size_t kDrainLimit = 1 << 16;

// Requests, by first word: a handler fills the answer after "ok": true or returns the error.
struct Request {
  const std::vector<std::string_view>& words;
  Torso& torso;
  JsonWriter& out;

  Done need(std::size_t count) const {
    if (words.size() < count + 1) return std::unexpected("missing arguments for " + std::string(words[0]));
    return {};
  }

  std::expected<std::vector<Servo*>, Error> servos(std::string_view word) const {
    if (!torso.servo_bus) return std::unexpected("this torso serves no servo bus");
    std::vector<Servo*> found;
    if (word == "*") {
      for (auto& s : torso.servo_bus->servos()) found.push_back(&s);
      return found;
    }
    auto id = parse_number<int>(word, "servo id");
    if (!id) return std::unexpected(id.error());
    Servo* s = (*id >= 0 && *id < 256) ? torso.servo_bus->find(static_cast<std::uint8_t>(*id)) : nullptr;
    if (s == nullptr) return std::unexpected("no simulated servo " + std::string(word));
    found.push_back(s);
    return found;
  }

  std::expected<Motor*, Error> motor(std::string_view word) const {
    auto id = parse_number<int>(word, "motor id");
    if (!id) return std::unexpected(id.error());
    Motor* m = (*id > 0 && *id < 256) ? torso.can_bus->motor(static_cast<std::uint8_t>(*id)) : nullptr;
    if (m == nullptr) return std::unexpected("no simulated motor " + std::string(word));
    return m;
  }

  Done info() const {
    out.field("can_interface", torso.can_bus->name());
    out.key("pty_path");
    if (torso.servo_line && torso.servo_line->plugged()) out.string(torso.servo_line->pty_path());
    else out.null();
    out.field("plugged", torso.servo_line != nullptr && torso.servo_line->plugged());
    out.field("can_ack", torso.can_bus->acknowledged());
    out.key("servos").begin_array();
    if (torso.servo_bus)
      for (auto& s : torso.servo_bus->servos()) out.integer(s.id());
    out.end_array();
    out.key("motors").begin_array();
    for (auto& m : torso.can_bus->motors()) out.integer(m.id());
    out.end_array();
    return {};
  }

  Done servo_read() const {
    if (auto ok = need(3); !ok) return ok;
    auto s = servos(words[1]);
    auto address = parse_number<unsigned>(words[2], "address");
    auto count = parse_number<unsigned>(words[3], "count");
    if (!s) return std::unexpected(s.error());
    if (!address || *address > 255) return std::unexpected("bad address");
    if (!count || *count > 256) return std::unexpected("bad count");
    out.key("data").hex(s->front()->read(static_cast<std::uint8_t>(*address), *count, now()));
    return {};
  }

  Done servo_write() const {
    if (auto ok = need(2); !ok) return ok;
    auto s = servos(words[1]);
    auto address = parse_number<unsigned>(words[2], "address");
    auto data = parse_hex(words.size() > 3 ? words[3] : "-");
    if (!s) return std::unexpected(s.error());
    if (!address || *address > 255) return std::unexpected("bad address");
    if (!data) return std::unexpected(data.error());
    // Servos move to another bus id only through servo.bus_id, which keeps the ids unique.
    const bool covers_id = *address <= reg::kId && reg::kId - *address < data->size();
    if (covers_id)
      for (Servo* servo : *s)
        if ((*data)[reg::kId - *address] != servo->bus_id())
          return std::unexpected("register 5 is the bus id of servo " + std::to_string(servo->id()) +
                                 ": change it with servo.bus_id");
    for (Servo* servo : *s) servo->poke(static_cast<std::uint8_t>(*address), *data, now());
    return {};
  }

  Done servo_state() const {
    if (auto ok = need(1); !ok) return ok;
    auto s = servos(words[1]);
    if (!s) return std::unexpected(s.error());
    Servo& servo = *s->front();
    const Nanos t = now();
    const auto pid = servo.read(reg::kPGain, 3, t);
    out.field("model", std::string_view(model_name(servo.model())));
    out.field("bus_id", static_cast<int>(servo.bus_id()));
    out.field("position", static_cast<int>(servo.position(t)));
    out.field("goal_position", static_cast<int>(servo.goal_position()));
    out.field("torque_enabled", servo.torque_enabled());
    out.field("voltage", static_cast<int>(servo.voltage(t)));
    out.key("pid").begin_array().integer(pid[0]).integer(pid[1]).integer(pid[2]).end_array();
    out.field("speed", servo.speed());
    out.field("silent", servo.silent());
    out.field("baud_rate", static_cast<std::int64_t>(servo.baud_rate()));
    out.field("rebooting", servo.rebooting(t));
    out.field("reply_delay", seconds(servo.reply_delay()));
    return {};
  }

  Done servo_set() const {
    if (auto ok = need(3); !ok) return ok;
    auto s = servos(words[1]);
    if (!s) return std::unexpected(s.error());
    const std::string_view key = words[2];
    auto value = parse_real(words[3], key);
    if (!value) return std::unexpected(value.error());
    const Nanos t = now();
    for (Servo* servo : *s) {
      if (key == "silent") servo->set_silent(*value != 0);
      else if (key == "position") servo->set_position(*value, t);
      else if (key == "speed") servo->set_speed(*value, t);
      else if (key == "voltage") servo->set_voltage(*value, t);
      else if (key == "reply_delay") servo->set_reply_delay(from_seconds(std::max(0.0, *value)));
      else if (key == "delay_next") servo->delay_next_reply(from_seconds(std::max(0.0, *value)));
      else if (key == "corrupt_next") servo->corrupt_next_reply();
      else if (key == "baud_rate") {
        if (!servo->set_baud_rate(static_cast<std::uint32_t>(*value)))
          return std::unexpected("no such servo baud rate: " + std::string(words[3]));
      }
      else return std::unexpected("unknown servo setting: " + std::string(key));
    }
    return {};
  }

  Done servo_bus_id() const {
    if (auto ok = need(2); !ok) return ok;
    if (words[1] == "*") return std::unexpected("one servo at a time: bus ids are unique");
    auto s = servos(words[1]);
    auto bus_id = parse_number<int>(words[2], "bus id");
    if (!s) return std::unexpected(s.error());
    if (!bus_id) return std::unexpected(bus_id.error());
    return torso.servo_bus->set_bus_id(*s->front(), *bus_id);
  }

  Done servo_ramp() const {
    if (auto ok = need(4); !ok) return ok;
    auto s = servos(words[1]);
    auto from = parse_real(words[2], "start voltage");
    auto to = parse_real(words[3], "end voltage");
    auto duration = parse_real(words[4], "duration");
    if (!s) return std::unexpected(s.error());
    if (!from || !to || !duration) return std::unexpected("bad voltage ramp");
    const Nanos t = now();
    for (Servo* servo : *s) servo->ramp_voltage(*from, *to, from_seconds(*duration), t);
    return {};
  }

  Done line_inject() const {
    if (auto ok = need(1); !ok) return ok;
    if (!torso.servo_line) return std::unexpected("this torso serves no servo bus");
    auto data = parse_hex(words[1]);
    if (!data) return std::unexpected(data.error());
    torso.servo_line->inject(*data);
    return {};
  }

  Done line_noise() const {
    if (auto ok = need(1); !ok) return ok;
    if (!torso.servo_line) return std::unexpected("this torso serves no servo bus");
    auto rate = parse_number<int>(words[1], "noise rate");
    if (!rate || *rate < 0 || *rate > 4096) return std::unexpected("bad noise rate");
    torso.servo_line->set_noise(*rate);
    return {};
  }

  Done line_plug(bool plug) const {
    if (!torso.servo_line) return std::unexpected("this torso serves no servo bus");
    if (!plug) {
      torso.servo_line->unplug();
      return {};
    }
    if (std::string error = torso.servo_line->plug(); !error.empty()) return std::unexpected(error);
    out.field("pty_path", torso.servo_line->pty_path());
    return {};
  }

  Done motor_state() const {
    if (auto ok = need(1); !ok) return ok;
    auto m = motor(words[1]);
    if (!m) return std::unexpected(m.error());
    Motor& motor = **m;
    out.field("position", motor.position(now()));
    out.field("velocity", motor.velocity());
    out.field("torque", motor.torque());
    out.field("enabled", motor.enabled());
    out.field("control_mode", static_cast<std::int64_t>(motor.control_mode()));
    out.key("last_command");
    if (const auto& c = motor.last_command()) {
      out.begin_object();
      out.field("position", static_cast<double>(c->position));
      out.field("velocity", static_cast<double>(c->velocity));
      out.field("kp", static_cast<double>(c->kp));
      out.field("kd", static_cast<double>(c->kd));
      out.field("torque", static_cast<double>(c->torque));
      out.end_object();
    } else {
      out.null();
    }
    out.field("silent", motor.silent());
    out.field("blocked", motor.blocked());
    out.field("reply_delay", seconds(motor.reply_delay()));
    return {};
  }

  Done motor_set() const {
    if (auto ok = need(3); !ok) return ok;
    auto m = motor(words[1]);
    if (!m) return std::unexpected(m.error());
    const std::string_view key = words[2];
    auto value = parse_real(words[3], key);
    if (!value) return std::unexpected("bad value for " + std::string(key));
    const Nanos t = now();
    Motor& motor = **m;
    if (key == "position") motor.set_position(*value, t);
    else if (key == "mode") motor.set_control_mode(static_cast<std::uint32_t>(*value));
    else if (key == "silent") motor.set_silent(*value != 0);
    else if (key == "blocked") motor.set_blocked(*value != 0, t);
    else if (key == "reply_delay") motor.set_reply_delay(from_seconds(std::max(0.0, *value)));
    else if (key == "delay_next") motor.delay_next_reply(from_seconds(std::max(0.0, *value)));
    else return std::unexpected("unknown motor setting: " + std::string(key));
    return {};
  }

  Done can_send() const {
    if (auto ok = need(2); !ok) return ok;
    auto word = parse_number<std::uint32_t>(words[1], "CAN id");
    auto data = parse_hex(words[2]);
    const bool fd = words.size() > 3 && words[3] == "1";
    if (!word) return std::unexpected(word.error());
    if (!data) return std::unexpected(data.error());
    if (data->size() > (fd ? 64u : 8u)) return std::unexpected("too many data bytes for the frame");
    CanFrame frame = CanFrame::classic(*word, *data);
    if (fd) {
      frame.fd = true;
      frame.len = static_cast<std::uint8_t>(data->size());
      std::copy(data->begin(), data->end(), frame.data.begin());
    }
    torso.can_bus->inject(frame);
    return {};
  }

  Done can_ack() const {
    if (auto ok = need(1); !ok) return ok;
    if (words[1] != "0" && words[1] != "1") return std::unexpected("bad acknowledgement switch: " + std::string(words[1]));
    torso.can_bus->set_acknowledged(words[1] == "1");
    return {};
  }

  Done can_foreign() const {
    if (auto ok = need(4); !ok) return ok;
    auto period = parse_real(words[1], "period");
    auto before = parse_number<int>(words[2], "count");
    auto word = parse_number<std::uint32_t>(words[3], "CAN id");
    auto data = parse_hex(words[4]);
    if (!period || !before || !word || !data || data->size() > 8) return std::unexpected("bad foreign traffic");
    torso.can_bus->set_foreign(from_seconds(std::max(0.0, *period)), *before, *word, *data);
    return {};
  }

  Done servo_traffic() const {
    out.key("records").begin_array();
    if (torso.servo_line) {
      for (const auto& e : torso.servo_line->record().entries()) {
        out.begin_object();
        out.field("t", seconds(e.time));
        out.field("source", source_name(e.source));
        if (e.source == ServoEntry::Source::Servo) out.field("id", static_cast<int>(e.servo_id));
        out.field("kind", e.kind);
        out.key("data").hex(e.data);
        out.end_object();
      }
    }
    out.end_array();
    return {};
  }

  Done can_traffic() const {
    out.key("records").begin_array();
    for (const auto& e : torso.can_bus->record().entries()) {
      out.begin_object();
      out.field("t", seconds(e.time));
      out.field("source", source_name(e.source.kind));
      if (e.source.kind != CanSource::Kind::Foreign) out.field("source_id", e.source.number);
      out.field("id", static_cast<std::int64_t>(e.frame.id_word));
      out.field("fd", e.frame.fd);
      out.field("flags", static_cast<int>(e.frame.flags));
      out.key("data").hex(e.frame.payload());
      out.end_object();
    }
    out.end_array();
    return {};
  }

  Done traffic_clear() const {
    if (torso.servo_line) torso.servo_line->record().clear();
    torso.can_bus->record().clear();
    return {};
  }
};

}  // namespace

Control::Control(EventLoop& loop, int fd, Torso& torso) : loop_(loop), fd_(fd), torso_(torso) {
  loop_.watch(fd_, EPOLLIN, [this](std::uint32_t) { on_readable(); });
}

Control::~Control() {
  loop_.unwatch(fd_);
  close(fd_);
}

void Control::send_line(const std::string& json) {
  std::string line = json + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the owner is gone; end of file on the next read stops the torso
    }
    done += static_cast<std::size_t>(n);
  }
}

std::string Control::handle(const std::vector<std::string_view>& words) {
  JsonWriter out;
  out.begin_object();
  out.field("ok", true);
  Request r{words, torso_, out};
  const std::string_view command = words.empty() ? std::string_view() : words[0];
  Done done;
  if (command == "info") done = r.info();
  else if (command == "servo.read") done = r.servo_read();
  else if (command == "servo.write") done = r.servo_write();
  else if (command == "servo.state") done = r.servo_state();
  else if (command == "servo.set") done = r.servo_set();
  else if (command == "servo.ramp") done = r.servo_ramp();
  else if (command == "servo.bus_id") done = r.servo_bus_id();
  else if (command == "line.inject") done = r.line_inject();
  else if (command == "line.noise") done = r.line_noise();
  else if (command == "line.unplug") done = r.line_plug(false);
  else if (command == "line.plug") done = r.line_plug(true);
  else if (command == "motor.state") done = r.motor_state();
  else if (command == "motor.set") done = r.motor_set();
  else if (command == "can.send") done = r.can_send();
  else if (command == "can.foreign") done = r.can_foreign();
  else if (command == "can.ack") done = r.can_ack();
  else if (command == "traffic.servo") done = r.servo_traffic();
  else if (command == "traffic.can") done = r.can_traffic();
  else if (command == "traffic.clear") done = r.traffic_clear();
  else if (command == "stop") loop_.quit();
  else done = std::unexpected("unknown request: " + std::string(command));
  if (done) {
    out.end_object();
    return out.text();
  }
  JsonWriter error;
  error.begin_object().field("ok", false).field("error", done.error()).end_object();
  return error.text();
}

void Control::on_readable() {
  char buf[4096];
  const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
    loop_.quit();  // the owner is gone
    return;
  }
  if (n < 0) return;
  buffer_.append(buf, static_cast<std::size_t>(n));
  std::size_t start = 0;
  for (std::size_t end; (end = buffer_.find('\n', start)) != std::string::npos; start = end + 1) {
    // What the host wrote before asking is on the buses before the answer: a sync write has
    // no reply to wait for, yet the record and the servos must already show it.
    if (torso_.servo_line) torso_.servo_line->take_input();
    torso_.can_bus->pump(kDrainLimit);
    const std::string_view line(buffer_.data() + start, end - start);
    std::vector<std::string_view> words;
    for (std::size_t i = 0; i < line.size();) {
      const std::size_t j = std::min(line.find(' ', i), line.size());
      if (j > i) words.push_back(line.substr(i, j - i));
      i = j + 1;
    }
    send_line(handle(words));
  }
  buffer_.erase(0, start);
}

}  // namespace qsim
