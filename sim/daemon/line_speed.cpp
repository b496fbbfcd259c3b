// Apart from servo_line.cpp: the kernel's termios2, which carries any rate, cannot share a file
// with the C library's termios.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "servo_line.hpp"

namespace qsim {

std::uint32_t host_baud_rate(int master) {
  // On a pseudo-terminal the master reads the settings of the slave, the host's end.
  termios2 settings{};
  if (ioctl(master, TCGETS2, &settings) != 0) return 0;
  return settings.c_ospeed;
}

bool set_line_baud_rate(int fd, std::uint32_t rate) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = settings.c_ospeed = rate;
  return ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace qsim
