#include "control_loop/loop.hpp"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cxxabi.h>
#include <random>
#include <system_error>
#include <utility>
#include <vector>

#include "control_loop/handle_commands.hpp"
#include "control_loop/neck_reader.hpp"
#include "control_loop/retry.hpp"
#include "controller/joints.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace quillet::control_loop {
namespace {

using controller::QuilletMotorController;
using log::Level;
using namespace std::chrono_literals;

constexpr auto kSupplyPoll = 100ms;
constexpr auto kRebootTimeout = 1s;

// How many fork() children deep this process is: a loop belongs to the generation it was
// created in. Counted by a handler that fork() runs in the child.
std::atomic<std::uint64_t> g_fork_generation{0};

std::uint64_t fork_generation() { return g_fork_generation.load(std::memory_order_relaxed); }

void count_forks() {
  static const bool registered = ::pthread_atfork(nullptr, nullptr, [] {
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
  }) == 0;
  (void)registered;
}

// A sample: whole seconds plus the nanoseconds below them, never negative.
double seconds_of(std::chrono::nanoseconds duration) {
  if (duration.count() < 0) return 0.0;
  const auto whole = std::chrono::floor<std::chrono::seconds>(duration);
  return static_cast<double>(whole.count()) + static_cast<double>((duration - whole).count()) / 1e9;
}

std::unexpected<StartupError> failure(MotorError error) {
  return std::unexpected(StartupError(std::move(error)));
}
// A communication failure, with the step that met it.
MotorError failed(std::string step, controller::Error error, std::uint64_t attempts = 1) {
  return MotorError::communication_failure().because({std::move(step), std::move(error), attempts});
}

// A position read that failed on either bus, or both.
MotorError read_failure(const controller::Result<controller::ServoPositions>& servos, std::uint64_t attempts,
                        const controller::Result<controller::NeckPositions>& neck) {
  MotorError error = MotorError::communication_failure();
  if (!servos) error = std::move(error).because({"reading the servo positions", servos.error(), attempts});
  if (!neck) error = std::move(error).because({"reading the neck positions", neck.error(), 1});
  return error;
}

// The servo supply comes up some time after the robot is switched on; nothing may move before.
std::expected<void, StartupError> wait_for_supply(QuilletMotorController& controller,
                                                  const LoopSettings& settings,
                                                  const Interrupted& interrupted, Clock& clock) {
  QUILLET_LOG(Level::Info, kLogTarget, "Waiting for voltage to be stable at 12V...");
  std::uint64_t attempts = 0;
  auto read = [&] {
    return with_retry([&] { return controller.read_all_voltages(); }, settings.allowed_retries, clock, &attempts);
  };
  const auto read_failed = [&](controller::Error error) {
    return failure(failed("reading the servo supply voltages", std::move(error), attempts));
  };
  auto voltages = read();
  if (!voltages) return read_failed(std::move(voltages.error()));
  const auto below = [](const std::array<std::uint8_t, 7>& v) {
    return std::ranges::any_of(v, [](std::uint8_t tenths) { return tenths < controller::kServoSupplyReady; });
  };
  const auto start = std::chrono::system_clock::now();
  const auto elapsed = [&] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - start);
  };
  while (below(*voltages) && elapsed() < settings.voltage_rampup_timeout) {
    clock.sleep_for(kSupplyPoll);
    if (interrupted && interrupted()) return std::unexpected(StartupError::WasInterrupted{});
    voltages = read();
    if (!voltages) return read_failed(std::move(voltages.error()));
  }
  if (below(*voltages)) {
    return failure(MotorError::VoltageRampUpTimeout{settings.voltage_rampup_timeout,
                                                     std::ranges::min(*voltages)});
  }
  QUILLET_LOG(Level::Info, kLogTarget,
              "Voltage is stable at ~12V: " +
                  text::bracketed(*voltages, [](std::uint8_t v) { return std::to_string(v); }) +
                  " (took " + duration_text(elapsed()) + ")");
  return {};
}

