#include "render.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <vector>

#include "can_bus/damiao/registers.hpp"
#include "support/text.hpp"

namespace quillet::tools::scan {

namespace {

constexpr std::string_view kDash = "-";

// Columns padded to their widest cell; numbers right-aligned.
class Table {
 public:
  Table(std::vector<std::string> header, std::vector<bool> right) : right_(std::move(right)) {
    rows_.push_back(std::move(header));
  }
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }

  std::string text(std::string_view indent) const {
    std::vector<std::size_t> width(rows_.front().size(), 0);
    for (const auto& row : rows_) {
      for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    }
    std::string out;
    for (const auto& row : rows_) {
      std::string line(indent);
      for (std::size_t c = 0; c < row.size(); ++c) {
        const std::string pad(width[c] - row[c].size(), ' ');
        line += right_[c] ? pad + row[c] : row[c] + pad;
        if (c + 1 < row.size()) line += "  ";
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      out += line + '\n';
    }
    return out;
  }

 private:
  std::vector<bool> right_;
  std::vector<std::vector<std::string>> rows_;
};

template <class T, class F>
std::string or_dash(const std::optional<T>& value, F format) {
  return value ? format(*value) : std::string(kDash);
}

std::string radians(double value) { return text::float_fixed(value, 3); }

std::string adapter_text(const AdapterReport& adapter) {
  if (adapter.pseudo_terminal) return "a pseudo-terminal (no USB adapter)";
  std::string out = "kernel driver " + adapter.driver.value_or("unknown");
  if (adapter.latency_timer_ms) out += ", latency timer " + std::to_string(*adapter.latency_timer_ms) + " ms";
  return out;
}

std::string servo_section(const ScanReport& report) {
  std::string out = "Servo bus " + (report.serial.scanned ? report.serial.name : "(not scanned)") + "\n";
  if (!report.serial.scanned) return out;
  if (!report.serial.reached) return out + "  not reached (see Problems)\n";
  if (report.adapter) out += "  adapter: " + adapter_text(*report.adapter) + "\n";
  Table table({"joint", "id", "model", "answers", "position rad", "steps", "supply", "torque", "P", "D", "I"},
              {false, true, false, false, true, true, true, false, true, true, true});
  for (const auto& servo : report.servos) {
    const auto& joint = *servo.joint;
    auto gain = [&](auto member) { return or_dash(servo.gains, [&](const Gains& g) { return std::to_string(g.*member); }); };
    table.add({std::string(joint.name), std::to_string(joint.id), servo_model_name(joint),
               servo.answers ? "yes" : servo.baud_rate ? "at " + std::to_string(*servo.baud_rate) : "NO",
               or_dash(servo.steps, [](std::int16_t s) { return radians(steps_to_radians(s)); }),
               or_dash(servo.steps, [](std::int16_t s) { return std::to_string(s); }),
               or_dash(servo.voltage, [](std::uint8_t v) { return text::float_fixed(v / 10.0, 1) + " V"; }),
               or_dash(servo.torque, [](bool on) { return std::string(on ? "on" : "off"); }),
               gain(&Gains::p), gain(&Gains::d), gain(&Gains::i)});
  }
  out += table.text("  ");
  if (report.other_ids) {
    out += "  other ids answering (0-253): ";
    out += report.other_ids->empty()
               ? std::string("none")
               : text::bracketed(*report.other_ids, [](std::uint8_t id) { return std::to_string(id); });
    out += '\n';
  }
  return out;
}

std::string neck_section(const ScanReport& report) {
  std::string out = "Neck on CAN " + (report.can.scanned ? report.can.name : "(not scanned)") + "\n";
  if (!report.can.scanned) return out;
  if (!report.can.reached) return out + "  not reached (see Problems)\n";
  Table table({"joint", "CAN id", "answers", "control mode", "position rad"}, {false, true, false, false, true});
  for (const auto& motor : report.neck) {
    const auto& joint = *motor.joint;
    table.add({std::string(joint.name), std::to_string(joint.can_id), motor.answers ? "yes" : "NO",
               or_dash(motor.control_mode,
                       [](std::uint32_t mode) {
                         return std::to_string(mode) + (mode == can_bus::damiao::kMitMode ? " (MIT)" : " (not MIT)");
                       }),
               or_dash(motor.position, radians)});
  }
  return out + table.text("  ");
}

// ---- JSON ------------------------------------------------------------------------------------

std::string json_string(std::string_view value) {
  std::string out = "\"";
  for (const char c : value) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + '"';
}

std::string json_number(double value) { return std::isfinite(value) ? text::float_debug(value) : "null"; }
std::string json_bool(bool value) { return value ? "true" : "false"; }

template <class T, class F>
std::string or_null(const std::optional<T>& value, F format) {
  return value ? format(*value) : std::string("null");
}

std::string json_strings(const std::vector<std::string>& values) {
  return text::bracketed(values, [](const std::string& v) { return json_string(v); });
}

// The common keys of a bus, then `extra` (", \"key\": value" pairs).
std::string json_bus(const BusReport& bus, std::string_view name_key, const std::string& extra) {
  return "{\"" + std::string(name_key) + "\": " + (bus.scanned ? json_string(bus.name) : "null") +
         ", \"scanned\": " + json_bool(bus.scanned) + ", \"reached\": " + json_bool(bus.reached) +
         ", \"error\": " + or_null(bus.error, [](const std::string& e) { return json_string(e); }) + extra + "}";
}

std::string json_adapter(const AdapterReport& adapter) {
  return "{\"pseudo_terminal\": " + json_bool(adapter.pseudo_terminal) +
         ", \"driver\": " + or_null(adapter.driver, [](const std::string& d) { return json_string(d); }) +
         ", \"latency_timer_ms\": " + or_null(adapter.latency_timer_ms, [](int ms) { return std::to_string(ms); }) +
         "}";
}

std::string json_servo(const ServoReport& servo) {
  const auto& joint = *servo.joint;
  return "{\"joint\": " + json_string(joint.name) + ", \"id\": " + std::to_string(joint.id) +
         ", \"model\": " + json_string(servo_model_name(joint)) + ", \"answers\": " + json_bool(servo.answers) +
         ", \"baud_rate\": " + or_null(servo.baud_rate, [](std::uint32_t rate) { return std::to_string(rate); }) +
         ", \"position_rad\": " + or_null(servo.steps, [](std::int16_t s) { return json_number(steps_to_radians(s)); }) +
         ", \"position_steps\": " + or_null(servo.steps, [](std::int16_t s) { return std::to_string(s); }) +
         ", \"voltage_v\": " + or_null(servo.voltage, [](std::uint8_t v) { return text::float_fixed(v / 10.0, 1); }) +
         ", \"voltage_raw\": " + or_null(servo.voltage, [](std::uint8_t v) { return std::to_string(v); }) +
         ", \"torque_enabled\": " + or_null(servo.torque, json_bool) +
         ", \"gains\": " + or_null(servo.gains, [](const Gains& g) {
           return "{\"p\": " + std::to_string(g.p) + ", \"d\": " + std::to_string(g.d) +
                  ", \"i\": " + std::to_string(g.i) + "}";
         }) +
         ", \"errors\": " + json_strings(servo.errors) + "}";
}

std::string json_neck(const NeckReport& motor) {
  const auto& joint = *motor.joint;
  return "{\"joint\": " + json_string(joint.name) + ", \"can_id\": " + std::to_string(joint.can_id) +
         ", \"answers\": " + json_bool(motor.answers) +
         ", \"control_mode\": " + or_null(motor.control_mode, [](std::uint32_t m) { return std::to_string(m); }) +
         ", \"mit\": " +
         or_null(motor.control_mode, [](std::uint32_t m) { return json_bool(m == can_bus::damiao::kMitMode); }) +
         ", \"position_rad\": " + or_null(motor.position, json_number) +
         ", \"errors\": " + json_strings(motor.errors) + "}";
}

template <class Range, class F>
std::string json_rows(const Range& rows, F row) {
  std::string out = "[";
  for (std::size_t i = 0; i < rows.size(); ++i) out += std::string(i ? ",\n" : "\n") + "    " + row(rows[i]);
  return out + "\n  ]";
}

}  // namespace

std::string render_table(const ScanReport& report) {
  std::string out = servo_section(report) + "\n" + neck_section(report) + "\n";
  const auto problems = report.problems();
  const auto notes = report.notes();
  if (!problems.empty()) {
    out += "Problems:\n";
    for (const auto& p : problems) out += "  - " + p + "\n";
  }
  if (!notes.empty()) {
    out += "Notes:\n";
    for (const auto& n : notes) out += "  - " + n + "\n";
  }
  out += problems.empty() ? "READY: all ten devices answer, every supply is at least 11.0 V\n"
                          : "NOT READY: " + std::to_string(problems.size()) +
                                (problems.size() == 1 ? " problem\n" : " problems\n");
  return out;
}

std::string render_json(const ScanReport& report) {
  const auto problems = report.problems();
  return "{\n  \"ready\": " + json_bool(problems.empty()) + ",\n  \"problems\": " + json_strings(problems) +
         ",\n  \"notes\": " + json_strings(report.notes()) + ",\n  \"serial\": " +
         json_bus(report.serial, "path", ", \"adapter\": " + or_null(report.adapter, json_adapter)) +
         ",\n  \"servos\": " + json_rows(report.servos, json_servo) + ",\n  \"other_ids\": " +
         or_null(report.other_ids,
                 [](const std::vector<std::uint8_t>& ids) {
                   return text::bracketed(ids, [](std::uint8_t id) { return std::to_string(id); });
                 }) +
         ",\n  \"can\": " +
         json_bus(report.can, "interface",
                  ", \"acknowledged\": " + (report.can.reached ? json_bool(report.unacknowledged == Unacknowledged::No)
                                                              : std::string("null"))) +
         ",\n  \"neck\": " + json_rows(report.neck, json_neck) +
         "\n}\n";
}

}  // namespace quillet::tools::scan
