// The monotonic clock and the sleep behind every pause that this system paces itself: the
// servo bus's clearing passes, the motor driver's settle time, the controller's polls and
// homing cycles, the control loop's retries and ticks. Code that waits takes a Clock, so that
// tests can pass one whose time moves only when asked and which records every sleep.
//
// How to use:
//   void settle(Clock& clock) { clock.sleep_for(std::chrono::milliseconds(100)); }
//   settle(real_clock());                       // in the module: the process's clock
//   const auto deadline = clock.now() + timeout;
#pragma once

#include <chrono>

namespace quillet {

class Clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;

  virtual time_point now() = 0;
  virtual void sleep_for(std::chrono::nanoseconds duration) = 0;

 protected:
  // Never owned through this interface; kept trivial so that the process's clock is never
  // destroyed under a thread that still sleeps on it at exit.
  ~Clock() = default;
};

// std::chrono::steady_clock and std::this_thread::sleep_for; shared by every thread.
Clock& real_clock();

}  // namespace quillet