// Which servos and neck motors answer, reported as the first missing group.
std::expected<void, StartupError> check_presence(QuilletMotorController& controller) {
  if (controller.has_serial_port()) {
    auto missing = controller.check_missing_ids();
    if (!missing) return failure(failed("pinging the servos", std::move(missing.error())));
    if (missing->size() == controller::kServoJoints.size()) {
      return failure(MotorError::NoMotorsDetected{});
    }
    if (!missing->empty()) {
      std::vector<std::string> names;
      for (std::uint8_t id : *missing) {
        const auto joint = std::ranges::find(controller::kServoJoints, id, &controller::ServoJoint::id);
        names.emplace_back(joint->name);  // the check reports only ids of the table
      }
      return failure(MotorError::MissingMotors{std::move(names)});
    }
  }
  if (auto neck = controller.check_missing_neck_motors(); !neck.empty()) {
    MotorError missing = MotorError::MissingMotors{neck};
    if (neck.size() == controller::kNeckJointCount) {
      const std::string& bus = controller.bus_names().can;
      const std::string where = bus.empty() ? "the CAN bus" : "CAN bus " + bus;
      missing = std::move(missing).because({"no neck motor answered on " + where +
                                            "; if no device acknowledges there, " +
                                            can_bus::no_acknowledgement_causes(bus)});
    }
    return failure(std::move(missing));
  }
  return {};
}

// Everything the loop thread owns alone: nobody else touches it, so nothing here is locked.
// Members are released in reverse order of declaration when the thread ends: its references to
// the statistics, last_torque and last_position cells, the queue (commands still in it are
// dropped and later submissions fail), stop_requested, and last the controller, which closes the
// serial port and the CAN socket.
class LoopThread {
 public:
  LoopThread(std::unique_ptr<QuilletMotorController> controller,
             std::shared_ptr<Cell<bool>> stop_requested, CommandReceiver commands,
             std::shared_ptr<Cell<PositionOutcome>> last_position,
             std::shared_ptr<Cell<TorqueOutcome>> last_torque,
             std::optional<LoopStatistics> statistics, const LoopSettings& settings, Clock& clock)
      : controller_(std::move(controller)),
        stop_requested_(std::move(stop_requested)),
        commands_(std::move(commands)),
        last_position_(std::move(last_position)),
        last_torque_(std::move(last_torque)),
        statistics_(std::move(statistics)),
        period_(settings.read_position_loop_period),
        allowed_retries_(settings.allowed_retries),
        clock_(clock) {
    // With servos to read, the neck is read at the same time on a second thread.
    if (controller_->has_serial_port()) neck_reader_.emplace(*controller_);
  }

  std::thread::id neck_thread_id() const { return neck_reader_ ? neck_reader_->thread_id() : std::thread::id{}; }

