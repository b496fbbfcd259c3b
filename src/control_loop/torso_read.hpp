// One read of the whole torso: the seven servos under the retry policy (0.0 each without a
// servo side, nothing sent), the three neck motors once, and the record of both, stamped with
// the wall clock. Any failure is CommunicationFailure, with the cause of each side that failed.
#pragma once

#include <cstdint>

#include "control_loop/motor_error.hpp"
#include "controller/controller.hpp"
#include "platform/clock.hpp"

namespace quillet::control_loop {

struct ServoReading {
  controller::Result<controller::ServoPositions> positions;
  std::uint64_t attempts = 0;  // none without a servo side
};
using NeckReading = controller::Result<controller::NeckPositions>;

ServoReading read_servos(controller::ServoSide* servos, std::uint64_t allowed_retries, Clock& clock);
// The record of the two readings, or the failure of either or both.
PositionOutcome torso_outcome(const ServoReading& servos, const NeckReading& neck);

// One bus after the other: the servos, then, once they answered, the neck.
PositionOutcome read_pos(controller::QuilletMotorController& controller, std::uint64_t allowed_retries,
                         Clock& clock = real_clock());

}  // namespace quillet::control_loop
