#include "servo_line.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace qsim {

ServoLine::ServoLine(EventLoop& loop, ServoBus& bus, bool wire_timing, std::optional<std::string> link)
    : loop_(loop), bus_(bus), wire_timing_(wire_timing), link_(std::move(link)) {}

ServoLine::~ServoLine() {
  if (noise_timer_) loop_.cancel(*noise_timer_);
  unplug();
}

std::string ServoLine::plug() {
  if (plugged()) return {};
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) return std::string("posix_openpt: ") + std::strerror(errno);
  char name[PATH_MAX];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    const int e = errno;
    close(master);
    return std::string("pseudo-terminal setup: ") + std::strerror(e);
  }
  const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) {
    const int e = errno;
    close(master);
    return std::string("open ") + name + ": " + std::strerror(e);
  }
  // Raw from the start: a cooked line would echo the servos' replies back to them.
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  // At the servos' rate until the host sets one: the settings stay while the slave is held open.
  set_line_baud_rate(slave, ServoBus::kDefaultBaudRate);
  master_ = master;
  slave_ = slave;
  pty_path_ = name;
  parser_.reset();
  line_free_ = 0;
  host_free_ = 0;
  if (std::string error = update_link(); !error.empty()) {
    unplug();
    return error;
  }
  loop_.watch(master_, EPOLLIN, [this](std::uint32_t) { take_input(); });
  return {};
}

void ServoLine::unplug() {
  if (!plugged()) return;
  if (flush_timer_) loop_.cancel(*flush_timer_);
  flush_timer_.reset();
  outgoing_.clear();
  loop_.unwatch(master_);
  remove_link();
  close(slave_);
  close(master_);
  master_ = slave_ = -1;
}

std::string ServoLine::update_link() {
  if (!link_) return {};
  struct stat st {};
  if (lstat(link_->c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
    return "refusing to replace " + *link_ + ": not a symlink";
  // A new name renamed over the old one: the path never points nowhere while plugged in.
  const std::string temp = *link_ + ".quillet-sim-" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(pty_path_.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link_->c_str()) != 0) {
    const int e = errno;
    unlink(temp.c_str());
    return "symlink " + *link_ + ": " + std::strerror(e);
  }
  return {};
}

void ServoLine::remove_link() {
  if (!link_) return;
  char target[PATH_MAX];
  const ssize_t n = readlink(link_->c_str(), target, sizeof target - 1);
  if (n < 0) return;
  target[n] = '\0';
  if (pty_path_ == target) unlink(link_->c_str());
}

void ServoLine::add_record(ServoEntry::Source source, std::uint8_t id, const char* kind, Bytes data, Nanos t) {
  // A continuous stream would flood the record: one entry per run of noise.
  if (std::strcmp(kind, "noise") == 0) {
    if (ServoEntry* last = record_.last(); last && std::strcmp(last->kind, "noise") == 0) {
      last->data.insert(last->data.end(), data.begin(), data.end());
      return;
    }
  }
  record_.add(ServoEntry{t, source, id, kind, std::move(data)});
}

void ServoLine::take_input() {
  if (!plugged()) return;
  std::uint8_t buf[4096];
  for (;;) {
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return;  // EAGAIN (after the kernel flushed what was in transit), or EIO: nothing more
    }
    const Nanos t = now();
    const std::uint32_t rate = host_baud_rate(master_);  // the packets' rate, as the servos hear them
    for (auto& item : parser_.feed(std::span(buf, static_cast<std::size_t>(n)), t)) {
      // With wire timing, packets written together follow each other on the line.
      const Nanos begins = wire_timing_ ? std::max(t, host_free_) : t;
      if (wire_timing_) host_free_ = begins + static_cast<Nanos>(item.bytes.size()) * kByteTime;
      give_up_waiting_replies(begins);
      switch (item.kind) {
        case PacketParser::Kind::Junk:
          add_record(ServoEntry::Source::Host, 0, "junk", std::move(item.bytes), t);
          break;
        case PacketParser::Kind::BadChecksum:
          add_record(ServoEntry::Source::Host, 0, "bad_checksum", std::move(item.bytes), t);
          break;
        case PacketParser::Kind::Packet: {
          auto replies = bus_.handle(item.bytes, t, rate);
          const std::size_t size = item.bytes.size();
          add_record(ServoEntry::Source::Host, 0, "packet", std::move(item.bytes), t);
          schedule_replies(size, std::move(replies), t);
          break;
        }
      }
    }
  }
}