  // The cycle, one event per pass, until a pass ends with the stop flag set; then the drain.
  void run() {
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

 private:
  enum class Event { Tick, Command, None };

  // Tick k is due at start + k periods: a loop that fell behind delivers the overdue ticks one
  // per pass, and the schedule never shifts. A tick beyond the clock's range (a period of
  // centuries) is never due.
  Clock::time_point tick_due() const {
    if (next_tick_ == 0) return start_;
    const auto room = static_cast<std::uint64_t>((Clock::time_point::max() - start_).count());
    if (static_cast<std::uint64_t>(period_.count()) > room / next_tick_) return Clock::time_point::max();
    return start_ + period_ * static_cast<std::int64_t>(next_tick_);
  }

  Event next_event() {
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

  void tick() {
    ++next_tick_;
    const auto now = clock_.now();
    if (statistics_) {
      period_log_.append(seconds_of(now - last_tick_));
      Samples published = period_log_.samples();
      statistics_->last_stats->with([&](ControlLoopStats& stats, bool) { stats.period = std::move(published); });
      last_tick_ = now;
    }
    PositionOutcome outcome = read_positions();
    last_position_->with([&](PositionOutcome& value, bool poisoned) {
      if (!poisoned) value = std::move(outcome);
    });
    if (!statistics_) return;
    read_dt_log_.append(seconds_of(clock_.now() - now));
    if (clock_.now() - last_publish_ > statistics_->pub_period) publish();
  }

  // read_pos with both buses in flight at once: the same traffic on each bus, in the same order.
  // The neck is asked even when the servo read fails; the outcome is the same.
  PositionOutcome read_positions() {
    if (!neck_reader_) return read_pos(*controller_, allowed_retries_, clock_);
    neck_reader_->start();
    std::uint64_t attempts = 0;
    auto servos =
        with_retry([&] { return controller_->read_all_positions(); }, allowed_retries_, clock_, &attempts);
    auto neck = neck_reader_->wait();
    if (!servos || !neck) return std::unexpected(read_failure(servos, attempts, neck));
    return torso_position_from_joints(*servos, *neck, wall_clock_timestamp());
  }

  // The samples taken since the last publication become visible to readers.
  void publish() {
    Samples read_dt = read_dt_log_.samples();
    Samples write_dt = write_dt_log_.samples();
    statistics_->last_stats->with([&](ControlLoopStats& stats, bool) {
      stats.read_dt = std::move(read_dt);
      stats.write_dt = std::move(write_dt);
    });
    last_publish_ = clock_.now();
  }

  void command() {
    std::optional<MotorCommand> next = commands_.try_recv();
    if (!next) return;
    const auto t0 = clock_.now();
    if (execute(std::move(*next)) && statistics_) write_dt_log_.append(seconds_of(clock_.now() - t0));
  }

  // Executes what was accepted before the stop. The queue refuses new commands first, so that a
  // thread that keeps queueing cannot keep the loop from ending.
  void drain() {
    commands_.close();
    while (std::optional<MotorCommand> next = commands_.try_recv()) (void)execute(std::move(*next));
  }

  // A failed command is not retried, and its caller has gone on (commands with a reply learn of
  // it through the reply): the record is all that tells of a torque change that did not happen.
  bool execute(MotorCommand command) {
    const std::string_view name = command_name(command);
    auto done = handle_commands(*controller_, *last_torque_, std::move(command), allowed_retries_, clock_);
    if (!done) QUILLET_LOG(Level::Warn, kLogTarget, std::string(name) + " failed: " + done.error().message());
    return done.has_value();
  }

  std::unique_ptr<QuilletMotorController> controller_;
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
  // Last: its thread uses the controller, so it is joined before anything else is released.
  std::optional<NeckReader> neck_reader_;
};

}  // namespace

struct QuilletControlLoop::LoopThreadHandle {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> ended_by_fault;
};

struct QuilletControlLoop::OwnThreads {
  std::array<std::thread::id, 2> ids;  // the loop thread, the neck thread (or none)
  // Cleared by the loop thread once it has released everything: a later thread may get one of
  // the ids again.
  std::atomic<bool> running{true};
};

std::string StartupError::message() const {
  if (const MotorError* error = motor_error()) return error->message();
  if (const Fault* fault = std::get_if<Fault>(&value_)) return fault->text;
  return "interrupted";
}

PositionOutcome read_pos(QuilletMotorController& controller, std::uint64_t allowed_retries,
                         Clock& clock) {
  controller::ServoPositions servos{};
  if (controller.has_serial_port()) {
    std::uint64_t attempts = 0;
    auto read = with_retry([&] { return controller.read_all_positions(); }, allowed_retries, clock, &attempts);
    if (!read) return std::unexpected(failed("reading the servo positions", std::move(read.error()), attempts));
    servos = *read;
  }
  auto neck = controller.read_neck_positions();
  if (!neck) return std::unexpected(failed("reading the neck positions", std::move(neck.error())));
  return torso_position_from_joints(servos, *neck, wall_clock_timestamp());
}

std::expected<std::unique_ptr<QuilletControlLoop>, StartupError> QuilletControlLoop::create(
    const std::optional<std::string>& serialport, const std::string& can_bus,
    const LoopSettings& settings, const Interrupted& interrupted) {
  if (serialport) {
    struct stat status{};
    if (::stat(serialport->c_str(), &status) != 0) return failure(MotorError::PortNotFound{*serialport});
  }
  auto controller = QuilletMotorController::create(serialport, can_bus);
  if (!controller) {
    return failure(MotorError(MotorError::PortOpenFailed{serialport.value_or("")})
                       .because({"opening the buses", std::move(controller.error())}));
  }
  return start(std::move(*controller), settings, interrupted, real_clock());
}

std::expected<std::unique_ptr<QuilletControlLoop>, StartupError> QuilletControlLoop::start(
    std::unique_ptr<QuilletMotorController> controller, const LoopSettings& settings,
    const Interrupted& interrupted, Clock& clock) {
  auto [command_tx, command_rx] = bounded_queue<MotorCommand>(kCommandQueueCapacity);
  std::optional<LoopStatistics> statistics;
  if (settings.stats_pub_period) {
    statistics = LoopStatistics{*settings.stats_pub_period, std::make_shared<Cell<ControlLoopStats>>()};
  }

  if (auto present = check_presence(*controller); !present) return std::unexpected(present.error());
  if (controller->has_serial_port()) {
    if (auto up = wait_for_supply(*controller, settings, interrupted, clock); !up) {
      return std::unexpected(up.error());
    }
    if (auto rebooted = controller->reboot(kRebootTimeout); !rebooted) {
      return failure(failed("rebooting the servos", std::move(rebooted.error())));
    }
  }
  auto motor_name_id = controller->get_motor_name_id();
  PositionOutcome first = read_pos(*controller, settings.allowed_retries, clock);
  if (!first) return failure(first.error());
  TorqueOutcome torque = false;
  if (controller->has_serial_port()) {
    std::uint64_t attempts = 0;
    auto read = with_retry([&] { return controller->is_torque_enabled(); }, settings.allowed_retries, clock, &attempts);
    if (!read) return failure(failed("reading the torque state", std::move(read.error()), attempts));
    torque = *read;
  }

  count_forks();
  std::unique_ptr<QuilletControlLoop> loop(new QuilletControlLoop());
  loop->process_ = fork_generation();
  loop->statistics_ = statistics;
  loop->loop_thread_ = std::make_shared<Cell<std::unique_ptr<LoopThreadHandle>>>();
  loop->stop_requested_ = std::make_shared<Cell<bool>>(false);
  loop->command_tx_.emplace(std::move(command_tx));
  loop->last_position_ = std::make_shared<Cell<PositionOutcome>>(std::move(first));
  loop->last_torque_ = std::make_shared<Cell<TorqueOutcome>>(torque);
  loop->motor_name_id_ = std::move(motor_name_id);

  auto ended_by_fault = std::make_shared<std::atomic<bool>>(false);
  try {
    auto state = std::make_unique<LoopThread>(std::move(controller), loop->stop_requested_,
                                              std::move(command_rx), loop->last_position_,
                                              loop->last_torque_, std::move(statistics), settings, clock);
    auto own_threads = std::make_shared<OwnThreads>();
    own_threads->ids[1] = state->neck_thread_id();
    std::thread thread([state = std::move(state), ended_by_fault, own_threads]() mutable {
      try {
        state->run();
      } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended from outside: let the unwinding through
      } catch (...) {
        ended_by_fault->store(true);
      }
      state.reset();  // the controller closes its buses before the thread counts as ended
      own_threads->running.store(false);
    });
    own_threads->ids[0] = thread.get_id();
    loop->own_threads_ = std::move(own_threads);
    loop->loop_thread_->with([&](std::unique_ptr<LoopThreadHandle>& handle, bool) {
      handle.reset(new LoopThreadHandle{std::move(thread), ended_by_fault});
    });
  } catch (const std::system_error&) {
    return std::unexpected(StartupError::Fault{"failed to spawn thread"});
  }
  return loop;
}

