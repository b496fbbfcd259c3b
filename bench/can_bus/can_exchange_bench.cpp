// Process CPU time of the three neck feedback requests of one full read, over a
// SOCK_SEQPACKET socketpair whose other end is a forked process answering like the motors.
// The figure covers this process only (the kernel's work for the sending side included).
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "can_bus/damiao/driver.hpp"
#include "can_bus/transport/socketcan.hpp"

using namespace quillet::can_bus;
using namespace std::chrono_literals;

namespace {

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double seconds(const timeval& tv) { return tv.tv_sec + tv.tv_usec * 1e-6; }

double wall_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

[[noreturn]] void motors(int fd) {
  unsigned char buf[72];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) _exit(0);
    unsigned id = buf[8];  // feedback request: can_id low byte first
    unsigned char reply[16] = {};
    std::memcpy(reply, &id, 4);
    reply[4] = 8;
    reply[8] = static_cast<unsigned char>(0x10 | id);
    reply[9] = 0x7F;
    reply[10] = 0xFF;
    reply[11] = 0x7F;
    reply[12] = 0xF7;
    reply[13] = 0xFF;
    if (write(fd, reply, sizeof reply) != sizeof reply) _exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) return 1;
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    motors(fds[1]);
  }
  close(fds[1]);

  SocketCanTransport bus(fds[0]);
  const damiao::MitLimits limits{12.5f, 10.0f, 500.0f, 5.0f, 28.0f};
  damiao::Damiao neck[3] = {*damiao::Damiao::make(20ms, limits, 1, 1),
                            *damiao::Damiao::make(20ms, limits, 2, 2),
                            *damiao::Damiao::make(20ms, limits, 3, 3)};

  for (int i = 0; i < 1000; ++i) {
    for (auto& m : neck) (void)m.request_feedback(bus);
  }
  int failures = 0;
  rusage ru0{}, ru1{};
  getrusage(RUSAGE_SELF, &ru0);
  const double cpu0 = cpu_seconds(), wall0 = wall_seconds();
  for (int i = 0; i < rounds; ++i) {
    for (auto& m : neck) failures += !m.request_feedback(bus).has_value();
  }
  const double cpu = cpu_seconds() - cpu0, wall = wall_seconds() - wall0;
  getrusage(RUSAGE_SELF, &ru1);
  const double user = seconds(ru1.ru_utime) - seconds(ru0.ru_utime);
  const double sys = seconds(ru1.ru_stime) - seconds(ru0.ru_stime);

  shutdown(fds[0], SHUT_RDWR);
  waitpid(child, nullptr, 0);
  std::printf(
      "three feedback requests: %.2f us process CPU (user %.2f, system %.2f), %.2f us wall "
      "(%d rounds, %d failed)\n",
      cpu / rounds * 1e6, user / rounds * 1e6, sys / rounds * 1e6, wall / rounds * 1e6, rounds,
      failures);
  return failures != 0;
}
