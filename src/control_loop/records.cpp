#include "control_loop/records.hpp"

#include <algorithm>
#include <chrono>

#include "support/text.hpp"

namespace quillet::control_loop {

std::optional<QuilletTorsoPosition> torso_position_from(std::span<const double> left_arm,
                                                        std::span<const double> right_arm,
                                                        std::span<const double> nose,
                                                        std::span<const double> neck,
                                                        double timestamp) {
  if (left_arm.size() != 2 || right_arm.size() != 2 || nose.size() != 3 || neck.size() != 3) {
    return std::nullopt;
  }
  QuilletTorsoPosition position;
  std::ranges::copy(left_arm, position.left_arm.begin());
  std::ranges::copy(right_arm, position.right_arm.begin());
  std::ranges::copy(nose, position.nose.begin());
  std::ranges::copy(neck, position.neck.begin());
  position.timestamp = timestamp;
  return position;
}

QuilletTorsoPosition torso_position_from_joints(const std::array<double, 7>& servos,
                                                const std::array<double, 3>& neck,
                                                double timestamp) {
  return QuilletTorsoPosition{
      {servos[0], servos[1]}, {servos[2], servos[3]}, {servos[4], servos[5], servos[6]}, neck,
      timestamp};
}

std::array<double, 7> servo_positions(const QuilletTorsoPosition& p) {
  return {p.left_arm[0], p.left_arm[1], p.right_arm[0], p.right_arm[1], p.nose[0], p.nose[1], p.nose[2]};
}

double seconds_of(std::chrono::nanoseconds duration) {
  if (duration.count() < 0) return 0.0;
  const auto whole = std::chrono::floor<std::chrono::seconds>(duration);
  return static_cast<double>(whole.count()) + static_cast<double>((duration - whole).count()) / 1e9;
}

double wall_clock_timestamp() {
  return seconds_of(std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch()));
}

std::string representation(const QuilletTorsoPosition& position) {
  const auto list = [](const auto& values) { return text::bracketed(values, text::float_debug); };
  std::string out = "QuilletTorsoPosition(left_arm=";
  out += list(position.left_arm);
  out += ", right_arm=";
  out += list(position.right_arm);
  out += ", nose=";
  out += list(position.nose);
  out += ", neck=";
  out += list(position.neck);
  out += ", timestamp=";
  out += text::float_fixed(position.timestamp, 3);
  out += ')';
  return out;
}

double mean_milliseconds(const Samples& samples) {
  double sum = -0.0;
  for (std::span<const double> run : samples.spans()) {
    for (double sample : run) sum += sample;
  }
  return sum / static_cast<double>(samples.size()) * 1000.0;
}

std::string representation(const ControlLoopStats& stats) {
  std::string out = "ControlLoopStats(period=~";
  out += text::float_fixed(mean_milliseconds(stats.period), 2);
  out += "ms, read_dt=~";
  out += text::float_fixed(mean_milliseconds(stats.read_dt), 2);
  out += " ms, write_dt=~";
  out += text::float_fixed(mean_milliseconds(stats.write_dt), 2);
  out += " ms)";
  return out;
}

}  // namespace quillet::control_loop
