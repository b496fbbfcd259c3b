// quillet-scan: what each device of the torso answers, read without changing anything.
//
// Only requests that read are ever sent: servo pings and register reads (a servo that does not
// answer is pinged again at the other rates servos take), and the neck motors' feedback requests
// and register reads. Nothing enables torque, writes a register or moves a joint, so a scan is
// safe on a robot in any state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "controller/joints.hpp"
#include "servo_bus/servo/feetech/model.hpp"

namespace quillet::tools::scan {

using Gains = servo_bus::feetech::PidGains;

struct ServoReport {
  const controller::ServoJoint* joint = nullptr;
  bool answers = false;
  std::optional<std::int16_t> steps;
  std::optional<std::uint8_t> voltage;  // tenths of a volt
  std::optional<bool> torque;
  std::optional<Gains> gains;
  // A servo silent at 1 Mbaud that answered a ping at another rate.
  std::optional<std::uint32_t> baud_rate;
  // A failed read of an answering servo: "present position: Operation timed out".
  std::vector<std::string> errors;
};

// The serial adapter as the kernel sees it (sysfs).
struct AdapterReport {
  bool pseudo_terminal = false;
  std::optional<std::string> driver;            // its kernel module: ftdi_sio, ch341, cp210x, cdc_acm
  std::optional<int> latency_timer_ms;          // FTDI adapters only
};

struct NeckReport {
  const controller::NeckJoint* joint = nullptr;
  bool answers = false;
  std::optional<std::uint32_t> control_mode;
  std::optional<double> position;  // rad
  std::vector<std::string> errors;
};

// One bus: whether it was asked for, and the reason it could not be scanned, in words for the
// person at the robot.
struct BusReport {
  std::string name;  // the serial path or the CAN interface
  bool scanned = false;
  bool reached = false;  // opened: its devices were asked
  std::optional<std::string> error;
};

// Why a CAN bus is taken for one on which no device acknowledges frames.
enum class Unacknowledged { No, RefusedFrames, AckErrors };

struct ScanReport {
  BusReport serial;
  BusReport can;
  std::vector<ServoReport> servos;  // the seven joints, in joint order
  std::vector<NeckReport> neck;     // the three neck joints, yaw, pitch, roll
  // With --all-ids: servo ids outside the joint table that answered a ping.
  std::optional<std::vector<std::uint8_t>> other_ids;
  std::optional<AdapterReport> adapter;  // once the servo bus was reached
  Unacknowledged unacknowledged = Unacknowledged::No;
  // Programs known to take or probe USB serial adapters, found running.
  std::vector<std::string> meddlers;

  // What keeps the robot from starting, and what is merely worth knowing.
  std::vector<std::string> problems() const;
  std::vector<std::string> notes() const;
  // All ten devices answer, every read worked and every supply is at least 11.0 V.
  bool ready() const { return problems().empty(); }
};

struct ScanOptions {
  std::optional<std::string> serial_path;
  std::optional<std::string> can_interface;  // absent: the CAN bus is left out
  bool all_ids = false;
  bool probe_baud = true;  // ping the servos silent at 1 Mbaud at the other rates
};

ScanReport run_scan(const ScanOptions& options);

// The rates servos take besides 1 Mbaud, in the order they are tried.
inline constexpr std::uint32_t kOtherBaudRates[] = {500'000, 250'000, 128'000, 115'200, 76'800, 57'600, 38'400};

// The adapter behind a serial device, read from `sysfs_root` (/sys on a host): its kernel
// module (or driver) and, for FTDI, its latency timer. Nothing when sysfs does not know it.
AdapterReport read_adapter(const std::string& device_path,
                           const std::filesystem::path& sysfs_root = "/sys");

// Which of `names` run now, by the process names under `proc_root` (/proc on a host).
std::vector<std::string> running_programs(const std::vector<std::string>& names,
                                          const std::filesystem::path& proc_root = "/proc");
// The programs that take or probe USB serial adapters on common desktop distributions.
inline const std::vector<std::string> kSerialMeddlers = {"brltty", "ModemManager"};

// "SM40BL" for the arms, "STS3025BL" for the nose.
const char* servo_model_name(const controller::ServoJoint& joint);

// Steps to radians as the servo models convert them.
double steps_to_radians(std::int16_t steps);

}  // namespace quillet::tools::scan
