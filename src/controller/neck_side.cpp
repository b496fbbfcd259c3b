#include "controller/neck_side.hpp"

#include <cmath>
#include <limits>

#include "support/log.hpp"
#include "support/text.hpp"

namespace quillet::controller {
namespace {

can_bus::damiao::Damiao make_motor(NeckAxis axis) {
  const NeckJoint& joint = neck_joint(axis);
  // The table's limits are valid constants, so this cannot fail.
  return *can_bus::damiao::Damiao::make(joint.timeout, joint.limits, joint.can_id, joint.master_id);
}

can_bus::damiao::MitCommand first_command(NeckAxis axis) {
  const NeckJoint& joint = neck_joint(axis);
  return can_bus::damiao::MitCommand{0.0f, 0.0f, joint.default_kp, joint.default_kd, 0.0f};
}

std::string name_of(NeckAxis joint) { return std::string(neck_joint(joint).name); }

}  // namespace

Result<NeckAxis> neck_axis_at(std::uint32_t index) {
  if (index >= kNeckJointCount) return std::unexpected(Error::message("neck index out of range: " + std::to_string(index)));
  return kNeckAxes[index];
}

NeckSide::NeckSide(std::unique_ptr<can_bus::CanTransport> transport, Clock& clock, std::string bus)
    : clock_(clock),
      bus_(std::move(bus)),
      transport_(std::move(transport)),
      motors_{make_motor(NeckAxis::Yaw), make_motor(NeckAxis::Pitch), make_motor(NeckAxis::Roll)},
      commands_{first_command(NeckAxis::Yaw), first_command(NeckAxis::Pitch), first_command(NeckAxis::Roll)} {}

std::unexpected<Error> NeckSide::failure(std::string context, NeckAxis joint, can_bus::damiao::Error error) const {
  return std::unexpected(Error(Error::Can{std::move(context), bus_, joint, std::move(error)}));
}

std::vector<std::string> NeckSide::check_missing_neck_motors() {
  std::vector<std::string> missing;
  for (NeckAxis joint : kNeckAxes) {
    if (!motors_[index_of(joint)].request_feedback(*transport_)) missing.push_back(name_of(joint));
  }
  return missing;
}

Result<void> NeckSide::enable_neck(bool enable) {
  can_bus::CanTransport& bus = *transport_;
  for (NeckAxis joint : kNeckAxes) {
    const can_bus::damiao::Damiao& motor = motors_[index_of(joint)];
    if (enable) {
      if (auto mode = motor.ensure_control_mode(bus, can_bus::damiao::kMitMode, clock_); !mode) {
        return failure(name_of(joint) + ": ensure MIT mode failed: ", joint, std::move(mode.error()));
      }
      if (auto enabled = motor.enable(bus); !enabled) {
        return failure(name_of(joint) + ": enable failed: ", joint, std::move(enabled.error()));
      }
    } else if (auto disabled = motor.disable(bus); !disabled) {
      return failure(name_of(joint) + ": disable failed: ", joint, std::move(disabled.error()));
    }
  }
  torque_enabled_ = enable;
  return {};
}

void NeckSide::set_neck_gains(NeckAxis joint, Gain kp, Gain kd) {
  commands_[index_of(joint)].kp = kp.value();
  commands_[index_of(joint)].kd = kd.value();
}

std::array<std::pair<double, double>, kNeckJointCount> NeckSide::neck_position_limits() {
  std::array<std::pair<double, double>, kNeckJointCount> limits;
  for (NeckAxis joint : kNeckAxes) limits[index_of(joint)] = {neck_joint(joint).lower, neck_joint(joint).upper};
  return limits;
}

double NeckSide::clamp_neck_position(NeckAxis axis, double position) {
  const NeckJoint& joint = neck_joint(axis);
  // Written out rather than std::clamp so that NaN passes through unchanged.
  const double clamped =
      position < joint.lower ? joint.lower : (position > joint.upper ? joint.upper : position);
  if (std::fabs(clamped - position) > std::numeric_limits<double>::epsilon()) {
    using text::float_fixed;
    QUILLET_LOG(log::Level::Warn, kLogTarget,
                std::string(joint.name) + " requested position " + float_fixed(position, 4) +
                    " rad out of safe range [" + float_fixed(joint.lower, 4) + ", " +
                    float_fixed(joint.upper, 4) + "]; clamped to " + float_fixed(clamped, 4));
  }
  return clamped;
}

Result<NeckPositions> NeckSide::command_all(const NeckPositions& positions, std::string_view label) {
  NeckPositions observed{};
  for (NeckAxis joint : kNeckAxes) {
    const std::size_t i = index_of(joint);
    commands_[i].position = static_cast<float>(positions[i]);
    auto state = motors_[i].control(*transport_, commands_[i]);
    if (!state) return failure(std::string(label) + "(" + name_of(joint) + "): ", joint, std::move(state.error()));
    observed[i] = state->position;
  }
  return observed;
}

Result<NeckPositions> NeckSide::command_neck_mit(const Positions<kNeckJointCount>& positions,
                                                 std::string_view label) {
  return command_all(positions.value(), label);
}

Result<NeckPositions> NeckSide::set_neck_position(const Positions<kNeckJointCount>& positions) {
  NeckPositions clamped;
  for (NeckAxis joint : kNeckAxes) {
    clamped[index_of(joint)] = clamp_neck_position(joint, positions.value()[index_of(joint)]);
  }
  return command_all(clamped, "set_neck_position");
}

Result<double> NeckSide::set_single_neck_joint(NeckAxis joint, const Position& position) {
  can_bus::damiao::MitCommand& command = commands_[index_of(joint)];
  command.position = static_cast<float>(clamp_neck_position(joint, position.value()));
  auto state = motors_[index_of(joint)].control(*transport_, command);
  if (!state) return failure(std::string(neck_joint(joint).setter) + ": ", joint, std::move(state.error()));
  return static_cast<double>(state->position);
}

Result<NeckPositions> NeckSide::read_neck_positions() {
  NeckPositions positions{};
  for (NeckAxis joint : kNeckAxes) {
    auto state = motors_[index_of(joint)].request_feedback(*transport_);
    if (!state) return failure("read_neck_positions(" + name_of(joint) + "): ", joint, std::move(state.error()));
    positions[index_of(joint)] = state->position;
  }
  return positions;
}

}  // namespace quillet::controller
