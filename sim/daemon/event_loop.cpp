#include "event_loop.hpp"

#include <sched.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qsim {

namespace {
constexpr std::uint32_t kTimerGeneration = 0;

std::uint64_t pack(std::uint32_t generation, int fd) {
  return (static_cast<std::uint64_t>(generation) << 32) | static_cast<std::uint32_t>(fd);
}

[[noreturn]] void fatal(const char* what) {
  std::perror(what);
  std::exit(2);
}
}  // namespace

EventLoop::EventLoop() {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) fatal("epoll_create1");
  timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer_fd_ < 0) fatal("timerfd_create");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = pack(kTimerGeneration, timer_fd_);
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, timer_fd_, &ev) != 0) fatal("epoll_ctl");
}

EventLoop::~EventLoop() {
  close(timer_fd_);
  close(epoll_fd_);
}

void EventLoop::watch(int fd, std::uint32_t events, IoHandler handler) {
  const std::uint32_t generation = next_generation_++;
  if (next_generation_ == kTimerGeneration) ++next_generation_;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = pack(generation, fd);
  const bool known = watches_.contains(fd);
  if (epoll_ctl(epoll_fd_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) fatal("epoll_ctl");
  watches_[fd] = Watch{generation, std::make_shared<IoHandler>(std::move(handler))};
}

void EventLoop::unwatch(int fd) {
  if (watches_.erase(fd) > 0) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
}

EventLoop::TimerKey EventLoop::at(Nanos when, Task task) {
  TimerKey key{when, next_seq_++};
  timers_.emplace(key, std::move(task));
  return key;
}

void EventLoop::cancel(TimerKey key) { timers_.erase(key); }

namespace {
constexpr Nanos kWakeUpWindow = 60 * kMicrosecond;
constexpr Nanos kLinger = 300 * kMicrosecond;
}  // namespace

bool EventLoop::run_due_timers() {
  const Nanos t = now();
  bool ran = false;
  while (running_ && !timers_.empty() && timers_.begin()->first.first <= t) {
    auto node = timers_.extract(timers_.begin());
    node.mapped()();
    ran = true;
  }
  return ran;
}

void EventLoop::arm_timer(Nanos next) {
  // Waking from a timer costs tens of microseconds here, as much as a few bytes on the wire:
  // the timer file fires that much early and the loop polls without sleeping until the time is
  // due, so that paced replies leave on time.
  const Nanos wake = next == 0 ? 0 : next - kWakeUpWindow;
  if (wake != armed_for_) {
    itimerspec spec{};
    if (wake != 0) {
      // An absolute time of 0 would disarm the timer; a past one fires at once.
      const Nanos when = wake > 0 ? wake : 1;
      spec.it_value.tv_sec = when / kSecond;
      spec.it_value.tv_nsec = when % kSecond;
    }
    timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &spec, nullptr);
    armed_for_ = wake;
  }
}

void EventLoop::run() {
  running_ = true;
  epoll_event events[64];
  Nanos last_activity = now();
  while (running_) {
    // A reply leaving on a timer is activity too: the host's next request follows it.
    if (run_due_timers()) last_activity = now();
    if (!running_) break;
    const Nanos next = timers_.empty() ? 0 : timers_.begin()->first.first;
    const Nanos t = now();
    const bool soon = next != 0 && next - t <= kWakeUpWindow;
    // A device on a real bus listens all the time. While exchanges follow each other, the loop
    // keeps polling instead of sleeping, so that the next request is not answered a wake-up late;
    // after a short quiet spell it sleeps again.
    const bool busy = t - last_activity < kLinger;
    // The timer file is armed only before sleeping: setting it costs more than a poll on a
    // virtual machine, and a polling loop runs its timers itself.
    if (!soon && !busy) arm_timer(next);
    const int n = epoll_wait(epoll_fd_, events, 64, soon || busy ? 0 : -1);
    if (n > 0) last_activity = now();
    // Polling must not hold the CPU from the host: a program under test, or the kernel worker
    // that carries the pseudo-terminal's bytes, woken on this CPU runs at once instead of after
    // the poller's time slice.
    if (n == 0 && busy) sched_yield();
    if (n < 0) {
      if (errno == EINTR) continue;
      fatal("epoll_wait");
    }
    for (int i = 0; i < n && running_; ++i) {
      const auto generation = static_cast<std::uint32_t>(events[i].data.u64 >> 32);
      const int fd = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
      if (generation == kTimerGeneration && fd == timer_fd_) {
        std::uint64_t expirations = 0;
        [[maybe_unused]] auto r = read(timer_fd_, &expirations, sizeof expirations);
        armed_for_ = -1;
        continue;
      }
      auto it = watches_.find(fd);
      // A handler earlier in this batch may have closed the fd or reused its number.
      if (it == watches_.end() || it->second.generation != generation) continue;
      auto handler = it->second.handler;
      (*handler)(events[i].events);
    }
  }
}

}  // namespace qsim
