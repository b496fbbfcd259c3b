// The neck half of a position read, on a thread of its own. The servo line and the CAN bus are
// separate wires: while the loop thread reads the servos, this thread reads the three neck motors,
// so that a tick lasts about as long as the longer of the two reads instead of their sum.
//
// It uses only the controller's CAN side (read_neck_positions), and only between `start` and the
// `wait` that collects its outcome; the loop thread keeps to the servo side meanwhile and touches
// the CAN side again only after `wait` has returned.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "controller/controller.hpp"

namespace quillet::control_loop {

class NeckReader {
 public:
  using Outcome = controller::Result<controller::NeckPositions>;

  // Starts the thread (std::system_error when it cannot be created); it waits for `start`.
  explicit NeckReader(controller::QuilletMotorController& controller);
  NeckReader(const NeckReader&) = delete;
  NeckReader& operator=(const NeckReader&) = delete;
  // Lets a read in progress finish, then ends and joins the thread.
  ~NeckReader();

  // Begins one read of the three neck motors (the previous one must have been collected).
  void start();
  // The outcome of the read begun by `start`, once it is done. A C++ exception that ended the
  // reading thread is rethrown here, so that the loop thread ends by it as by one of its own.
  Outcome wait();

  std::thread::id thread_id() const { return thread_.get_id(); }

 private:
  void run();

  controller::QuilletMotorController& controller_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool requested_ = false;
  bool stopping_ = false;
  std::optional<Outcome> outcome_;
  std::exception_ptr fault_;  // what ended the thread, if anything did
  std::thread thread_;        // last: it starts once everything above exists
};

}  // namespace quillet::control_loop
