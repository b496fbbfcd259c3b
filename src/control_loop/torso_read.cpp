#include "control_loop/torso_read.hpp"

#include <utility>

#include "control_loop/retry.hpp"

namespace quillet::control_loop {

ServoReading read_servos(controller::ServoSide* servos, std::uint64_t allowed_retries, Clock& clock) {
  if (servos == nullptr) return {controller::ServoPositions{}, 0};
  ServoReading reading{controller::ServoPositions{}, 0};
  reading.positions = with_retry([&] { return servos->read_all_positions(); }, allowed_retries, clock, &reading.attempts);
  return reading;
}

PositionOutcome torso_outcome(const ServoReading& servos, const NeckReading& neck) {
  if (servos.positions && neck) return torso_position_from_joints(*servos.positions, *neck, wall_clock_timestamp());
  MotorError error = MotorError::communication_failure();
  if (!servos.positions) {
    error = std::move(error).because({"reading the servo positions", servos.positions.error(), servos.attempts});
  }
  if (!neck) error = std::move(error).because({"reading the neck positions", neck.error(), 1});
  return std::unexpected(std::move(error));
}

PositionOutcome read_pos(controller::QuilletMotorController& controller, std::uint64_t allowed_retries,
                         Clock& clock) {
  const ServoReading servos = read_servos(controller.servo_side(), allowed_retries, clock);
  // The neck is asked only once the servos answered: their failure is the outcome.
  if (!servos.positions) return torso_outcome(servos, controller::NeckPositions{});
  return torso_outcome(servos, controller.neck_side().read_neck_positions());
}

}  // namespace quillet::control_loop
