// Execution of one queued command on the loop's controller: exactly the bus traffic of the
// controller operation it names, nothing merged or reordered.
#pragma once

#include <cstdint>

#include "control_loop/cell.hpp"
#include "control_loop/command.hpp"
#include "control_loop/motor_error.hpp"
#include "controller/controller.hpp"
#include "platform/clock.hpp"

namespace quillet::control_loop {

// Runs `command` and consumes it. The torque commands record the requested state in
// `last_torque` once they succeeded. A command with a reply channel answers through it, or drops
// it without a value when it fails. `clock` paces the retries of a raw read.
controller::Result<void> handle_commands(controller::QuilletMotorController& controller,
                                         Cell<TorqueOutcome>& last_torque, MotorCommand command,
                                         std::uint64_t allowed_retries, Clock& clock);

}  // namespace quillet::control_loop
