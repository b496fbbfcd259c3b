#include "scan.hpp"

#include <fcntl.h>
#include <grp.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string_view>

#include "can_bus/damiao/driver.hpp"
#include "can_bus/damiao/registers.hpp"
#include "can_bus/transport/socketcan.hpp"
#include "platform/io_error.hpp"
#include "platform/unique_fd.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/serial_port/serial_port.hpp"
#include "servo_bus/servo/feetech/conversions.hpp"
#include "servo_bus/servo/feetech/model.hpp"
#include "support/text.hpp"

namespace quillet::tools::scan {

namespace {

using servo_bus::LinuxSerialPort;
using servo_bus::feetech::FeetechProtocolHandler;
using servo_bus::feetech::kSmsStsRegisters;

// Highest id a servo can take; 0xFE is the broadcast id.
constexpr int kLastServoId = 253;

std::string volts(std::uint8_t tenths) { return text::float_fixed(tenths / 10.0, 1) + " V"; }

// Unix 98 pseudo-terminal slaves (/dev/pts/N) have these major numbers.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;

// The last part of the target of a link, or nothing.
std::optional<std::string> link_name(const std::filesystem::path& link) {
  std::error_code ec;
  const auto target = std::filesystem::read_symlink(link, ec);
  if (ec || target.filename().empty()) return std::nullopt;
  return target.filename().string();
}

// ---- opening the servo bus -------------------------------------------------------------------

std::string resolved(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return path;
  return buffer;
}

// The other processes that have the device open, as "python3 pid 1234": best effort, since
// /proc shows only what this user may see.
std::vector<std::string> holders_of(const std::string& path) {
  namespace fs = std::filesystem;
  const std::string device = resolved(path);
  const std::string self = std::to_string(::getpid());
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& process : fs::directory_iterator("/proc", ec)) {
    const std::string pid = process.path().filename();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    std::error_code fd_ec;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", fd_ec)) {
      std::error_code link_ec;
      if (fs::read_symlink(fd.path(), link_ec) != device) continue;
      std::string name;
      std::ifstream comm(process.path() / "comm");
      std::getline(comm, name);
      found.push_back((name.empty() ? "" : name + " ") + "pid " + pid);
      break;
    }
  }
  return found;
}

std::string in_use_message(const std::string& path) {
  std::string message = "serial device " + path + " is in use by another program";
  const auto holders = holders_of(path);
  for (std::size_t i = 0; i < holders.size(); ++i) message += (i == 0 ? " (held by " : ", ") + holders[i];
  if (!holders.empty()) message += ")";
  return message + ": close it (a running control loop, the servo maker's tool, a terminal program) and scan again";
}

std::string permission_message(const std::string& path) {
  std::string owner = "dialout";
  struct stat details {};
  if (::stat(path.c_str(), &details) == 0) {
    if (const struct group* entry = ::getgrgid(details.st_gid)) owner = entry->gr_name;
  }
  return "no permission to open serial device " + path + ": add yourself to the group " + owner +
         " (sudo usermod -aG " + owner + " $USER), then log in again";
}

