#include "control_loop/neck_reader.hpp"

#include <cxxabi.h>

namespace quillet::control_loop {

NeckReader::NeckReader()
    : thread_([this] {
        try {
          run();
        } catch (abi::__forced_unwind&) {
          throw;  // the thread is being ended from outside: let the unwinding through
        } catch (...) {
          {
            std::lock_guard lock(mutex_);
            fault_ = std::current_exception();
            lent_ = nullptr;
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

void NeckReader::start(controller::NeckSide& neck) {
  {
    std::lock_guard lock(mutex_);
    lent_ = &neck;
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

void NeckReader::finish() noexcept {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return lent_ == nullptr; });
  outcome_.reset();
}

void NeckReader::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return lent_ != nullptr || stopping_; });
    if (lent_ == nullptr) return;  // stopping, with nothing lent
    controller::NeckSide& neck = *lent_;
    lock.unlock();
    Outcome outcome = neck.read_neck_positions();
    lock.lock();
    outcome_.emplace(std::move(outcome));
    lent_ = nullptr;
    changed_.notify_all();
  }
}

}  // namespace quillet::control_loop
