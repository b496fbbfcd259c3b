// The loop thread's cycle: one event per pass, a tick (read both sides of the controller, publish
// what was read) or one queued command, until a pass ends with the stop flag set; then the
// commands still queued. Everything here belongs to the loop thread alone, so nothing is locked
// but the cells it shares with the loop object.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include "control_loop/cell.hpp"
#include "control_loop/command.hpp"
#include "control_loop/motor_error.hpp"
#include "control_loop/neck_reader.hpp"
#include "control_loop/records.hpp"
#include "control_loop/samples.hpp"
#include "control_loop/settings.hpp"
#include "controller/controller.hpp"
#include "platform/clock.hpp"

namespace quillet::control_loop {

// Present exactly when the loop collects timing samples.
struct LoopStatistics {
  std::chrono::nanoseconds pub_period;
  std::shared_ptr<Cell<ControlLoopStats>> last_stats;
};

// The cells the loop object shares with its thread; each keeps its own references.
struct SharedCells {
  std::shared_ptr<Cell<bool>> stop_requested;
  std::shared_ptr<Cell<PositionOutcome>> last_position;
  std::shared_ptr<Cell<TorqueOutcome>> last_torque;
  std::optional<LoopStatistics> statistics;
};

class LoopCycle {
 public:
  // Takes the controller and the queue's receiving end. With a servo side, starts the neck
  // thread (std::system_error when it cannot be created), which is lent the neck side for each
  // read. `clock` paces the ticks and retries.
  LoopCycle(std::unique_ptr<controller::QuilletMotorController> controller, CommandReceiver commands,
            SharedCells cells, const LoopSettings& settings, Clock& clock);

  // The neck thread, if there is one.
  std::thread::id neck_thread_id() const { return neck_reader_ ? neck_reader_->thread_id() : std::thread::id{}; }

  void run();

 private:
  enum class Event { Tick, Command, None };

  Event next_event();
  Clock::time_point tick_due() const;
  void tick();
  // read_pos with both buses in flight at once: the same traffic on each bus, in the same order.
  // The neck is asked even when the servo read fails; the outcome is the same.
  PositionOutcome read_both_sides();
  void publish();
  void command();
  void drain();
  bool execute(MotorCommand command);

  // Released in reverse order when the thread ends: the neck thread first (it may be reading),
  // the references to the statistics, last_torque and last_position cells, the queue (commands
  // still in it are dropped and later submissions fail), stop_requested, and last the
  // controller, which closes the serial port and the CAN socket.
  std::unique_ptr<controller::QuilletMotorController> controller_;
  std::shared_ptr<Cell<bool>> stop_requested_;
  CommandReceiver commands_;
  std::shared_ptr<Cell<PositionOutcome>> last_position_;
  std::shared_ptr<Cell<TorqueOutcome>> last_torque_;
  std::optional<LoopStatistics> statistics_;

  const std::chrono::nanoseconds period_;
  const std::uint64_t allowed_retries_;
  Clock& clock_;
  Clock::time_point start_{};
  std::uint64_t next_tick_ = 0;
  Clock::time_point last_tick_{};
  Clock::time_point last_publish_{};
  // Every sample taken, published or not: the cell holds views of them, which the loop moves
  // forward under its lock in O(1) (a period at each tick, the others at each publication).
  // Nothing else is copied, and nothing is allocated with the lock held.
  SampleLog period_log_;
  SampleLog read_dt_log_;
  SampleLog write_dt_log_;
  std::minstd_rand random_{std::random_device{}()};
  std::bernoulli_distribution coin_{0.5};
  std::optional<NeckReader> neck_reader_;
};

}  // namespace quillet::control_loop