void ServoLine::schedule_replies(std::size_t request_size, std::vector<ServoBus::Reply> replies, Nanos t) {
  Nanos cursor = t;
  if (wire_timing_) {
    // The request has to cross the line before any servo can start its reply.
    cursor = std::max(t, line_free_) + static_cast<Nanos>(request_size) * kByteTime;
    line_free_ = cursor;
  }
  if (!outgoing_.empty()) cursor = std::max(cursor, outgoing_.back().due);
  for (auto& reply : replies) {
    cursor += reply.delay;
    const Nanos start = cursor;
    if (wire_timing_) cursor += static_cast<Nanos>(reply.bytes.size()) * kByteTime;
    outgoing_.push_back(Outgoing{start, cursor, reply.id, std::move(reply.bytes)});
  }
  if (wire_timing_) line_free_ = std::max(line_free_, cursor);
  flush_due();
}

// A servo still waiting for its turn when the host starts sending hears it and drops its
// reply, as on a half-duplex line: a late reply never lands in the middle of the next exchange.
void ServoLine::give_up_waiting_replies(Nanos t) {
  const auto waiting =
      std::find_if(outgoing_.begin(), outgoing_.end(), [t](const Outgoing& out) { return out.start > t; });
  if (waiting == outgoing_.end()) return;
  outgoing_.erase(waiting, outgoing_.end());
  line_free_ = outgoing_.empty() ? t : std::max(t, outgoing_.back().due);
  flush_due();
}

void ServoLine::flush_due() {
  if (!plugged()) return;
  const Nanos t = now();
  // Everything due leaves in one write: the host sees back-to-back replies arrive together.
  Bytes burst;
  std::size_t count = 0;
  for (const auto& out : outgoing_) {
    if (out.due > t) break;
    burst.insert(burst.end(), out.bytes.begin(), out.bytes.end());
    ++count;
  }
  if (count > 0) {
    write_line(burst);
    const Nanos written = now();
    for (std::size_t i = 0; i < count; ++i) {
      auto& out = outgoing_.front();
      add_record(ServoEntry::Source::Servo, out.servo_id, "reply", std::move(out.bytes), written);
      outgoing_.pop_front();
    }
  }
  if (flush_timer_) {
    loop_.cancel(*flush_timer_);
    flush_timer_.reset();
  }
  if (!outgoing_.empty()) {
    flush_timer_ = loop_.at(outgoing_.front().due, [this] {
      flush_timer_.reset();
      flush_due();
    });
  }
}

void ServoLine::write_line(std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the host's input buffer is full: the line drops what it cannot take
    }
    done += static_cast<std::size_t>(n);
  }
}

void ServoLine::inject(std::span<const std::uint8_t> bytes) {
  if (!plugged()) return;
  write_line(bytes);
  add_record(ServoEntry::Source::Line, 0, "garbage", Bytes(bytes.begin(), bytes.end()), now());
}

void ServoLine::set_noise(int bytes_per_period) {
  noise_per_period_ = std::max(0, bytes_per_period);
  if (noise_per_period_ > 0 && !noise_timer_) {
    noise_timer_ = loop_.at(now(), [this] { noise_tick(); });
  } else if (noise_per_period_ == 0 && noise_timer_) {
    loop_.cancel(*noise_timer_);
    noise_timer_.reset();
  }
}

void ServoLine::noise_tick() {
  noise_timer_ = loop_.at(now() + kNoisePeriod, [this] { noise_tick(); });
  if (!plugged()) return;
  Bytes bytes(static_cast<std::size_t>(noise_per_period_));
  for (auto& b : bytes) {
    b = noise_next_;
    noise_next_ = static_cast<std::uint8_t>((noise_next_ + 1) % 0xFF);  // never 0xFF: no header
  }
  write_line(bytes);
  add_record(ServoEntry::Source::Line, 0, "noise", std::move(bytes), now());
}

}  // namespace qsim
