// The servo line: a pseudo-terminal whose slave side the host opens as its serial device, and
// the servos on the master side. Replies leave in line order, at once or (with wire timing, a
// delay fault, an empty slot of a sync read) when their last byte would have arrived. The host
// writing again ends the exchange: replies that have not started by then are never sent.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "event_loop.hpp"
#include "record.hpp"
#include "servos.hpp"

namespace qsim {

struct ServoEntry {
  enum class Source { Host, Servo, Line };
  Nanos time;
  Source source;
  std::uint8_t servo_id;  // for Source::Servo
  const char* kind;
  Bytes data;
};

// The rate the host set on its end of a line, from the master of the pseudo-terminal; 0 when
// it cannot be told.
std::uint32_t host_baud_rate(int master);
// Sets the rate of a terminal (any rate, as the kernel's termios2 takes it).
bool set_line_baud_rate(int fd, std::uint32_t rate);

class ServoLine {
 public:
  // 10 bits a byte at 1 Mbaud.
  static constexpr Nanos kByteTime = 10 * kMicrosecond;
  static constexpr Nanos kNoisePeriod = kMillisecond;

  ServoLine(EventLoop& loop, ServoBus& bus, bool wire_timing, std::optional<std::string> link);
  ~ServoLine();
  ServoLine(const ServoLine&) = delete;
  ServoLine& operator=(const ServoLine&) = delete;

  // Opens a new pseudo-terminal; an empty string on success, else the reason.
  std::string plug();
  void unplug();
  bool plugged() const { return master_ >= 0; }
  const std::string& pty_path() const { return pty_path_; }

  // Takes in what the host has written so far (also what the kernel still holds in transit).
  void take_input();

  void inject(std::span<const std::uint8_t> bytes);
  void set_noise(int bytes_per_period);

  Record<ServoEntry>& record() { return record_; }

 private:
  struct Outgoing {
    Nanos start;  // when its first byte goes on the line
    Nanos due;    // when the host has all of it
    std::uint8_t servo_id;
    Bytes bytes;
  };

  void schedule_replies(std::size_t request_size, std::vector<ServoBus::Reply> replies, Nanos t);
  void give_up_waiting_replies(Nanos t);
  void flush_due();
  void write_line(std::span<const std::uint8_t> bytes);
  void noise_tick();
  void add_record(ServoEntry::Source source, std::uint8_t id, const char* kind, Bytes data, Nanos t);
  std::string update_link();
  void remove_link();

  EventLoop& loop_;
  ServoBus& bus_;
  bool wire_timing_;
  std::optional<std::string> link_;
  int master_ = -1;
  int slave_ = -1;  // held open so the line never hangs up between two users
  std::string pty_path_;
  PacketParser parser_;
  std::deque<Outgoing> outgoing_;
  std::optional<EventLoop::TimerKey> flush_timer_;
  Nanos line_free_ = 0;
  Nanos host_free_ = 0;  // with wire timing: when the host's last packet has crossed the line
  int noise_per_period_ = 0;
  std::uint8_t noise_next_ = 0;
  std::optional<EventLoop::TimerKey> noise_timer_;
  Record<ServoEntry> record_;
};

}  // namespace qsim
