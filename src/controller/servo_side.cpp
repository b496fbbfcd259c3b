#include "controller/servo_side.hpp"

#include <algorithm>
#include <utility>

#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "servo_bus/servo/feetech/sts3025bl.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace quillet::controller {
namespace {

using servo_bus::feetech::sm40bl;
using servo_bus::feetech::sts3025bl;

constexpr auto kRebootPollInterval = std::chrono::nanoseconds(100'000'000);
constexpr auto kRawReplyWindow = std::chrono::milliseconds(10);
constexpr auto kRawReplyPoll = std::chrono::milliseconds(5);

// Builds the 7-element servo array from the arm group's values followed by the nose group's.
// A group read returns exactly one value per id, or an error.
template <class T, class A, class B>
std::array<T, kServoJoints.size()> join_groups(const A& arms, const B& nose) {
  std::array<T, kServoJoints.size()> out{};
  std::copy_n(arms.begin(), ARM_IDS.size(), out.begin());
  std::copy_n(nose.begin(), NOSE_IDS.size(), out.begin() + ARM_IDS.size());
  return out;
}

}  // namespace

ServoSide::ServoSide(std::unique_ptr<servo_bus::SerialPort> port, Clock& clock, std::string bus)
    : clock_(clock), bus_(std::move(bus)), protocol_(clock), port_(std::move(port)) {}

std::unexpected<Error> ServoSide::failure(servo_bus::Error error) const {
  return std::unexpected(Error(Error::Servo{std::move(error), bus_}));
}

template <class Done>
Result<void> ServoSide::done(Done&& outcome) const {
  if (!outcome) return failure(std::move(outcome.error()));
  return {};
}

std::vector<std::uint8_t> ServoSide::check_missing_ids() {
  std::vector<std::uint8_t> missing;
  for (const ServoJoint& joint : kServoJoints) {
    auto answered = protocol_.ping(*port_, joint.id);
    if (!answered || !*answered) missing.push_back(joint.id);
  }
  return missing;
}

Result<ServoPositions> ServoSide::read_all_positions() {
  auto arms = sm40bl.sync_read_present_position(protocol_, *port_, ARM_IDS);
  if (!arms) return failure(std::move(arms.error()));
  auto nose = sts3025bl.sync_read_present_position(protocol_, *port_, NOSE_IDS);
  if (!nose) return failure(std::move(nose.error()));
  return join_groups<double>(*arms, *nose);
}

Result<std::array<std::uint8_t, kServoJoints.size()>> ServoSide::read_all_voltages() {
  auto arms = sm40bl.sync_read_present_voltage(protocol_, *port_, ARM_IDS);
  if (!arms) return failure(std::move(arms.error()));
  auto nose = sts3025bl.sync_read_present_voltage(protocol_, *port_, NOSE_IDS);
  if (!nose) return failure(std::move(nose.error()));
  return join_groups<std::uint8_t>(*arms, *nose);
}

Result<bool> ServoSide::is_torque_enabled() {
  auto arms = sm40bl.sync_read_torque_enable(protocol_, *port_, ARM_IDS);
  if (!arms) return failure(std::move(arms.error()));
  auto nose = sts3025bl.sync_read_torque_enable(protocol_, *port_, NOSE_IDS);
  if (!nose) return failure(std::move(nose.error()));
  const auto all = join_groups<bool>(*arms, *nose);
  return std::all_of(all.begin(), all.end(), [](bool on) { return on; });
}

Result<void> ServoSide::set_all_goal_positions(const Positions<kServoJoints.size()>& positions) {
  const std::span<const double> all(positions.value());
  if (auto arms = done(sm40bl.sync_write_goal_position(protocol_, *port_, ARM_IDS, all.first<ARM_IDS.size()>()));
      !arms) {
    return arms;
  }
  return done(sts3025bl.sync_write_goal_position(protocol_, *port_, NOSE_IDS, all.last<NOSE_IDS.size()>()));
}

Result<void> ServoSide::set_arms_position(const Positions<ARM_IDS.size()>& positions) {
  return done(sm40bl.sync_write_goal_position(protocol_, *port_, ARM_IDS, positions.value()));
}

Result<void> ServoSide::set_left_arm_position(const Positions<LEFT_ARM_IDS.size()>& positions) {
  return done(sm40bl.sync_write_goal_position(protocol_, *port_, LEFT_ARM_IDS, positions.value()));
}

Result<void> ServoSide::set_right_arm_position(const Positions<RIGHT_ARM_IDS.size()>& positions) {
  return done(sm40bl.sync_write_goal_position(protocol_, *port_, RIGHT_ARM_IDS, positions.value()));
}

Result<void> ServoSide::set_nose_position(const Positions<NOSE_IDS.size()>& positions) {
  return done(sts3025bl.sync_write_goal_position(protocol_, *port_, NOSE_IDS, positions.value()));
}

