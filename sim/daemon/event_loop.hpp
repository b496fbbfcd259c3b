// A single-threaded epoll loop with one-shot timers. Everything of the torso runs on it, so the
// simulated devices need no locks and a request is answered within one wake-up.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

#include "clock.hpp"

namespace qsim {

class EventLoop {
 public:
  using IoHandler = std::function<void(std::uint32_t events)>;
  using Task = std::function<void()>;
  using TimerKey = std::pair<Nanos, std::uint64_t>;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Calls `handler` with the epoll events whenever `fd` is ready; replaces an earlier watch.
  void watch(int fd, std::uint32_t events, IoHandler handler);
  void unwatch(int fd);

  // Runs `task` once at monotonic time `when` (at once if it has passed). The key cancels it.
  TimerKey at(Nanos when, Task task);
  void cancel(TimerKey key);

  void run();
  void quit() { running_ = false; }

 private:
  // Whether any timer ran.
  bool run_due_timers();
  // Arms the timer file for `next` (0: none), early by the wake-up window.
  void arm_timer(Nanos next);

  int epoll_fd_ = -1;
  int timer_fd_ = -1;
  struct Watch {
    std::uint32_t generation;
    std::shared_ptr<IoHandler> handler;
  };
  std::unordered_map<int, Watch> watches_;
  std::uint32_t next_generation_ = 1;
  std::map<TimerKey, Task> timers_;
  std::uint64_t next_seq_ = 1;
  Nanos armed_for_ = -1;
  bool running_ = false;
};

}  // namespace qsim
