#include "control_loop/motor_error.hpp"

#include <cstdint>

#include "control_loop/retry.hpp"
#include "support/overloaded.hpp"
#include "support/text.hpp"

namespace quillet::control_loop {
namespace {

std::string tenths_of_volt(std::uint8_t tenths) {
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

}  // namespace

std::string MotorError::message() const {
  return std::visit(
      Overloaded{
          [](const MissingMotors& e) {
            return "Missing motors: " + text::bracketed(e.names, text::quoted) + "!";
          },
          [](const CommunicationFailure&) {
            return std::string("Motor communication error! Check connections and power supply.");
          },
          [](const NoMotorsDetected&) {
            return std::string(
                "No motors detected. Check if the power supply is connected and turned on!");
          },
          [](const VoltageRampUpTimeout& e) {
            return "Voltage did not ramp up to 12V (got " + tenths_of_volt(e.lowest_voltage) +
                   "V) within " + duration_text(e.timeout) + "!";
          },
          [](const PortNotFound& e) {
            return "Check if your USB cable is connected. Could not find port: " + e.path + "!";
          },
          [](const PortOpenFailed& e) {
            return "Could not open serial port: " + e.path +
                   "! Check permissions and if the port is already in use.";
          },
      },
      value_);
}

std::vector<std::string> MotorError::notes() const {
  std::vector<std::string> notes;
  for (const Cause& cause : causes_) {
    std::string line = cause.step;
    if (cause.error) {
      line += " failed";
      if (cause.attempts > 1) {
        line += " after " + std::to_string(cause.attempts) + " attempts, " + std::to_string(kRetryPause.count()) +
                " ms apart";
      }
      line += ": " + cause.error->message();
    }
    notes.push_back(std::move(line));
    if (cause.error) {
      for (std::string& note : cause.error->notes()) notes.push_back(std::move(note));
    }
  }
  if (is<MissingMotors>() || is<NoMotorsDetected>()) {
    notes.push_back("a motor that does not answer may be unpowered or unplugged, or have another id; a "
                    "servo may listen at another baud rate: quillet-scan tells what each motor answers");
  }
  return notes;
}

std::string duration_text(std::chrono::nanoseconds duration) {
  // Negative durations do not occur (every duration here is a time-out or an elapsed time).
  const std::uint64_t total = duration.count() < 0 ? 0 : static_cast<std::uint64_t>(duration.count());
  struct Unit {
    std::uint64_t nanos;
    const char* name;
    int digits;  // decimal digits of the remainder below one unit
  };
  constexpr Unit kUnits[] = {
      {1'000'000'000, "s", 9}, {1'000'000, "ms", 6}, {1'000, "\u00b5s", 3}, {1, "ns", 0}};
  for (const Unit& unit : kUnits) {
    if (total < unit.nanos && unit.nanos != 1) continue;
    std::string out = std::to_string(total / unit.nanos);
    if (const std::uint64_t rest = total % unit.nanos; rest != 0) {
      std::string fraction = std::to_string(rest);
      fraction.insert(0, static_cast<std::size_t>(unit.digits) - fraction.size(), '0');
      while (fraction.back() == '0') fraction.pop_back();
      out += "." + fraction;
    }
    return out + unit.name;
  }
  return "0ns";
}

}  // namespace quillet::control_loop
