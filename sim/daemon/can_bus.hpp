// The simulated CAN bus: a broker on an abstract unix address per interface name, and the
// motors on it. Each client is one AF_CAN socket of a process under the SocketCAN stand-in.
//
// Client to broker, one message each: a 16-byte classic frame, a 72-byte FD frame, or one byte
// saying whether the client takes FD frames (1) or not (0, the start). Broker to client: frames
// only. A client's frame reaches every other client (FD frames only those that take them) and
// every motor; a motor's frame reaches every client.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "event_loop.hpp"
#include "motors.hpp"
#include "record.hpp"

namespace qsim {

struct CanSource {
  enum class Kind { Client, Motor, Foreign };
  Kind kind;
  int number;  // client number or motor id
};

struct CanEntry {
  Nanos time;
  CanSource source;
  CanFrame frame;
};

class CanBus {
 public:
  CanBus(EventLoop& loop, std::vector<std::uint8_t> motor_ids, bool wire_timing);
  ~CanBus();
  CanBus(const CanBus&) = delete;
  CanBus& operator=(const CanBus&) = delete;

  // Listens as `name`, or as the first free "vcanN" when it is empty; the reason on failure.
  std::string open(const std::string& name);
  const std::string& name() const { return name_; }

  Motor* motor(std::uint8_t id);
  std::vector<Motor>& motors() { return motors_; }

  // A frame of a foreign device.
  void inject(const CanFrame& frame);
  void set_foreign(Nanos period, int before_reply, std::uint32_t id_word, std::vector<std::uint8_t> data);

  Record<CanEntry>& record() { return record_; }

  // Reads what the clients sent. Before any frame is passed on, every pending connection is
  // accepted and every option byte already sent is applied: a socket bound before a frame was
  // written hears that frame, as on a real interface.
  // At most `limit` frames; the rest stays queued for the next call, so that one client
  // writing without pause cannot starve the rest of the torso.
  void pump(std::size_t limit = kPumpBatch);

  static constexpr std::size_t kPumpBatch = 256;
  // With wire timing, frames queue for the bus; past this many the bus drops them, as a
  // full transmit queue would.
  static constexpr std::size_t kMaxPending = 10'000;

 private:
  struct Client {
    int fd;
    int number;
    bool takes_fd;
  };
  struct Pending {
    Nanos due;
    CanFrame frame;
    CanSource source;
  };

  void accept_all();
  bool settle(int fd);  // applies the options at the head of the queue; true when a frame waits
  void settle_all();
  void drop_client(int fd);
  void submit(const CanFrame& frame, CanSource source);
  void deliver(const CanFrame& frame, CanSource source);
  void flush_due();
  void send_reply(const CanFrame& reply, std::uint8_t motor_id);
  void foreign_tick();
  CanFrame foreign_frame() const;

  EventLoop& loop_;
  std::vector<Motor> motors_;
  bool wire_timing_;
  std::string name_;
  int listen_fd_ = -1;
  std::map<int, Client> clients_;  // by fd
  int next_client_ = 1;
  int last_served_ = -1;
  bool pumping_ = false;
  std::deque<Pending> pending_;
  std::optional<EventLoop::TimerKey> flush_timer_;
  Nanos bus_free_ = 0;
  Nanos foreign_period_ = 0;
  int foreign_before_reply_ = 0;
  std::uint32_t foreign_id_ = 0x100;
  std::vector<std::uint8_t> foreign_data_;
  std::optional<EventLoop::TimerKey> foreign_timer_;
  std::map<std::uint64_t, EventLoop::TimerKey> late_replies_;
  std::uint64_t next_late_reply_ = 0;
  Record<CanEntry> record_;
};

// Time a frame holds a 1 Mbit/s bus (stuff bits left out).
Nanos frame_time(const CanFrame& frame);

}  // namespace qsim
