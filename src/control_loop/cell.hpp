// A value behind a mutex, shared between the loop object and its thread. A C++ exception that
// leaves an access while the lock is held poisons the cell: its content may be half-written.
// Readers then still get the content, and are told so.
#pragma once

#include <exception>
#include <mutex>
#include <type_traits>
#include <utility>

namespace quillet::control_loop {

template <class T>
class Cell {
 public:
  template <class... Args>
  explicit Cell(Args&&... args) : value_(std::forward<Args>(args)...) {}

  Cell(const Cell&) = delete;
  Cell& operator=(const Cell&) = delete;

  // Calls `access(value, poisoned)` with the lock held and returns its result.
  template <class F>
  decltype(auto) with(F&& access) {
    std::lock_guard lock(mutex_);
    PoisonOnUnwind guard{poisoned_, std::uncaught_exceptions()};
    return access(value_, static_cast<bool>(poisoned_));
  }

  // A copy of the content, and whether the cell was poisoned.
  std::pair<T, bool> copy() {
    return with([](const T& value, bool poisoned) { return std::pair<T, bool>(value, poisoned); });
  }

 private:
  struct PoisonOnUnwind {
    bool& poisoned;
    int exceptions;
    ~PoisonOnUnwind() {
      if (std::uncaught_exceptions() > exceptions) poisoned = true;
    }
  };

  std::mutex mutex_;
  T value_;
  bool poisoned_ = false;
};

}  // namespace quillet::control_loop
