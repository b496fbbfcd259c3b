// The control loop: one thread that owns a controller of its own, reads every joint at a fixed
// period and, between two reads, executes the commands that other threads queue for it. Callers
// never touch a bus: they queue commands and copy the latest outcomes out of shared cells.
//
// Its units: startup.hpp (the checks, before any thread of the loop exists), cycle.hpp (the loop
// thread's passes), neck_reader.hpp (the thread lent the neck side for each read),
// torso_read.hpp (one read of the whole torso), handle_commands.hpp (one command), command.hpp and
// channel.hpp (what callers send and get back), cell.hpp (what the object shares with its thread),
// motor_error.hpp and records.hpp (the values callers get).
//
// No Python here: the loop logs through the log sink, and its callers (the Python class) decide
// how to wait without blocking anyone.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include "control_loop/cell.hpp"
#include "control_loop/command.hpp"
#include "control_loop/cycle.hpp"
#include "control_loop/motor_error.hpp"
#include "control_loop/records.hpp"
#include "control_loop/settings.hpp"
#include "control_loop/startup.hpp"
#include "controller/controller.hpp"
#include "platform/clock.hpp"

namespace quillet::control_loop {

class QuilletControlLoop {
 public:
  // The whole start-up on the caller's thread: the serial device must exist, the controller
  // opens, every motor answers, the servo supply comes up, the servos reboot, the first position
  // and torque state are read; then the loop thread starts. Whatever was opened is closed again
  // on failure.
  static std::expected<std::unique_ptr<QuilletControlLoop>, StartupError> create(
      const std::optional<std::string>& serialport, const std::string& can_bus,
      const LoopSettings& settings, const Interrupted& interrupted = {});

  // Start-up from the presence checks on, over a controller whose buses are already open.
  // `clock` paces the loop (its ticks, retries and start-up polls); it must run in real time,
  // since the loop also waits for commands until the next tick is due.
  static std::expected<std::unique_ptr<QuilletControlLoop>, StartupError> start(
      std::unique_ptr<controller::QuilletMotorController> controller, const LoopSettings& settings,
      const Interrupted& interrupted = {}, Clock& clock = real_clock());

  QuilletControlLoop(const QuilletControlLoop&) = delete;
  QuilletControlLoop& operator=(const QuilletControlLoop&) = delete;
  // Closes first: returns once the loop thread has ended. On one of the loop's own threads it
  // returns at once, and the thread ends by itself (it owns everything it still uses). In a
  // fork() child it releases nothing: what the object shares belongs to the parent.
  ~QuilletControlLoop();

  // Whether the caller runs on one of the loop's own threads (the loop thread, or the one that
  // reads the neck meanwhile), as a log handler or the garbage collector may: the loop cannot
  // move on until that code returns, so it must not wait for the loop (a reply, room in the
  // queue, close).
  bool on_own_thread() const;
  // False in a child of fork(): the object was copied there, but its thread was not, and its
  // queue, cells and thread handle may have been locked by threads that do not exist there.
  // Nothing but the destructor may be called then.
  bool in_creating_process() const;

  // Copies of the shared cells; they keep their last values after close.
  PositionOutcome get_last_position() const;
  TorqueOutcome is_torque_enabled() const;
  std::optional<ControlLoopStats> get_stats() const;  // absent without statistics
  const std::map<std::string, std::uint8_t>& motor_name_id() const { return motor_name_id_; }

  // Queues a command, waiting while 100 are queued (never on_own_thread). Fails ("channel
  // closed") once the loop has ended, handing the command back.
  std::expected<void, Closed<MotorCommand>> submit(MotorCommand command);
  // Queues a command only if that needs no wait (see QueueSender::try_send).
  CommandSender::TrySend try_submit(MotorCommand command);
  // Queues ReadRawBytes and waits at most 1 s (queueing included) for its reply (never
  // on_own_thread). A closed queue, a failed read and a reply later than 1 s are all
  // CommunicationFailure; a late read still runs, and its bytes are dropped.
  std::expected<Bytes, MotorError> async_read_raw_bytes(controller::ServoId id, std::uint8_t address,
                                                        controller::ReadLength length);

  // Asks the loop to stop after its current event, waits until it has executed what was queued
  // and released its controller, and joins it. Returns at once when already closed. On one of
  // the loop's own threads it only asks, and returns. In a fork() child it does nothing.
  void close();

 private:
  struct LoopThreadHandle;
  struct OwnThreads;
  QuilletControlLoop() = default;

  // Fields in this order; every cell is shared with the loop thread, which drops its own
  // references when it ends.
  std::optional<LoopStatistics> statistics_;
  std::shared_ptr<Cell<std::unique_ptr<LoopThreadHandle>>> loop_thread_;
  std::shared_ptr<Cell<bool>> stop_requested_;
  std::optional<CommandSender> command_tx_;
  std::shared_ptr<Cell<PositionOutcome>> last_position_;
  std::shared_ptr<Cell<TorqueOutcome>> last_torque_;
  std::map<std::string, std::uint8_t> motor_name_id_;
  // Set before the object is handed out.
  std::shared_ptr<const OwnThreads> own_threads_;  // shared with the loop thread
  std::uint64_t process_ = 0;                      // the fork generation it was created in
};

inline constexpr std::chrono::seconds kRawReadReplyTimeout{1};

// Why a caller is refused (the Python class raises them as RuntimeError, the first after the
// method's name: "write_raw_packet: cannot wait for the control loop from its own thread").
inline constexpr std::string_view kOwnThreadWait = "cannot wait for the control loop from its own thread";
inline constexpr std::string_view kCreatedBeforeFork =
    "a control loop created before fork() cannot be used in the child process";

}  // namespace quillet::control_loop
