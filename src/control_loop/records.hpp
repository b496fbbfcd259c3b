// The control loop's value records: one snapshot of the ten joint positions, and the loop's
// timing samples, with their fixed text representations.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control_loop/samples.hpp"

namespace quillet::control_loop {

// All positions in rad, in joint order; `timestamp` in seconds since the Unix epoch.
struct QuilletTorsoPosition {
  std::array<double, 2> left_arm{};   // pitch, yaw
  std::array<double, 2> right_arm{};  // pitch, yaw
  std::array<double, 3> nose{};       // top, left, right
  std::array<double, 3> neck{};       // yaw, pitch, roll
  double timestamp = 0.0;

  friend bool operator==(const QuilletTorsoPosition&, const QuilletTorsoPosition&) = default;
};

inline constexpr std::string_view kTorsoPositionLengthError =
    "Each arm must have 2 positions, nose must have 3, neck must have 3.";

// The record from sequences of any length: nothing unless they hold exactly 2, 2, 3 and 3 values.
std::optional<QuilletTorsoPosition> torso_position_from(std::span<const double> left_arm,
                                                        std::span<const double> right_arm,
                                                        std::span<const double> nose,
                                                        std::span<const double> neck,
                                                        double timestamp);

// The record of the seven servo values (joint order) and the three neck values.
QuilletTorsoPosition torso_position_from_joints(const std::array<double, 7>& servos,
                                                const std::array<double, 3>& neck,
                                                double timestamp);
// The record's seven servo values in joint order: left arm, right arm, nose.
std::array<double, 7> servo_positions(const QuilletTorsoPosition& position);

// A duration in seconds: whole seconds plus the nanoseconds below them / 1e9; 0.0 when negative.
double seconds_of(std::chrono::nanoseconds duration);

// Wall-clock seconds since the Unix epoch (whole seconds plus nanoseconds / 1e9); 0.0 when the
// clock reads earlier than the epoch.
double wall_clock_timestamp();

// "QuilletTorsoPosition(left_arm=[0.1, 0.2], ..., timestamp=1733500000.125)".
std::string representation(const QuilletTorsoPosition& position);

// Timing samples in seconds, oldest first. A copy is O(1): it shares the samples (samples.hpp).
struct ControlLoopStats {
  Samples period;    // one per tick: start of this tick minus start of the previous
  Samples read_dt;   // one per tick: until the positions were read and stored
  Samples write_dt;  // one per successfully executed command
};

// Mean of the samples in milliseconds: NaN for no samples.
double mean_milliseconds(const Samples& samples);

// "ControlLoopStats(period=~10.00ms, read_dt=~1.25 ms, write_dt=~NaN ms)".
std::string representation(const ControlLoopStats& stats);

}  // namespace quillet::control_loop
