#include "servo_bus/serial_port/serial_port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <asm/termbits.h>
#include <linux/serial.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>


namespace quillet::servo_bus {

namespace {

SerialPortError open_error(const std::string& path, std::string_view what, int error_number) {
  return SerialPortError("Failed to open serial port " + path + ": " + std::string(what) + ": " +
                         os_error_text(error_number));
}

// Any rate, through the kernel's termios2 (BOTHER): 1,000,000 has no Bxxx constant everywhere.
void set_speed(termios2& settings, std::uint32_t rate) {
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = rate;
  settings.c_ospeed = rate;
}

int poll_timeout_ms(std::chrono::milliseconds timeout) {
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 0));
}

}  // namespace

std::expected<std::unique_ptr<LinuxSerialPort>, SerialPortError> LinuxSerialPort::open(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return std::unexpected(open_error(path, "open", errno));

  // The advisory lock is what keeps a second opener out where TIOCEXCL does not (root).
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    const int error_number = errno;
    if (error_number == EWOULDBLOCK) return std::unexpected(SerialPortError(std::string(kExclusiveLockMessage)));
    return std::unexpected(open_error(path, "flock", error_number));
  }
  if (::ioctl(fd.get(), TIOCEXCL) != 0) return std::unexpected(open_error(path, "TIOCEXCL", errno));

  termios2 settings{};
  if (::ioctl(fd.get(), TCGETS2, &settings) != 0) return std::unexpected(open_error(path, "TCGETS2", errno));
  // Raw mode, as cfmakeraw does.
  settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                              IXOFF | IXANY | INPCK);
  settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  // 8N1, receiver on, modem control lines ignored, no hardware flow control. HUPCL (and so DTR)
  // is left as the driver set it.
  settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  settings.c_cflag |= CS8 | CREAD | CLOCAL;
  set_speed(settings, kServoBusBaudRate);
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 0;
  if (::ioctl(fd.get(), TCSETS2, &settings) != 0) return std::unexpected(open_error(path, "TCSETS2", errno));

  // USB-serial adapters otherwise hold short replies for up to 16 ms. Devices without the
  // request (pseudo-terminals, some drivers) open all the same.
  serial_struct serial{};
  if (::ioctl(fd.get(), TIOCGSERIAL, &serial) == 0 && !(serial.flags & ASYNC_LOW_LATENCY)) {
    serial.flags |= ASYNC_LOW_LATENCY;
    (void)::ioctl(fd.get(), TIOCSSERIAL, &serial);
  }

  return std::make_unique<LinuxSerialPort>(fd.release(), path);
}

LinuxSerialPort::LinuxSerialPort(int fd, std::string path) : fd_(fd), path_(std::move(path)) {
  const int flags = ::fcntl(fd_.get(), F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) (void)::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK);
}

LinuxSerialPort::~LinuxSerialPort() {
  // The exclusive flag belongs to the terminal, not to this descriptor: clear it so that the next
  // opener is not refused. Closing the descriptor then releases the flock.
  if (fd_.valid()) (void)::ioctl(fd_.get(), TIOCNXCL);
}

std::expected<void, IoError> LinuxSerialPort::set_baud_rate(std::uint32_t rate) {
  termios2 settings{};
  if (::ioctl(fd_.get(), TCGETS2, &settings) != 0) return std::unexpected(IoError::from_errno(errno));
  set_speed(settings, rate);
  if (::ioctl(fd_.get(), TCSETS2, &settings) != 0) return std::unexpected(IoError::from_errno(errno));
  return {};
}

std::expected<std::size_t, SerialPortError> LinuxSerialPort::bytes_to_read() {
  int waiting = 0;
  if (::ioctl(fd_.get(), FIONREAD, &waiting) != 0) {
    return std::unexpected(SerialPortError("Failed to query bytes to read on " + path_ + ": " + os_error_text(errno)));
  }
  return (tail_ - head_) + static_cast<std::size_t>(std::max(waiting, 0));
}

std::expected<void, IoError> LinuxSerialPort::wait_for(short events) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + timeout_;
  int wait_ms = poll_timeout_ms(timeout_);
  for (;;) {
    pollfd entry{fd_.get(), events, 0};
    const int ready = ::poll(&entry, 1, wait_ms);
    if (ready > 0) {
      if (entry.revents & POLLNVAL) return std::unexpected(IoError::from_errno(EBADF));
      if (!(entry.revents & events)) return std::unexpected(IoError{IoErrorKind::Other, "Serial port hung up"});
      return {};
    }
    if (ready == 0) return std::unexpected(IoError::timed_out());
    if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
    wait_ms = poll_timeout_ms(std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()));
  }
}

std::expected<void, IoError> LinuxSerialPort::read_exact(std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  // What the user-space buffer holds first.
  const std::size_t buffered = std::min(tail_ - head_, buffer.size());
  if (buffered > 0) {
    std::memcpy(buffer.data(), receive_buffer_ + head_, buffered);
    head_ += buffered;
    done = buffered;
  }
  if (head_ == tail_) head_ = tail_ = 0;

  bool polled = false;  // the last wait said data was there
  while (done < buffer.size()) {
    const std::size_t wanted = buffer.size() - done;
    // Small requests read ahead into the receive buffer; large ones go straight to the caller.
    const bool direct = wanted >= kReceiveBufferSize;
    std::uint8_t* target = direct ? buffer.data() + done : receive_buffer_;
    const std::size_t capacity = direct ? wanted : kReceiveBufferSize;
    const ssize_t got = ::read(fd_.get(), target, capacity);
    if (got > 0) {
      const auto count = static_cast<std::size_t>(got);
      if (direct) {
        done += count;
      } else {
        const std::size_t used = std::min(count, wanted);
        std::memcpy(buffer.data() + done, receive_buffer_, used);
        done += used;
        head_ = used;
        tail_ = count;
        if (head_ == tail_) head_ = tail_ = 0;
      }
      polled = false;
      continue;
    }
    // Nothing there: a raw terminal with VMIN = VTIME = 0 returns 0, a non-blocking one EAGAIN.
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno != EAGAIN) return std::unexpected(IoError::from_errno(errno));
    // Readable yet nothing to read: the line has hung up.
    if (polled) return std::unexpected(IoError{IoErrorKind::Other, "Serial port hung up"});
    if (auto ready = wait_for(POLLIN); !ready) return ready;
    polled = true;
  }
  return {};
}

std::expected<void, IoError> LinuxSerialPort::write_all(std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t put = ::write(fd_.get(), data.data() + done, data.size() - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if (put == 0) return std::unexpected(IoError{IoErrorKind::Other, "failed to write whole buffer"});
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      if (auto ready = wait_for(POLLOUT); !ready) return ready;
      continue;
    }
    return std::unexpected(IoError::from_errno(errno));
  }
  return {};
}

std::expected<void, IoError> LinuxSerialPort::flush() {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + timeout_;
  for (;;) {
    int queued = 0;
    if (::ioctl(fd_.get(), TIOCOUTQ, &queued) != 0) return std::unexpected(IoError::from_errno(errno));
    if (queued <= 0) break;
    if (clock::now() >= deadline) return std::unexpected(IoError::timed_out());
    // About 10 bytes at 1 Mbaud.
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  // The driver queue is empty: wait for the transmitter itself (a character time or so).
  while (::ioctl(fd_.get(), TCSBRK, 1) != 0) {
    if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
  }
  return {};
}

}  // namespace quillet::servo_bus
