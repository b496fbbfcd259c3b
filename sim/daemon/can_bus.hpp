// The simulated CAN bus: a broker on an abstract unix address per interface name, and the
// motors on it. Each client is one AF_CAN socket of a process under the SocketCAN stand-in;
// the messages are those of broker_protocol.hpp.
//
// The broker does what the kernel does for raw sockets on a vcan: a client's frame reaches
// every other client that wants it (receive filters, error mask, FD frames) unless the writer
// turned local loopback off, comes back to the writer only when it asked for its own frames,
// and reaches every motor. A motor's frame reaches every client that wants it. A client that
// does not read loses frames once its receive buffer is full, and is told how many.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "broker_protocol.hpp"
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

// One receive filter of a raw socket, as the kernel's struct can_filter.
struct CanFilter {
  std::uint32_t id;
  std::uint32_t mask;
};

// What a raw socket asked for; the defaults are those of a new socket.
struct ClientSettings {
  bool takes_fd = false;
  bool loopback = true;
  bool receive_own = false;
  bool join_filters = false;
  bool any_interface = false;
  std::uint32_t error_mask = 0;
  std::uint32_t receive_buffer = 212992;
  std::vector<CanFilter> filters{CanFilter{0, 0}};

  // Whether a frame passes the filters and the error mask (FD and loopback aside).
  bool wants(const CanFrame& frame) const;
};

class CanBus {
 public:
  CanBus(EventLoop& loop, std::vector<std::uint8_t> motor_ids, bool wire_timing, bool fd_capable);
  ~CanBus();
  CanBus(const CanBus&) = delete;
  CanBus& operator=(const CanBus&) = delete;

  // Listens as `name`, or as the first free "vcanN" when it is empty; the reason on failure.
  std::string open(const std::string& name);
  const std::string& name() const { return name_; }
  bool fd_capable() const { return fd_capable_; }

  Motor* motor(std::uint8_t id);
  std::vector<Motor>& motors() { return motors_; }

  // Whether some device acknowledges frames. While none does, what the host writes stays in the
  // interface's transmit queue (writes past its length are refused with ENOBUFS, by the
  // SocketCAN stand-in), the motors receive nothing, and every frame tried brings an ACK error
  // frame to the sockets that ask for them. Acknowledged again, the queue goes out in order.
  void set_acknowledged(bool acknowledged);
  bool acknowledged() const { return acknowledged_; }

  // A frame of a foreign device.
  void inject(const CanFrame& frame);
  void set_foreign(Nanos period, int before_reply, std::uint32_t id_word, std::vector<std::uint8_t> data);

  Record<CanEntry>& record() { return record_; }

  // Reads what the clients sent. Before any frame is passed on, every pending connection is
  // accepted and every setting already sent is applied: a socket bound before a frame was
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
    ClientSettings settings;
    std::uint32_t drops = 0;
    // Connections to the brokers of other interfaces, by name: where frames the client sends
    // to them go, and (bound to every interface) where frames of theirs come from.
    std::map<std::string, int> proxies;
  };
  struct Pending {
    Nanos due;
    CanFrame frame;
    CanSource source;
  };

  void accept_all();
  // Applies the messages at the head of the queue that are not frames; the size of the frame
  // that waits, or 0.
  std::size_t settle(int fd);
  void settle_all();
  // `acknowledgement`, when not negative, goes on with the settings sent to the client's proxies;
  // the caller closes it.
  void apply_settings(Client& client, std::span<const std::uint8_t> message, int acknowledgement);
  void drop_client(int fd);
  void submit(const CanFrame& frame, CanSource source);
  void deliver(const CanFrame& frame, CanSource source);
  // Sends one message to a client unless its receive buffer is full (then counts a drop).
  void send_to(Client& client, std::span<const std::uint8_t> message);
  std::vector<std::uint8_t> delivery(const Client& client, const CanFrame& frame, std::uint8_t flags,
                                     const char* interface) const;
  void send_reply(const CanFrame& reply, std::uint8_t motor_id);
  // Queues a client's frame while nobody acknowledges, and tells of the failed attempt.
  void hold(const CanFrame& frame, CanSource source);
  void send_hello(int fd);
  void flush_due();
  void foreign_tick();
  CanFrame foreign_frame() const;

  // Connections to other interfaces' brokers on a client's behalf.
  int proxy_for(Client& client, const std::string& interface);
  void open_proxies(Client& client);
  void send_proxy_settings(const Client& client, int proxy_fd, int acknowledgement);
  void on_proxy(int client_fd, int proxy_fd);
  void close_proxy(Client& client, const std::string& interface);

  EventLoop& loop_;
  std::vector<Motor> motors_;
  bool wire_timing_;
  bool fd_capable_;
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
  // The transmit queue shared with the clients (a memfd, and its mapping here).
  int queue_fd_ = -1;
  quillet::sim::can_broker::TransmitQueue* queue_ = nullptr;
  bool acknowledged_ = true;
  std::deque<Pending> held_;
  std::map<std::uint64_t, EventLoop::TimerKey> late_replies_;
  std::uint64_t next_late_reply_ = 0;
  Record<CanEntry> record_;
};

// Time a frame holds a 1 Mbit/s bus (stuff bits left out).
Nanos frame_time(const CanFrame& frame);

}  // namespace qsim