// Tells why the port would not open, in words for the person at the robot. `message` is the
// serial port's own text, kept when nothing better can be said.
std::string serial_open_failure(const std::string& path, const std::string& message) {
  if (message == servo_bus::kExclusiveLockMessage) return in_use_message(path);
  // The port's error carries no number: look again to tell the usual causes apart.
  UniqueFd probe(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!probe.valid()) {
    if (errno == EACCES) return permission_message(path);
    if (errno == EBUSY) return in_use_message(path);
    return "cannot open serial device " + path + ": " + os_error_text(errno);
  }
  if (::flock(probe.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return in_use_message(path);
  return message;
}

std::expected<std::unique_ptr<LinuxSerialPort>, std::string> open_servo_bus(const std::string& path) {
  struct stat details {};
  if (::stat(path.c_str(), &details) != 0) {
    if (errno == ENOENT) {
      return std::unexpected("serial device " + path +
                             " does not exist: is the servo adapter plugged in? (ls /dev/serial/by-id/)");
    }
    return std::unexpected("cannot reach serial device " + path + ": " + os_error_text(errno));
  }
  if (!S_ISCHR(details.st_mode)) return std::unexpected(path + " is not a serial device");
  auto port = LinuxSerialPort::open(path);
  if (!port) return std::unexpected(serial_open_failure(path, port.error().message()));
  return std::move(*port);
}

// ---- the servos ------------------------------------------------------------------------------

// Reads one register block of an answering servo; a failure goes into the report's errors.
std::optional<std::vector<std::uint8_t>> read_block(FeetechProtocolHandler& handler, LinuxSerialPort& port,
                                                    ServoReport& report, std::string_view what,
                                                    std::uint8_t address, std::uint8_t length) {
  auto bytes = handler.read(port, report.joint->id, address, length);
  if (!bytes) {
    report.errors.push_back(std::string(what) + ": " + bytes.error().message());
    return std::nullopt;
  }
  if (bytes->size() != length) {
    report.errors.push_back(std::string(what) + ": reply of " + std::to_string(bytes->size()) +
                            " bytes instead of " + std::to_string(length));
    return std::nullopt;
  }
  return std::move(*bytes);
}

// Pings the servos silent at 1 Mbaud at the other rates, and leaves the port at 1 Mbaud.
void probe_baud_rates(FeetechProtocolHandler& handler, LinuxSerialPort& port, ScanReport& report) {
  auto silent = [](const ServoReport& servo) { return !servo.answers && servo.errors.empty() && !servo.baud_rate; };
  if (std::ranges::none_of(report.servos, silent)) return;
  for (const std::uint32_t rate : kOtherBaudRates) {
    if (!port.set_baud_rate(rate)) break;  // a driver that takes no other rate
    for (auto& servo : report.servos) {
      if (!silent(servo)) continue;
      auto ping = handler.ping(port, servo.joint->id);
      if (ping && *ping) servo.baud_rate = rate;
    }
  }
  if (!port.set_baud_rate(servo_bus::kServoBusBaudRate)) {
    report.serial.error = "could not set " + report.serial.name + " back to 1 Mbaud after looking for servos at other rates";
  }
}

ServoReport scan_servo(FeetechProtocolHandler& handler, LinuxSerialPort& port, const controller::ServoJoint& joint) {
  ServoReport report;
  report.joint = &joint;
  auto ping = handler.ping(port, joint.id);
  if (!ping) {
    report.errors.push_back("ping: " + ping.error().message());
    return report;
  }
  report.answers = *ping;
  if (!report.answers) return report;

  const auto& regs = kSmsStsRegisters;
  if (auto b = read_block(handler, port, report, "present position", regs.present_position, 2)) {
    report.steps = static_cast<std::int16_t>((*b)[0] | ((*b)[1] << 8));
  }
  if (auto b = read_block(handler, port, report, "supply voltage", regs.present_voltage, 1)) report.voltage = (*b)[0];
  if (auto b = read_block(handler, port, report, "torque enable", regs.torque_enable, 1)) report.torque = (*b)[0] != 0;
  if (auto b = read_block(handler, port, report, "gains", regs.pid_gains, servo_bus::feetech::kPidGainsLength)) {
    report.gains = servo_bus::feetech::pid_gains_from(std::span(*b).first<servo_bus::feetech::kPidGainsLength>());
  }
  return report;
}

bool is_joint_id(int id) {
  for (const auto& joint : controller::kServoJoints) {
    if (joint.id == id) return true;
  }
  return false;
}

void scan_servo_bus(const ScanOptions& options, ScanReport& report) {
  auto port = open_servo_bus(*options.serial_path);
  if (!port) {
    report.serial.error = port.error();
    return;
  }
  report.serial.reached = true;
  report.adapter = read_adapter(*options.serial_path);
  FeetechProtocolHandler handler;
  for (auto& servo : report.servos) servo = scan_servo(handler, **port, *servo.joint);
  if (options.probe_baud) probe_baud_rates(handler, **port, report);
  if (!options.all_ids) return;
  std::vector<std::uint8_t> others;
  for (int id = 0; id <= kLastServoId; ++id) {
    if (is_joint_id(id)) continue;
    auto ping = handler.ping(**port, static_cast<std::uint8_t>(id));
    if (!ping) {
      report.serial.error = "pinging id " + std::to_string(id) + " failed: " + ping.error().message();
      return;
    }
    if (*ping) others.push_back(static_cast<std::uint8_t>(id));
  }
  report.other_ids = std::move(others);
}

// ---- the neck --------------------------------------------------------------------------------

int os_error_of(const can_bus::CanError& error) {
  const auto* backend = error.get_if<can_bus::CanError::Backend>();
  return backend ? backend->io.os_error() : 0;
}

// A second socket on the interface that takes no frames, only the error frames that tell of
// frames nobody acknowledged (drivers report them with bus-error reporting on) and of the
// controller going error-passive, which unacknowledged frames bring about with it off.
UniqueFd open_error_watch(const std::string& interface) {
  UniqueFd sock(::socket(AF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW));
  if (!sock.valid()) return sock;
  const can_err_mask_t mask = CAN_ERR_ACK | CAN_ERR_CRTL;
  sockaddr_can address{};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(::if_nametoindex(interface.c_str()));
  if (::setsockopt(sock.get(), SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) != 0 ||
      ::setsockopt(sock.get(), SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &mask, sizeof mask) != 0 ||
      ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return UniqueFd();
  }
  return sock;
}

// Whether the error frames waiting on the watch tell of frames nobody acknowledged.
bool heard_ack_errors(const UniqueFd& watch) {
  if (!watch.valid()) return false;
  bool heard = false;
  can_frame frame{};
  while (::read(watch.get(), &frame, sizeof frame) == static_cast<ssize_t>(sizeof frame)) {
    if ((frame.can_id & CAN_ERR_FLAG) == 0) continue;
    const bool passive = (frame.can_id & CAN_ERR_CRTL) != 0 &&
                         (frame.data[1] & (CAN_ERR_CRTL_TX_WARNING | CAN_ERR_CRTL_TX_PASSIVE)) != 0;
    heard = heard || (frame.can_id & CAN_ERR_ACK) != 0 || passive;
  }
  return heard;
}

// With no motor answering and no error frame to tell why (bus-error reporting off), a few more
// feedback requests show whether the adapter's queue fills up: frames nobody acknowledges stay
// in it. They are read-only requests, taken by motor 1 whenever the bus comes back.
constexpr int kQueueProbeFrames = 32;
bool queue_fills_up(can_bus::SocketCanTransport& transport, const can_bus::damiao::Damiao& motor) {
  const can_bus::CanFrame request{{static_cast<std::uint8_t>(motor.can_id() & 0xFF),
                                   static_cast<std::uint8_t>(motor.can_id() >> 8), 0xCC, 0, 0, 0, 0, 0},
                                  can_bus::CanId::standard(can_bus::damiao::Damiao::kManagementId)};
  for (int i = 0; i < kQueueProbeFrames; ++i) {
    auto sent = transport.send(request);
    if (!sent) return os_error_of(sent.error()) == ENOBUFS;
  }
  return false;
}

std::expected<std::unique_ptr<can_bus::SocketCanTransport>, std::string> open_can_bus(const std::string& interface) {
  auto transport = can_bus::SocketCanTransport::open(interface);
  if (!transport) {
    const auto* backend = transport.error().get_if<can_bus::CanError::Backend>();
    const int number = backend ? backend->io.os_error() : 0;
    if (number == ENODEV || number == ENXIO) return std::unexpected(can_bus::missing_interface_text(interface));
    if (number == EAFNOSUPPORT) return std::unexpected(std::string("this kernel has no SocketCAN support (CAN sockets are unavailable)"));
    return std::unexpected("cannot open CAN interface " + interface + ": " + transport.error().message());
  }
  // An interface that is down takes the socket all the same and fails only on the first send.
  ifreq request{};
  interface.copy(request.ifr_name, IFNAMSIZ - 1);
  if (::ioctl((*transport)->fd(), SIOCGIFFLAGS, &request) == 0 && !(request.ifr_flags & IFF_UP)) {
    return std::unexpected(can_bus::interface_down_text(interface));
  }
  return std::move(*transport);
}

void scan_can_bus(const std::string& interface, ScanReport& report) {
  auto transport = open_can_bus(interface);
  if (!transport) {
    report.can.error = transport.error();
    return;
  }
  report.can.reached = true;
  const UniqueFd watch = open_error_watch(interface);
  std::optional<can_bus::damiao::Damiao> first_motor;
  for (auto& neck : report.neck) {
    const auto& joint = *neck.joint;
    auto motor = can_bus::damiao::Damiao::make(joint.timeout, joint.limits, joint.can_id, joint.master_id);
    if (!motor) {
      neck.errors.push_back(motor.error().message());
      continue;
    }
    if (!first_motor) first_motor = *motor;
    auto state = motor->request_feedback(**transport);
    if (!state) {
      const can_bus::CanError* can_error = state.error().transport_error();
      const int number = can_error ? os_error_of(*can_error) : 0;
      if (number == ENETDOWN) {
        report.can.error = can_bus::interface_down_text(interface);
        report.can.reached = false;
        return;
      }
      if (number == ENOBUFS) {
        report.unacknowledged = Unacknowledged::RefusedFrames;
        return;
      }
      if (!state.error().is_timeout()) neck.errors.push_back("feedback: " + state.error().message());
      continue;
    }
    neck.answers = true;
    neck.position = state->position;
    auto mode = motor->read_register(**transport, can_bus::damiao::kCtrlModeRegister);
    if (!mode) {
      neck.errors.push_back("control mode: " + mode.error().message());
    } else {
      neck.control_mode = mode->as_uint32();
    }
  }
  if (std::ranges::any_of(report.neck, &NeckReport::answers)) return;
  if (heard_ack_errors(watch)) {
    report.unacknowledged = Unacknowledged::AckErrors;
  } else if (first_motor && queue_fills_up(**transport, *first_motor)) {
    report.unacknowledged = Unacknowledged::RefusedFrames;
  }
}

}  // namespace

const char* servo_model_name(const controller::ServoJoint& joint) {
  return joint.group == controller::ServoGroup::Nose ? "STS3025BL" : "SM40BL";
}

double steps_to_radians(std::int16_t steps) { return servo_bus::feetech::steps_to_radians(steps); }

AdapterReport read_adapter(const std::string& device_path, const std::filesystem::path& sysfs_root) {
  AdapterReport adapter;
  struct stat details {};
  if (::stat(device_path.c_str(), &details) == 0 && S_ISCHR(details.st_mode) &&
      ::major(details.st_rdev) >= kFirstPtyMajor && ::major(details.st_rdev) <= kLastPtyMajor) {
    adapter.pseudo_terminal = true;
    return adapter;
  }
  // /dev/quillet-servos -> ttyUSB0, whose device in sysfs is the adapter's port.
  const std::string name = std::filesystem::path(resolved(device_path)).filename().string();
  const std::filesystem::path device = sysfs_root / "class" / "tty" / name / "device";
  adapter.driver = link_name(device / "driver" / "module");
  if (!adapter.driver) adapter.driver = link_name(device / "driver");
  std::ifstream latency(device / "latency_timer");
  int milliseconds = 0;
  if (latency >> milliseconds) adapter.latency_timer_ms = milliseconds;
  return adapter;
}

std::vector<std::string> running_programs(const std::vector<std::string>& names,
                                          const std::filesystem::path& proc_root) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& process : std::filesystem::directory_iterator(proc_root, ec)) {
    const std::string pid = process.path().filename();
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string name;
    std::ifstream comm(process.path() / "comm");
    std::getline(comm, name);
    if (std::ranges::find(names, name) != names.end() && std::ranges::find(found, name) == found.end()) {
      found.push_back(name);
    }
  }
  std::ranges::sort(found);
  return found;
}