Result<void> ServoSide::enable_arms(bool enable) {
  std::array<bool, ARM_IDS.size()> values;
  values.fill(enable);
  return done(sm40bl.sync_write_torque_enable(protocol_, *port_, ARM_IDS, values));
}

Result<void> ServoSide::enable_nose(bool enable) {
  std::array<bool, NOSE_IDS.size()> values;
  values.fill(enable);
  return done(sts3025bl.sync_write_torque_enable(protocol_, *port_, NOSE_IDS, values));
}

Result<void> ServoSide::set_torque_on_ids(const TorqueIds& ids, bool enable) {
  std::vector<std::uint8_t> arm_ids;
  std::vector<std::uint8_t> nose_ids;
  for (std::uint8_t id : ids.value()) {
    if (is_arm_id(id)) arm_ids.push_back(id);
    else if (is_nose_id(id)) nose_ids.push_back(id);
  }
  if (!arm_ids.empty()) {
    const std::vector<std::uint8_t> values(arm_ids.size(), enable ? 1 : 0);
    if (auto arms = done(sm40bl.sync_write_raw_torque_enable(protocol_, *port_, arm_ids, values)); !arms) return arms;
  }
  if (!nose_ids.empty()) {
    const std::vector<std::uint8_t> values(nose_ids.size(), enable ? 1 : 0);
    return done(sts3025bl.sync_write_raw_torque_enable(protocol_, *port_, nose_ids, values));
  }
  return {};
}

Result<std::vector<std::uint8_t>> ServoSide::write_raw_packet(std::span<const std::uint8_t> data) {
  servo_bus::SerialPort& port = *port_;
  if (auto written = port.write_all(data); !written) return failure(written.error());
  if (auto flushed = port.flush(); !flushed) return failure(flushed.error());

  auto waiting = [&]() -> std::expected<std::size_t, IoError> {
    auto count = port.bytes_to_read();
    if (!count) return std::unexpected(IoError{IoErrorKind::Other, count.error().message()});
    return *count;
  };
  auto count = waiting();
  const auto start = clock_.now();
  while (count && *count == 0) {
    if (clock_.now() - start >= kRawReplyWindow) break;
    clock_.sleep_for(kRawReplyPoll);
    count = waiting();
  }
  if (!count) return failure(count.error());
  std::vector<std::uint8_t> reply(*count);
  if (auto read = port.read_exact(reply); !read) return failure(read.error());
  return reply;
}

Result<std::vector<std::uint8_t>> ServoSide::read_raw_bytes(ServoId id, std::uint8_t address, ReadLength length) {
  auto bytes = protocol_.read(*port_, id.value(), address, length.value());
  if (!bytes) return failure(std::move(bytes.error()));
  return std::move(*bytes);
}

Result<void> ServoSide::write_raw_bytes(ServoId id, std::uint8_t address, const WriteData& data) {
  return done(protocol_.write(*port_, id.value(), address, data.value()));
}

Result<void> ServoSide::reboot(std::chrono::nanoseconds timeout) {
  using log::Level;
  const auto id_text = [](std::uint8_t id) { return std::to_string(id); };

  for (const ServoJoint& joint : kServoJoints) {
    QUILLET_LOG(Level::Warn, kLogTarget,
                "Rebooting motor " + std::string(joint.name) + " (id=" + id_text(joint.id) + ")");
    // A servo that does not answer is waited for below; only a failed send is an error.
    if (auto sent = protocol_.reboot(*port_, joint.id); !sent) return failure(std::move(sent.error()));
  }

  std::vector<const ServoJoint*> pending;
  for (const ServoJoint& joint : kServoJoints) pending.push_back(&joint);
  const auto start = clock_.now();
  while (!pending.empty()) {
    if (clock_.now() - start >= timeout) break;
    clock_.sleep_for(kRebootPollInterval);
    std::erase_if(pending, [&](const ServoJoint* joint) {
      auto answered = protocol_.ping(*port_, joint->id);
      return answered && *answered;
    });
  }
  if (pending.empty()) return {};

  std::vector<std::string_view> names;
  std::vector<std::uint8_t> ids;
  for (const ServoJoint* joint : pending) {
    QUILLET_LOG(Level::Warn, kLogTarget,
                "Motor " + std::string(joint->name) + " (id=" + id_text(joint->id) +
                    ") did not respond after reboot within timeout");
    names.push_back(joint->name);
    ids.push_back(joint->id);
  }
  return std::unexpected(Error::message("Some motors did not respond after reboot (" +
                                        text::bracketed(names, text::quoted) + " - ids: " +
                                        text::bracketed(ids, id_text) + ")"));
}

}  // namespace quillet::controller
