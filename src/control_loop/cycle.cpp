#include "control_loop/cycle.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "control_loop/handle_commands.hpp"
#include "control_loop/retry.hpp"
#include "control_loop/torso_read.hpp"
#include "support/log.hpp"

namespace quillet::control_loop {

LoopCycle::LoopCycle(std::unique_ptr<controller::QuilletMotorController> controller, CommandReceiver commands,
                     SharedCells cells, const LoopSettings& settings, Clock& clock)
    : controller_(std::move(controller)),
      stop_requested_(std::move(cells.stop_requested)),
      commands_(std::move(commands)),
      last_position_(std::move(cells.last_position)),
      last_torque_(std::move(cells.last_torque)),
      statistics_(std::move(cells.statistics)),
      period_(settings.read_position_loop_period),
      allowed_retries_(settings.allowed_retries),
      clock_(clock) {
  // With servos to read, the neck is read at the same time on a second thread.
  if (controller_->has_serial_port()) neck_reader_.emplace();
}

void LoopCycle::run() {
  start_ = last_tick_ = last_publish_ = clock_.now();
  for (;;) {
    switch (next_event()) {
      case Event::Tick: tick(); break;
      case Event::Command: command(); break;
      case Event::None: break;
    }
    if (stop_requested_->with([](const bool& stop, bool) { return stop; })) break;
  }
  drain();
}

// Tick k is due at start + k periods: a loop that fell behind delivers the overdue ticks one per
// pass, and the schedule never shifts. A tick beyond the clock's range (a period of centuries)
// is never due.
Clock::time_point LoopCycle::tick_due() const {
  if (next_tick_ == 0) return start_;
  const auto room = static_cast<std::uint64_t>((Clock::time_point::max() - start_).count());
  if (static_cast<std::uint64_t>(period_.count()) > room / next_tick_) return Clock::time_point::max();
  return start_ + period_ * static_cast<std::int64_t>(next_tick_);
}

LoopCycle::Event LoopCycle::next_event() {
  for (;;) {
    const bool tick_ready = clock_.now() >= tick_due();
    const bool command_ready = commands_.ready();
    // Neither side may starve the other: when both are ready, a coin decides.
    if (tick_ready && command_ready) return coin_(random_) ? Event::Tick : Event::Command;
    if (tick_ready) return Event::Tick;
    if (command_ready) return Event::Command;
    switch (commands_.wait_until(tick_due())) {
      case CommandReceiver::Wait::Ready:
      case CommandReceiver::Wait::TimedOut: continue;
      case CommandReceiver::Wait::Woken: return Event::None;  // close() asks to look at the flag
      case CommandReceiver::Wait::Disconnected:
        // No command can arrive any more; only ticks remain.
        clock_.sleep_for(tick_due() - clock_.now());
        continue;
    }
  }
}

void LoopCycle::tick() {
  ++next_tick_;
  const auto now = clock_.now();
  if (statistics_) {
    period_log_.append(seconds_of(now - last_tick_));
    Samples published = period_log_.samples();
    statistics_->last_stats->with([&](ControlLoopStats& stats, bool) { stats.period = std::move(published); });
    last_tick_ = now;
  }
  PositionOutcome outcome = read_both_sides();
  last_position_->with([&](PositionOutcome& value, bool poisoned) {
    if (!poisoned) value = std::move(outcome);
  });
  if (!statistics_) return;
  read_dt_log_.append(seconds_of(clock_.now() - now));
  if (clock_.now() - last_publish_ > statistics_->pub_period) publish();
}

PositionOutcome LoopCycle::read_both_sides() {
  controller::ServoSide* servos = controller_->servo_side();
  if (!neck_reader_ || servos == nullptr) return read_pos(*controller_, allowed_retries_, clock_);
  auto [servo_reading, neck_reading] = neck_reader_->read_alongside(
      controller_->neck_side(), [&] { return read_servos(servos, allowed_retries_, clock_); });
  return torso_outcome(servo_reading, neck_reading);
}

// The samples taken since the last publication become visible to readers.
void LoopCycle::publish() {
  Samples read_dt = read_dt_log_.samples();
  Samples write_dt = write_dt_log_.samples();
  statistics_->last_stats->with([&](ControlLoopStats& stats, bool) {
    stats.read_dt = std::move(read_dt);
    stats.write_dt = std::move(write_dt);
  });
  last_publish_ = clock_.now();
}

void LoopCycle::command() {
  std::optional<MotorCommand> next = commands_.try_recv();
  if (!next) return;
  const auto t0 = clock_.now();
  if (execute(std::move(*next)) && statistics_) write_dt_log_.append(seconds_of(clock_.now() - t0));
}

// Executes what was accepted before the stop. The queue refuses new commands first, so that a
// thread that keeps queueing cannot keep the loop from ending.
void LoopCycle::drain() {
  commands_.close();
  while (std::optional<MotorCommand> next = commands_.try_recv()) (void)execute(std::move(*next));
}

// A failed command is not retried, and its caller has gone on (commands with a reply learn of it
// through the reply): the record is all that tells of a torque change that did not happen.
bool LoopCycle::execute(MotorCommand command) {
  const std::string_view name = command_name(command);
  auto done = handle_commands(*controller_, *last_torque_, std::move(command), allowed_retries_, clock_);
  if (!done) QUILLET_LOG(log::Level::Warn, kLogTarget, std::string(name) + " failed: " + done.error().message());
  return done.has_value();
}

}  // namespace quillet::control_loop
