#include "control_loop/loop.hpp"

#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cxxabi.h>
#include <system_error>
#include <utility>

#include "control_loop/retry.hpp"
#include "support/log.hpp"

namespace quillet::control_loop {
namespace {

using controller::QuilletMotorController;
using log::Level;

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

std::unexpected<StartupError> failure(MotorError error) {
  return std::unexpected(StartupError(std::move(error)));
}

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
  auto first = start_up(*controller, settings, interrupted, clock);
  if (!first) return std::unexpected(std::move(first.error()));

  count_forks();
  std::unique_ptr<QuilletControlLoop> loop(new QuilletControlLoop());
  loop->process_ = fork_generation();
  if (settings.stats_pub_period) {
    loop->statistics_ = LoopStatistics{*settings.stats_pub_period, std::make_shared<Cell<ControlLoopStats>>()};
  }
  loop->loop_thread_ = std::make_shared<Cell<std::unique_ptr<LoopThreadHandle>>>();
  loop->stop_requested_ = std::make_shared<Cell<bool>>(false);
  auto [command_tx, command_rx] = bounded_queue<MotorCommand>(kCommandQueueCapacity);
  loop->command_tx_.emplace(std::move(command_tx));
  loop->last_position_ = std::make_shared<Cell<PositionOutcome>>(std::move(first->position));
  loop->last_torque_ = std::make_shared<Cell<TorqueOutcome>>(first->torque_enabled);
  loop->motor_name_id_ = std::move(first->motor_name_id);

  auto ended_by_fault = std::make_shared<std::atomic<bool>>(false);
  try {
    auto cycle = std::make_unique<LoopCycle>(
        std::move(controller), std::move(command_rx),
        SharedCells{loop->stop_requested_, loop->last_position_, loop->last_torque_, loop->statistics_}, settings,
        clock);
    auto own_threads = std::make_shared<OwnThreads>();
    own_threads->ids[1] = cycle->neck_thread_id();
    std::thread thread([cycle = std::move(cycle), ended_by_fault, own_threads]() mutable {
      try {
        cycle->run();
      } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended from outside: let the unwinding through
      } catch (...) {
        ended_by_fault->store(true);
      }
      cycle.reset();  // the controller closes its buses before the thread counts as ended
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

std::expected<Bytes, MotorError> QuilletControlLoop::async_read_raw_bytes(controller::ServoId id,
                                                                         std::uint8_t address,
                                                                         controller::ReadLength length) {
  const auto unanswered = [&](std::string why) {
    return std::unexpected(MotorError::communication_failure().because(
        {"reading " + std::to_string(length.value()) + " bytes at register " + std::to_string(address) +
         " of servo " + std::to_string(id.value()) + ": " + std::move(why)}));
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