QuilletControlLoop::~QuilletControlLoop() {
  if (!in_creating_process()) {
    // The thread and the other holders of what is shared stayed in the parent, possibly with
    // its locks held: nothing is locked, joined or freed here, all of it is left as it is.
    struct LeftToTheParent {
      std::optional<LoopStatistics> statistics;
      std::shared_ptr<Cell<std::unique_ptr<LoopThreadHandle>>> loop_thread;
      std::shared_ptr<Cell<bool>> stop_requested;
      std::optional<CommandSender> command_tx;
      std::shared_ptr<Cell<PositionOutcome>> last_position;
      std::shared_ptr<Cell<TorqueOutcome>> last_torque;
      std::shared_ptr<const OwnThreads> own_threads;
    };
    (void)new LeftToTheParent{std::move(statistics_),    std::move(loop_thread_), std::move(stop_requested_),
                              std::move(command_tx_),    std::move(last_position_), std::move(last_torque_),
                              std::move(own_threads_)};
    return;
  }
  close();
  if (on_own_thread()) {
    // Nothing can wait for a thread from inside it: it ends by itself, and owns what it uses.
    loop_thread_->with([](std::unique_ptr<LoopThreadHandle>& handle, bool) {
      if (handle) handle->thread.detach();
    });
  }
}

