#include "control_loop/handle_commands.hpp"

#include <utility>

#include "control_loop/retry.hpp"
#include "support/overloaded.hpp"

namespace quillet::control_loop {
namespace {

using controller::QuilletMotorController;
using controller::Result;

// The observed positions of the neck commands are not wanted here: the next tick reads them.
template <class T>
Result<void> done(const Result<T>& result) {
  if (!result) return std::unexpected(result.error());
  return {};
}

// A poisoned cell keeps its content: its last writer may have left it half-done.
Result<void> record_torque(Cell<TorqueOutcome>& last_torque, const Result<void>& result, bool on) {
  if (result) {
    last_torque.with([on](TorqueOutcome& value, bool poisoned) {
      if (!poisoned) value = on;
    });
  }
  return result;
}

}  // namespace

Result<void> handle_commands(QuilletMotorController& controller, Cell<TorqueOutcome>& last_torque,
                             MotorCommand command, std::uint64_t allowed_retries, Clock& clock) {
  QuilletMotorController& c = controller;
  return std::visit(
      Overloaded{
          [&](SetAllGoalPositions& cmd) { return c.set_all_goal_positions(cmd.positions); },
          [&](SetLeftArmPosition& cmd) { return c.set_left_arm_position(cmd.position); },
          [&](SetRightArmPosition& cmd) { return c.set_right_arm_position(cmd.position); },
          [&](SetArmsPosition& cmd) { return c.set_arms_position(cmd.position); },
          [&](SetNosePosition& cmd) { return c.set_nose_position(cmd.position); },
          [&](SetNeckPosition& cmd) { return done(c.set_neck_position(cmd.position)); },
          [&]<controller::NeckAxis Joint>(SetNeckJointPosition<Joint>& cmd) {
            return done(c.set_single_neck_joint(Joint, cmd.position));
          },
          [&](EnableNeck& cmd) { return c.enable_neck(cmd.enable); },
          [&](EnableTorque&) { return record_torque(last_torque, c.enable_torque(), true); },
          [&](EnableTorqueOnIds& cmd) {
            return record_torque(last_torque, c.set_torque_on_ids(cmd.ids, true), true);
          },
          [&](DisableTorque&) { return record_torque(last_torque, c.disable_torque(), false); },
          [&](DisableTorqueOnIds& cmd) {
            return record_torque(last_torque, c.set_torque_on_ids(cmd.ids, false), false);
          },
          [&](EnableArms& cmd) { return c.enable_arms(cmd.enable); },
          [&](EnableNose& cmd) { return c.enable_nose(cmd.enable); },
          [&](ReadRawBytes& cmd) -> Result<void> {
            auto bytes = with_retry([&] { return c.read_raw_bytes(cmd.id, cmd.address, cmd.length); },
                                    allowed_retries, clock);
            if (!bytes) return std::unexpected(std::move(bytes.error()));  // the reply closes
            // A caller that gave up waiting does not make the read a failure.
            (void)std::move(cmd.reply).send(std::move(*bytes));
            return {};
          },
          [&](WriteRawBytes& cmd) { return c.write_raw_bytes(cmd.id, cmd.address, cmd.data); },
          [&](WriteRawPacket& cmd) -> Result<void> {
            auto reply = c.write_raw_packet(cmd.packet);
            if (!reply) return std::unexpected(std::move(reply.error()));
            if (!std::move(cmd.reply).send(std::move(*reply))) {
              return std::unexpected(controller::Error::message(std::string(kReplyReceiverGone)));
            }
            return {};
          },
      },
      command);
}

}  // namespace quillet::control_loop
