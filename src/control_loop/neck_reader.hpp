// The neck half of a position read, on a thread of its own. The servo line and the CAN bus are
// separate wires: while the loop thread reads the servos, this thread reads the three neck motors,
// so that a tick lasts about as long as the longer of the two reads instead of their sum.
//
// The thread holds no part of the controller: it is lent the neck side for one read at a time,
// by `read_alongside`, which returns only once the thread is done with it.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "controller/neck_side.hpp"

namespace quillet::control_loop {

class NeckReader {
 public:
  using Outcome = controller::Result<controller::NeckPositions>;

  // Starts the thread (std::system_error when it cannot be created); it waits for a read.
  NeckReader();
  NeckReader(const NeckReader&) = delete;
  NeckReader& operator=(const NeckReader&) = delete;
  // Lets a read in progress finish, then ends and joins the thread.
  ~NeckReader();

  // Reads the three neck motors through `neck` on the neck thread while `read_servos()` runs on
  // the calling thread; both outcomes once both are done. Until then `neck` is the neck thread's
  // alone, and `read_servos` must keep to the servo side. A C++ exception that ended the neck
  // thread is rethrown here, so that the calling thread ends by it as by one of its own.
  template <class ReadServos>
  std::pair<std::invoke_result_t<ReadServos&>, Outcome> read_alongside(controller::NeckSide& neck,
                                                                       ReadServos&& read_servos) {
    start(neck);
    std::optional<std::invoke_result_t<ReadServos&>> servos;
    try {
      servos.emplace(read_servos());
    } catch (...) {
      finish();  // the neck thread lets go of the side before this thread unwinds
      throw;
    }
    Outcome neck_outcome = wait();
    return {std::move(*servos), std::move(neck_outcome)};
  }

  std::thread::id thread_id() const { return thread_.get_id(); }

 private:
  void start(controller::NeckSide& neck);
  Outcome wait();
  void finish() noexcept;
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  controller::NeckSide* lent_ = nullptr;  // set by start, cleared by the thread when it is done
  bool stopping_ = false;
  std::optional<Outcome> outcome_;
  std::exception_ptr fault_;  // what ended the thread, if anything did
  std::thread thread_;        // last: it starts once everything above exists
};

}  // namespace quillet::control_loop