bool QuilletControlLoop::on_own_thread() const {
  return own_threads_->running.load() &&
         std::ranges::find(own_threads_->ids, std::this_thread::get_id()) != own_threads_->ids.end();
}

bool QuilletControlLoop::in_creating_process() const { return process_ == fork_generation(); }

PositionOutcome QuilletControlLoop::get_last_position() const {
  auto [value, poisoned] = last_position_->copy();
  if (poisoned) QUILLET_LOG(Level::Error, kLogTarget, "last_position mutex was poisoned");
  return value;
}

TorqueOutcome QuilletControlLoop::is_torque_enabled() const {
  auto [value, poisoned] = last_torque_->copy();
  if (poisoned) QUILLET_LOG(Level::Error, kLogTarget, "last_torque mutex was poisoned");
  return value;
}

std::optional<ControlLoopStats> QuilletControlLoop::get_stats() const {
  if (!statistics_) return std::nullopt;
  auto [value, poisoned] = statistics_->last_stats->copy();
  if (poisoned) QUILLET_LOG(Level::Error, kLogTarget, "last_stats mutex was poisoned");
  return value;
}

std::expected<void, Closed<MotorCommand>> QuilletControlLoop::submit(MotorCommand command) {
  return command_tx_->send(std::move(command));
}

CommandSender::TrySend QuilletControlLoop::try_submit(MotorCommand command) {
  return command_tx_->try_send(std::move(command));
}

std::expected<Bytes, MotorError> QuilletControlLoop::async_read_raw_bytes(std::uint8_t id,
                                                                         std::uint8_t address,
                                                                         std::uint8_t length) {
  const auto unanswered = [&](std::string why) {
    return std::unexpected(MotorError::communication_failure().because(
        {"reading " + std::to_string(length) + " bytes at register " + std::to_string(address) + " of servo " +
         std::to_string(id) + ": " + std::move(why)}));
  };
  auto [reply, replied] = reply_channel<Bytes>();
  if (!submit(ReadRawBytes{id, address, length, std::move(reply)})) return unanswered("the control loop has ended");
  auto bytes = replied.recv_until(std::chrono::steady_clock::now() + kRawReadReplyTimeout);
  if (!bytes) {
    // The loop drops the reply of a read that failed on the bus; the log tells of the others.
    return unanswered(bytes.error() == ReplyReceiver<Bytes>::Failure::TimedOut
                          ? "no answer from the control loop within " + duration_text(kRawReadReplyTimeout)
                          : "the read failed on the bus, or the loop ended first");
  }
  return std::move(*bytes);
}

void QuilletControlLoop::close() {
  if (!in_creating_process()) return;
  stop_requested_->with([](bool& stop, bool poisoned) {
    if (!poisoned) stop = true;
  });
  // The loop would notice the flag only after its next event; waking it ends the wait now.
  command_tx_->wake_receiver();
  // From inside, the loop notices the flag once the code that called this has returned. The
  // handle stays for whoever closes from outside, or for the destructor.
  if (on_own_thread()) return;
  bool ended_by_fault = false;
  bool poisoned_lock = false;
  loop_thread_->with([&](std::unique_ptr<LoopThreadHandle>& handle, bool poisoned) {
    std::unique_ptr<LoopThreadHandle> taken = std::move(handle);
    if (!taken) return;
    taken->thread.join();
    ended_by_fault = taken->ended_by_fault->load();
    poisoned_lock = poisoned;
  });
  if (ended_by_fault) {
    // The payload of a C++ exception is opaque here, as it would be to any other caller.
    QUILLET_LOG(Level::Error, kLogTarget,
                std::string(poisoned_lock ? "Failed to join control loop thread (poisoned): "
                                          : "Failed to join control loop thread: ") +
                    "Any { .. }");
  }
}

}  // namespace quillet::control_loop
