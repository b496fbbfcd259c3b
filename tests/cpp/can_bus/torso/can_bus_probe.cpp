// Runs SocketCanTransport and the Damiao driver on a named CAN interface, one step per argument,
// and prints one JSON line per step. tests/can_bus/test_torso_can.py drives it against the
// virtual torso (under the SocketCAN stand-in) and checks both these lines and the frames the
// torso recorded.
//
//   can_bus_probe IFACE STEP...
//
// Ids are written sHEX (standard) or eHEX (extended), data as hex bytes ("-" for none).
//   send:ID:DATA            sendfd:ID:DATA[:brs]        recv:MS
//   request:ID:DATA:EXPECTED:MS                         ready (prints, then waits for a line)
//   enable:N  disable:N  feedback:N  control:N:POS:VEL:KP:KD:TAU
//   read-reg:N:REG  write-reg:N:REG:u|f:VALUE  ensure-mode:N:MODE
// N is a neck motor (1 yaw, 2 pitch, 3 roll: ids and limits of the robot).
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "can_bus/damiao/driver.hpp"
#include "can_bus/transport/socketcan.hpp"

using namespace quillet::can_bus;
using namespace std::chrono_literals;

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) out.push_back(cur);
  return out;
}

std::uint32_t hex_number(const std::string& s) {
  std::uint32_t v = 0;
  std::from_chars(s.data(), s.data() + s.size(), v, 16);
  return v;
}

CanId parse_id(const std::string& s) {
  const std::uint32_t v = hex_number(s.substr(1));
  return s[0] == 'e' ? CanId::extended(v) : CanId::standard(v);
}

std::vector<std::uint8_t> parse_data(const std::string& s) {
  std::vector<std::uint8_t> out;
  if (s == "-") return out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(hex_number(s.substr(i, 2))));
  }
  return out;
}

std::string hex(const std::vector<std::uint8_t>& data) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (auto b : data) {
    out += digits[b >> 4];
    out += digits[b & 0xF];
  }
  return out;
}

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

std::string frame_json(const CanFrame& f) {
  return std::string("{\"id\": ") + std::to_string(f.id.value()) +
         ", \"extended\": " + (f.id.is_extended() ? "true" : "false") +
         ", \"fd\": " + (f.fd ? "true" : "false") + ", \"brs\": " + (f.brs ? "true" : "false") +
         ", \"data\": " + quoted(hex(f.data)) + "}";
}

std::string state_json(const damiao::MotorState& s) {
  return "{\"position\": " + number(s.position) + ", \"velocity\": " + number(s.velocity) +
         ", \"torque\": " + number(s.torque) + ", \"motor_id\": " + std::to_string(s.motor_id) +
         ", \"status\": " + std::to_string(s.status) + ", \"temp_mos\": " +
         std::to_string(s.temp_mos) + ", \"temp_rotor\": " + std::to_string(s.temp_rotor) + "}";
}

damiao::Damiao neck_motor(const std::string& n) {
  static const damiao::MitLimits yaw{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};
  static const damiao::MitLimits pitch_roll{12.5f, 10.0f, 500.0f, 5.0f, 28.0f};
  const int id = std::atoi(n.c_str());
  return *damiao::Damiao::make(20ms, id == 1 ? yaw : pitch_roll, static_cast<std::uint16_t>(id),
                               static_cast<std::uint16_t>(id));
}

void emit(const std::string& step, const std::string& fields,
          std::chrono::steady_clock::duration elapsed) {
  std::cout << "{\"step\": " << quoted(step) << ", " << fields << ", \"elapsed_us\": "
            << std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count() << "}"
            << std::endl;
}

template <class T>
std::string outcome(const std::expected<T, CanError>& r, std::string (*ok)(const T&)) {
  if (!r) return "\"ok\": false, \"error\": " + quoted(r.error().message());
  return "\"ok\": true, \"value\": " + ok(*r);
}

template <class T>
std::string outcome(const std::expected<T, damiao::Error>& r, std::string (*ok)(const T&)) {
  if (!r) return "\"ok\": false, \"error\": " + quoted(r.error().message());
  return "\"ok\": true, \"value\": " + ok(*r);
}

