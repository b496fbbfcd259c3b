// Process CPU time of the servo half of one full read (the SM40BL sync read of ids 1-4 and the
// STS3025BL sync read of ids 5-7), on a pseudo-terminal whose master side is a forked process
// answering like the servos. The figure covers this process only.
//   servo_read_bench [rounds] [split]   split: 1 = each servo's reply in a write of its own
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <vector>

#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "servo_bus/servo/feetech/sts3025bl.hpp"

using namespace quillet;
using servo_bus::feetech::sm40bl;
using servo_bus::feetech::sts3025bl;

namespace {

double clock_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool read_all(int fd, std::uint8_t* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = read(fd, out + done, n - done);
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

[[noreturn]] void servos(int master, bool split) {
  std::uint8_t request[260];
  for (;;) {
    if (!read_all(master, request, 4)) _exit(0);
    if (!read_all(master, request + 4, request[3])) _exit(0);
    const std::size_t ids = request[3] - 4;  // SyncRead: code, address, length, ids..., checksum
    std::vector<std::uint8_t> replies;
    for (std::size_t i = 0; i < ids; ++i) {
      const std::uint8_t id = request[7 + i];
      std::vector<std::uint8_t> reply{0xFF, 0xFF, id, static_cast<std::uint8_t>(request[6] + 2), 0};
      for (std::uint8_t b = 0; b < request[6]; ++b) reply.push_back(b == 0 ? 0x00 : 0x08);
      reply.push_back(servo_bus::feetech::checksum(std::span(reply).subspan(2)));
      if (split) {
        if (write(master, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) _exit(1);
      } else {
        replies.insert(replies.end(), reply.begin(), reply.end());
      }
    }
    if (!split && write(master, replies.data(), replies.size()) != static_cast<ssize_t>(replies.size())) _exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5000;
  const bool split = argc > 2 && std::atoi(argv[2]) != 0;

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return 1;
  auto port = servo_bus::LinuxSerialPort::open(ptsname(master));
  if (!port) {
    std::fprintf(stderr, "%s\n", port.error().message().c_str());
    return 1;
  }
  (*port)->set_timeout(std::chrono::milliseconds(1000));

  const pid_t child = fork();
  if (child == 0) {
    close((*port)->fd());  // so that the line hangs up when the parent closes it
    servos(master, split);
  }

  servo_bus::feetech::FeetechProtocolHandler handler;
  const std::array<std::uint8_t, 4> arm{1, 2, 3, 4};
  const std::array<std::uint8_t, 3> nose{5, 6, 7};
  double sum = 0;
  const double cpu0 = clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
  const double wall0 = clock_seconds(CLOCK_MONOTONIC);
  for (int i = 0; i < rounds; ++i) {
    auto a = sm40bl.sync_read_present_position(handler, **port, arm);
    auto n = sts3025bl.sync_read_present_position(handler, **port, nose);
    if (!a || !n) {
      std::fprintf(stderr, "round %d failed: %s\n", i, (!a ? a.error() : n.error()).message().c_str());
      return 1;
    }
    sum += (*a)[0] + (*n)[2];
  }
  const double cpu = clock_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  const double wall = clock_seconds(CLOCK_MONOTONIC) - wall0;
  port->reset();
  waitpid(child, nullptr, 0);

  close(master);
  std::printf("servo half of a full read (2 sync reads, 7 replies%s), %d rounds:\n",
              split ? ", one write per reply" : ", one write per group", rounds);
  std::printf("  process CPU %.1f us per round, wall %.1f us per round (checksum %.1f)\n", cpu / rounds * 1e6,
              wall / rounds * 1e6, sum);
  return 0;
}
