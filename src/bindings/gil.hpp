// Waiting on another thread from a Python thread without keeping the interpreter lock while
// blocked: the thread waited on may need that lock to deliver its log records.
//
// How to use (the interpreter lock held on entry and again on return):
//   std::unique_lock lock = lock_releasing_gil(object_mutex);      // a controller object's mutex
//   auto lock = wait_releasing_gil(cv, mutex, [&] { return ready; }); // a condition
//   auto [lock, ok] = wait_until_releasing_gil(cv, mutex, deadline, [&] { return ready; });
//   without_gil([&] { loop_thread.join(); });                        // any other blocking call
// Each tries first with the lock kept and releases it only when it would block. A C++ mutex is
// never waited for while holding the interpreter lock, and the interpreter lock is never waited
// for while holding a mutex that some Python thread could wait for: `lock_releasing_gil` is the
// exception, correct only if every thread takes that mutex through it (whoever holds it may
// then wait for the interpreter lock, since nobody holding that lock blocks on the mutex).
// During interpreter shutdown CPython may end a daemon thread when it takes the interpreter lock
// back: do not call these from a noexcept function.
#pragma once

#include "bindings/python.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <type_traits>
#include <utility>

namespace quillet::py {

namespace detail {
// Takes the interpreter lock back when it goes. Never from inside a catch-all: during
// interpreter shutdown taking the lock back may end this thread by a forced unwind, which a
// handler that does not rethrow it would turn into an abort.
struct RestoreThread {
  explicit RestoreThread(PyThreadState* saved) noexcept : state(saved) {}
  RestoreThread(const RestoreThread&) = delete;
  RestoreThread& operator=(const RestoreThread&) = delete;
  ~RestoreThread() noexcept(false) { PyEval_RestoreThread(state); }
  PyThreadState* state;
};
}  // namespace detail

// Runs `blocking` with the interpreter lock released; `blocking` must not touch Python.
template <class F>
decltype(auto) without_gil(F&& blocking) {
  detail::RestoreThread restore{PyEval_SaveThread()};
  return blocking();
}

template <class Mutex>
std::unique_lock<Mutex> lock_releasing_gil(Mutex& mutex) {
  std::unique_lock<Mutex> lock(mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    PyThreadState* state = PyEval_SaveThread();
    try {
      lock.lock();
    } catch (...) {
      PyEval_RestoreThread(state);
      throw;
    }
    PyEval_RestoreThread(state);
  }
  return lock;
}

struct TimedWait {
  std::unique_lock<std::mutex> lock;  // held on return
  bool satisfied;                     // the predicate's value on return
};

// Returns with `mutex` locked, `ready()` true and the interpreter lock held. `ready` is called
// with the mutex held, sometimes without the interpreter lock: it must not touch Python.
template <class Pred>
std::unique_lock<std::mutex> wait_releasing_gil(std::condition_variable& cv, std::mutex& mutex,
                                                Pred ready) {
  std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
  for (;;) {
    if (lock.try_lock()) {
      if (ready()) return lock;
      lock.unlock();
    }
    without_gil([&] {
      std::unique_lock<std::mutex> inner(mutex);
      cv.wait(inner, ready);
    });
  }
}

// As above with a deadline: `satisfied` is false when the deadline passed first.
template <class Clock, class Duration, class Pred>
TimedWait wait_until_releasing_gil(std::condition_variable& cv, std::mutex& mutex,
                                         const std::chrono::time_point<Clock, Duration>& deadline,
                                         Pred ready) {
  std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
  for (;;) {
    if (lock.try_lock()) {
      if (ready()) return {std::move(lock), true};
      if (Clock::now() >= deadline) return {std::move(lock), false};
      lock.unlock();
    }
    without_gil([&] {
      std::unique_lock<std::mutex> inner(mutex);
      cv.wait_until(inner, deadline, ready);
    });
  }
}

}  // namespace quillet::py