template <class E>
std::string outcome_void(const std::expected<void, E>& r) {
  if (!r) return "\"ok\": false, \"error\": " + quoted(r.error().message());
  return "\"ok\": true";
}

std::string register_json(const damiao::RegisterValue& v) {
  return v.kind == damiao::RegisterKind::Float
             ? "{\"kind\": \"Float\", \"value\": " + number(v.as_float()) + "}"
             : "{\"kind\": \"Uint32\", \"value\": " + std::to_string(v.as_uint32()) + "}";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: can_bus_probe IFACE STEP...\n";
    return 2;
  }
  auto start = std::chrono::steady_clock::now();
  auto opened = SocketCanTransport::open(argv[1]);
  if (!opened) {
    emit("open", "\"ok\": false, \"error\": " + quoted(opened.error().message()),
         std::chrono::steady_clock::now() - start);
    return 0;
  }
  emit("open", "\"ok\": true", std::chrono::steady_clock::now() - start);
  SocketCanTransport& bus = **opened;

  for (int i = 2; i < argc; ++i) {
    const std::string step = argv[i];
    const auto a = split(step, ':');
    const std::string& op = a[0];
    std::string fields;
    start = std::chrono::steady_clock::now();
    if (op == "ready") {
      emit(step, "\"ok\": true", {});
      std::string line;
      std::getline(std::cin, line);
      continue;
    } else if (op == "send" || op == "sendfd") {
      CanFrame f{parse_data(a.at(2)), parse_id(a.at(1)), op == "sendfd",
                      a.size() > 3 && a[3] == "brs"};
      fields = outcome_void(bus.send(f));
    } else if (op == "recv") {
      fields = outcome(bus.recv(std::chrono::milliseconds(std::atoi(a.at(1).c_str()))),
                       &frame_json);
    } else if (op == "request") {
      CanFrame f{parse_data(a.at(2)), parse_id(a.at(1))};
      fields = outcome(bus.request(f, parse_id(a.at(3)),
                                   std::chrono::milliseconds(std::atoi(a.at(4).c_str()))),
                       &frame_json);
    } else if (op == "enable") {
      fields = outcome(neck_motor(a.at(1)).enable(bus), &state_json);
    } else if (op == "disable") {
      fields = outcome(neck_motor(a.at(1)).disable(bus), &state_json);
    } else if (op == "feedback") {
      fields = outcome(neck_motor(a.at(1)).request_feedback(bus), &state_json);
    } else if (op == "control") {
      const damiao::MitCommand cmd{std::strtof(a.at(2).c_str(), nullptr),
                                   std::strtof(a.at(3).c_str(), nullptr),
                                   std::strtof(a.at(4).c_str(), nullptr),
                                   std::strtof(a.at(5).c_str(), nullptr),
                                   std::strtof(a.at(6).c_str(), nullptr)};
      fields = outcome(neck_motor(a.at(1)).control(bus, cmd), &state_json);
    } else if (op == "read-reg") {
      fields = outcome(neck_motor(a.at(1)).read_register(
                           bus, static_cast<std::uint8_t>(std::atoi(a.at(2).c_str()))),
                       &register_json);
    } else if (op == "write-reg") {
      const auto reg = static_cast<std::uint8_t>(std::atoi(a.at(2).c_str()));
      const auto value = a.at(3) == "f"
                             ? damiao::RegisterValue::from_float(std::strtof(a.at(4).c_str(), nullptr))
                             : damiao::RegisterValue::from_uint32(
                                   static_cast<std::uint32_t>(std::strtoul(a.at(4).c_str(), nullptr, 0)));
      fields = outcome_void(neck_motor(a.at(1)).write_register(bus, reg, value));
    } else if (op == "ensure-mode") {
      fields = outcome_void(neck_motor(a.at(1)).ensure_control_mode(
          bus, static_cast<std::uint8_t>(std::atoi(a.at(2).c_str()))));
    } else {
      std::cerr << "unknown step: " << step << "\n";
      return 2;
    }
    emit(step, fields, std::chrono::steady_clock::now() - start);
  }
  return 0;
}