std::vector<std::string> ScanReport::problems() const {
  std::vector<std::string> out;
  if (!serial.scanned) out.push_back("servo bus not scanned (give --serial PATH)");
  if (serial.error) out.push_back(*serial.error);
  if (!can.scanned) out.push_back("CAN bus not scanned");
  if (can.error) out.push_back(*can.error);
  for (const auto& servo : servos) {
    const std::string name = std::string(servo.joint->name) + " (id " + std::to_string(servo.joint->id) + ")";
    if (servo.baud_rate) {
      out.push_back(name + " answers at " + std::to_string(*servo.baud_rate) +
                    " baud, not at 1 Mbaud: set its baud rate to 1 Mbaud with the servo maker's tool");
    } else if (serial.reached && !servo.answers && servo.errors.empty()) {
      out.push_back(name + " does not answer");
    }
    for (const auto& error : servo.errors) out.push_back(name + ": " + error);
    if (servo.voltage && *servo.voltage < controller::kServoSupplyReady) {
      out.push_back(name + " supply is " + volts(*servo.voltage) + ", below " + volts(controller::kServoSupplyReady));
    }
  }
  if (unacknowledged != Unacknowledged::No) {
    out.push_back(can_bus::no_acknowledgement_text(can.name) +
                  (unacknowledged == Unacknowledged::AckErrors
                       ? " (the adapter reports frames without acknowledgement)"
                       : " (the adapter refuses new frames: its transmit queue is full of frames nobody took)") +
                  "; " + can_bus::no_acknowledgement_causes(can.name));
  }
  for (const auto& motor : neck) {
    const std::string name = std::string(motor.joint->name) + " (CAN id " + std::to_string(motor.joint->can_id) + ")";
    if (can.reached && unacknowledged == Unacknowledged::No && !motor.answers && motor.errors.empty()) {
      out.push_back(name + " does not answer");
    }
    for (const auto& error : motor.errors) out.push_back(name + ": " + error);
  }
  return out;
}

