#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "pty_bus.hpp"
#include "servo_bus/serial_port/serial_port.hpp"

namespace quillet::servo_bus {
namespace {

using testing::Bytes;
using testing::Pty;

struct SerialPortOnPty : testing::PtyFixture {};

TEST(LinuxSerialPortOpen, SecondOpenFailsWhileTheFirstIsHeldAndSucceedsAfterClose) {
  Pty pty;
  auto first = LinuxSerialPort::open(pty.slave_path());
  ASSERT_TRUE(first.has_value()) << first.error().message();

  auto second = LinuxSerialPort::open(pty.slave_path());
  ASSERT_FALSE(second.has_value());
  // Root passes TIOCEXCL; the flock keeps it out with this text. Others fail at open().
  if (::geteuid() == 0) {
    EXPECT_EQ(second.error().message(), "Unable to acquire exclusive lock on serial port");
  } else {
    EXPECT_FALSE(second.error().message().empty());
  }

  first->reset();
  auto third = LinuxSerialPort::open(pty.slave_path());
  EXPECT_TRUE(third.has_value()) << third.error().message();
}

TEST(LinuxSerialPortOpen, MissingDeviceNamesThePath) {
  auto opened = LinuxSerialPort::open("/dev/quillet-no-such-serial-device");
  ASSERT_FALSE(opened.has_value());
  EXPECT_NE(opened.error().message().find("/dev/quillet-no-such-serial-device"), std::string::npos)
      << opened.error().message();
}

TEST(LinuxSerialPortOpen, NonTerminalFailsWithThePath) {
  auto opened = LinuxSerialPort::open("/dev/null");
  ASSERT_FALSE(opened.has_value());
  EXPECT_NE(opened.error().message().find("/dev/null"), std::string::npos) << opened.error().message();
}

TEST_F(SerialPortOnPty, TerminalIsRaw8N1AtOneMegabaud) {
  termios2 settings{};
  ASSERT_EQ(::ioctl(port->fd(), TCGETS2, &settings), 0);
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(settings.c_cflag & CREAD, 0u);
  EXPECT_NE(settings.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(settings.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
  EXPECT_EQ(settings.c_ospeed, 1'000'000u);
}

TEST_F(SerialPortOnPty, ReadExactTimesOutWithOperationTimedOut) {
  std::uint8_t buffer[4];
  auto read = port->read_exact(buffer);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().kind(), IoErrorKind::TimedOut);
  EXPECT_EQ(read.error().message(), "Operation timed out");
}

TEST_F(SerialPortOnPty, BytesToReadCountsWhatReadExactLeaves) {
  pty.send(Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
  testing::wait_until_waiting(*port, 16);
  std::uint8_t four[4];
  ASSERT_TRUE(port->read_exact(four).has_value());
  EXPECT_EQ(Bytes(four, four + 4), (Bytes{0, 1, 2, 3}));
  EXPECT_EQ(port->bytes_to_read().value(), 12u);

  pty.send(Bytes{16, 17});
  testing::wait_until_waiting(*port, 14);
  std::uint8_t rest[14];
  ASSERT_TRUE(port->read_exact(rest).has_value());
  EXPECT_EQ(rest[0], 4);
  EXPECT_EQ(rest[13], 17);
  EXPECT_EQ(port->bytes_to_read().value(), 0u);

  std::uint8_t none[1];
  EXPECT_FALSE(port->read_exact(none).has_value());
}

TEST_F(SerialPortOnPty, ReadExactWaitsForBytesArrivingInPieces) {
  port->set_timeout(std::chrono::milliseconds(500));
  std::thread feeder([&] {
    for (std::uint8_t i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      pty.send(Bytes{i, i});
    }
  });
  std::uint8_t buffer[10];
  auto read = port->read_exact(buffer);
  feeder.join();
  ASSERT_TRUE(read.has_value()) << read.error().message();
  EXPECT_EQ(Bytes(buffer, buffer + 10), (Bytes{0, 0, 1, 1, 2, 2, 3, 3, 4, 4}));
}

TEST_F(SerialPortOnPty, LargeReadsBypassTheReceiveBuffer) {
  Bytes big(3000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  port->set_timeout(std::chrono::milliseconds(500));
  pty.send(big);
  Bytes got(3000);
  ASSERT_TRUE(port->read_exact(got).has_value());
  EXPECT_EQ(got, big);
}

TEST_F(SerialPortOnPty, WriteAllAndFlushPutEverythingOnTheLine) {
  const Bytes data{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
  ASSERT_TRUE(port->write_all(data).has_value());
  ASSERT_TRUE(port->flush().has_value());
  EXPECT_EQ(pty.receive(data.size()), data);
}

TEST_F(SerialPortOnPty, ReadFailsWhenTheFarEndHangsUp) {
  pty.close_master();
  std::uint8_t buffer[1];
  auto read = port->read_exact(buffer);
  ASSERT_FALSE(read.has_value());
  EXPECT_NE(read.error().kind(), IoErrorKind::TimedOut);
}

TEST(LinuxSerialPort, AdoptsAnOpenDescriptor) {
  Pty pty;
  const int fd = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  {
    LinuxSerialPort port(fd, pty.slave_path());
    EXPECT_EQ(port.fd(), fd);
    EXPECT_EQ(port.timeout(), std::chrono::milliseconds(10));
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  }
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // closed with its owner
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace quillet::servo_bus
