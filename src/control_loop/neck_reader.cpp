#include "control_loop/neck_reader.hpp"

#include <cxxabi.h>

#include <utility>

namespace quillet::control_loop {

NeckReader::NeckReader(controller::QuilletMotorController& controller)
    : controller_(controller), thread_([this] {
        try {
          run();
        } catch (abi::__forced_unwind&) {
          throw;  // the thread is being ended from outside: let the unwinding through
        } catch (...) {
          {
            std::lock_guard lock(mutex_);
            fault_ = std::current_exception();
          }
          changed_.notify_all();
        }
      }) {}

NeckReader::~NeckReader() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void NeckReader::start() {
  {
    std::lock_guard lock(mutex_);
    requested_ = true;
  }
  changed_.notify_all();
}

NeckReader::Outcome NeckReader::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return outcome_.has_value() || fault_; });
  if (!outcome_) std::rethrow_exception(fault_);
  Outcome outcome = std::move(*outcome_);
  outcome_.reset();
  return outcome;
}

void NeckReader::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return requested_ || stopping_; });
    if (!requested_) return;  // stopping, with nothing asked for
    requested_ = false;
    lock.unlock();
    Outcome outcome = controller_.read_neck_positions();
    lock.lock();
    outcome_.emplace(std::move(outcome));
    changed_.notify_all();
  }
}

}  // namespace quillet::control_loop