std::vector<std::string> ScanReport::notes() const {
  std::vector<std::string> out;
  if (adapter && adapter->latency_timer_ms && *adapter->latency_timer_ms > 1) {
    const std::string port = std::filesystem::path(resolved(serial.name)).filename().string();
    out.push_back("the adapter holds received bytes for up to " + std::to_string(*adapter->latency_timer_ms) +
                  " ms (its latency timer), and did not take the 1 ms the module asks for: echo 1 | sudo tee "
                  "/sys/bus/usb-serial/devices/" + port + "/latency_timer");
  }
  for (const std::string& program : meddlers) {
    if (program == "brltty") {
      out.push_back("brltty is running: it takes USB serial adapters that share their ids with braille "
                    "displays (CH340, CP210x): sudo systemctl mask brltty-udev.service brltty.service, or "
                    "sudo apt remove brltty");
    } else if (program == "ModemManager") {
      out.push_back("ModemManager is running: it probes new USB serial adapters as modems, writing to "
                    "them for a while after they appear: sudo systemctl stop ModemManager, or add "
                    "ENV{ID_MM_DEVICE_IGNORE}=\"1\" to the adapter's udev rule");
    }
  }
  for (const auto& motor : neck) {
    if (motor.control_mode && *motor.control_mode != can_bus::damiao::kMitMode) {
      out.push_back(std::string(motor.joint->name) + " is in control mode " + std::to_string(*motor.control_mode) +
                    ", not MIT (" + std::to_string(can_bus::damiao::kMitMode) +
                    "): enabling the neck switches it to MIT");
    }
  }
  if (other_ids && !other_ids->empty()) {
    std::vector<std::string> missing;
    for (const auto& servo : servos) {
      if (!servo.answers) missing.push_back(std::string(servo.joint->name) + " (id " + std::to_string(servo.joint->id) + ")");
    }
    std::string line = "servos answer on ids the robot does not use: " +
                       text::bracketed(*other_ids, [](std::uint8_t id) { return std::to_string(id); });
    if (!missing.empty()) {
      line += "; a missing joint's servo may have been given another id: " +
              text::bracketed(missing, [](const std::string& m) { return m; }) +
              " (set it back with the servo maker's tool)";
    }
    out.push_back(line);
  }
  return out;
}

ScanReport run_scan(const ScanOptions& options) {
  ScanReport report;
  report.serial.name = options.serial_path.value_or("");
  report.serial.scanned = options.serial_path.has_value();
  report.can.name = options.can_interface.value_or("");
  report.can.scanned = options.can_interface.has_value();
  for (const auto& joint : controller::kServoJoints) report.servos.emplace_back().joint = &joint;
  for (const auto& joint : controller::kNeckJoints) report.neck.emplace_back().joint = &joint;
  if (options.serial_path) {
    scan_servo_bus(options, report);
    report.meddlers = running_programs(kSerialMeddlers);
  }
  if (options.can_interface) scan_can_bus(*options.can_interface, report);
  return report;
}

}  // namespace quillet::tools::scan
