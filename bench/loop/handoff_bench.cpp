// What it costs to hand one piece of blocking work to a second thread and collect its result,
// against doing the same wait on one thread with poll() over two descriptors: the two ways of
// keeping the servo line and the CAN bus in flight at the same time.
//
//   build/cpp-tests/bench/loop/handoff_bench [rounds]
//
// Handoff: the caller wakes a parked worker through a condition variable, the worker answers
// through another; per round the wall time from the wake to the answer (the worker's wake-up
// latency, which a tick pays once) and the CPU of both threads. Poll: one thread waits on two
// pipes with one poll() call per byte that arrives, the extra system call a single-threaded
// design pays for every reply it waits for on either bus.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
}

// The rounds' pacing alone: the caller's 200 us sleeps.
double baseline(int rounds) {
  const double cpu0 = cpu_seconds();
  for (int i = 0; i < rounds; ++i) std::this_thread::sleep_for(std::chrono::microseconds(200));
  return (cpu_seconds() - cpu0) / rounds;
}

void handoff(int rounds) {
  std::mutex mutex;
  std::condition_variable to_worker, to_caller;
  bool requested = false, done = false, stop = false;
  std::thread worker([&] {
    std::unique_lock lock(mutex);
    for (;;) {
      to_worker.wait(lock, [&] { return requested || stop; });
      if (stop) return;
      requested = false;
      done = true;
      to_caller.notify_one();
    }
  });
  std::vector<double> wall;
  const double cpu0 = cpu_seconds();
  for (int i = 0; i < rounds; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));  // the worker parks, as between ticks
    const auto t0 = Clock::now();
    {
      std::lock_guard lock(mutex);
      requested = true;
    }
    to_worker.notify_one();
    std::unique_lock lock(mutex);
    to_caller.wait(lock, [&] { return done; });
    done = false;
    wall.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
  }
  const double cpu = (cpu_seconds() - cpu0) / rounds;
  {
    std::lock_guard lock(mutex);
    stop = true;
  }
  to_worker.notify_one();
  worker.join();
  const double pacing = baseline(rounds);
  std::printf("handoff to a second thread: wake-to-answer median %6.1f us  p99 %6.1f us;  CPU per handoff %5.1f us\n",
              percentile(wall, 0.5) * 1e6, percentile(wall, 0.99) * 1e6, (cpu - pacing) * 1e6);
}

// A reader woken by a byte on one of two pipes: one blocking read() on the pipe it waits for,
// against poll() over both pipes and then the read().
double pipe_wait(int rounds, bool with_poll) {
  int a[2], b[2];
  if (pipe(a) != 0 || pipe(b) != 0) std::exit(1);
  std::thread writer([&] {
    for (int i = 0; i < rounds; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      const char byte = 'x';
      (void)!write(a[1], &byte, 1);
    }
  });
  const double cpu0 = cpu_seconds();
  for (int i = 0; i < rounds; ++i) {
    if (with_poll) {
      pollfd fds[2] = {{a[0], POLLIN, 0}, {b[0], POLLIN, 0}};
      poll(fds, 2, 100);
    }
    char byte;
    (void)!read(a[0], &byte, 1);
  }
  const double cpu = (cpu_seconds() - cpu0) / rounds;
  writer.join();
  for (int fd : {a[0], a[1], b[0], b[1]}) close(fd);
  return cpu;
}

void poll_two(int rounds) {
  const double plain = pipe_wait(rounds, false);
  const double polled = pipe_wait(rounds, true);
  std::printf("one thread, poll() over two descriptors: CPU per reply waited for %5.1f us more than a plain "
              "blocking read\n", (polled - plain) * 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
  handoff(rounds);
  poll_two(rounds);
}
