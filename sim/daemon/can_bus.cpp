#include "can_bus.hpp"

#include "broker_protocol.hpp"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qsim {

namespace {

constexpr int kClientSendBuffer = 1 << 20;  // room for bursts to a client that reads late
constexpr int kMaxAutoNames = 10'000;

// Listens on the abstract address of `name`; -1 with errno on failure.
int listen_on(const std::string& name) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  const socklen_t length = quillet::sim::can_broker::broker_address(name.c_str(), addr);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), length) != 0 || listen(fd, 64) != 0) {
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

}  // namespace

Nanos frame_time(const CanFrame& frame) {
  const bool extended = (frame.id_word & CanFrame::kExtendedFlag) != 0;
  const bool remote = (frame.id_word & CanFrame::kRemoteFlag) != 0;
  const int overhead = extended ? 67 : 47;
  const int data_bits = remote ? 0 : 8 * frame.len;
  return static_cast<Nanos>(overhead + data_bits) * kMicrosecond;
}

CanBus::CanBus(EventLoop& loop, std::vector<std::uint8_t> motor_ids, bool wire_timing)
    : loop_(loop), wire_timing_(wire_timing), foreign_data_(8, 0) {
  const Nanos t = now();
  for (const auto id : motor_ids) {
    if (auto limits = neck_limits(id)) motors_.emplace_back(id, *limits, t);
  }
}

CanBus::~CanBus() {
  if (flush_timer_) loop_.cancel(*flush_timer_);
  if (foreign_timer_) loop_.cancel(*foreign_timer_);
  for (const auto& [n, key] : late_replies_) loop_.cancel(key);
  while (!clients_.empty()) drop_client(clients_.begin()->first);
  if (listen_fd_ >= 0) {
    loop_.unwatch(listen_fd_);
    close(listen_fd_);
  }
}

std::string CanBus::open(const std::string& name) {
  if (!name.empty()) {
    if (name.size() > quillet::sim::can_broker::kMaxNameLength) return "CAN interface name longer than 15 characters: " + name;
    listen_fd_ = listen_on(name);
    if (listen_fd_ < 0) {
      return errno == EADDRINUSE ? "CAN interface " + name + " is already served"
                                 : "CAN interface " + name + ": " + std::strerror(errno);
    }
    name_ = name;
  } else {
    for (int n = 0; n < kMaxAutoNames && listen_fd_ < 0; ++n) {
      const std::string candidate = "vcan" + std::to_string(n);
      listen_fd_ = listen_on(candidate);
      if (listen_fd_ >= 0) {
        name_ = candidate;
      } else if (errno != EADDRINUSE) {
        return std::string("CAN bus: ") + std::strerror(errno);
      }
    }
    if (listen_fd_ < 0) return "no free vcanN name";
  }
  loop_.watch(listen_fd_, EPOLLIN, [this](std::uint32_t) { pump(); });
  return {};
}

Motor* CanBus::motor(std::uint8_t id) {
  for (auto& m : motors_)
    if (m.id() == id) return &m;
  return nullptr;
}

void CanBus::accept_all() {
  for (;;) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return;
    }
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kClientSendBuffer, sizeof kClientSendBuffer);
    clients_[fd] = Client{fd, next_client_++, false};
    loop_.watch(fd, EPOLLIN, [this](std::uint32_t) { pump(); });
  }
}

void CanBus::drop_client(int fd) {
  loop_.unwatch(fd);
  close(fd);
  clients_.erase(fd);
}

bool CanBus::settle(int fd) {
  std::uint8_t buf[128];
  for (;;) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) return false;
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0) {
      // A client that closed with frames of others unread reports a reset first (once), and
      // only then what it sent before closing.
      if (errno == EINTR || errno == ECONNRESET) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) drop_client(fd);
      return false;
    }
    if (n == 0) {
      // An empty message reads like end of file; only a hang-up tells them apart.
      pollfd p{fd, POLLRDHUP, 0};
      if (poll(&p, 1, 0) != 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        drop_client(fd);  // closed, like the name probe that connects and leaves at once
        return false;
      }
    }
    if (n == static_cast<ssize_t>(CanFrame::kClassicSize) || n == static_cast<ssize_t>(CanFrame::kFdSize))
      return true;
    recv(fd, buf, sizeof buf, MSG_DONTWAIT);  // an option byte, or a message of no known size
    if (n == 1 && buf[0] <= 1) it->second.takes_fd = buf[0] == 1;
  }
}

void CanBus::settle_all() {
  accept_all();
  std::vector<int> fds;
  for (const auto& [fd, client] : clients_) fds.push_back(fd);
  for (const int fd : fds) settle(fd);
}

void CanBus::pump(std::size_t limit) {
  if (pumping_) return;
  pumping_ = true;
  for (std::size_t taken = 0; taken < limit; ++taken) {
    accept_all();
    std::vector<int> fds;
    for (const auto& [fd, client] : clients_) fds.push_back(fd);
    // Every queue settled first, then one frame, taken round the clients in turn.
    std::vector<int> ready;
    for (const int fd : fds)
      if (settle(fd)) ready.push_back(fd);
    if (ready.empty()) break;
    auto next = std::upper_bound(ready.begin(), ready.end(), last_served_);
    const int fd = next != ready.end() ? *next : ready.front();
    last_served_ = fd;
    std::uint8_t buf[CanFrame::kFdSize];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) continue;
    const auto frame = CanFrame::from_message(std::span(buf, static_cast<std::size_t>(n)));
    const Client& client = clients_.at(fd);
    if (!frame || (frame->fd && !client.takes_fd)) continue;  // the kernel refuses those writes
    submit(*frame, CanSource{CanSource::Kind::Client, client.number});
  }
  pumping_ = false;
}

void CanBus::submit(const CanFrame& frame, CanSource source) {
  if (!wire_timing_) {
    deliver(frame, source);
    return;
  }
  if (pending_.size() >= kMaxPending) return;
  Nanos start = std::max(now(), bus_free_);
  if (!pending_.empty()) start = std::max(start, pending_.back().due);
  const Nanos due = start + frame_time(frame);
  bus_free_ = due;
  pending_.push_back(Pending{due, frame, source});
  flush_due();
}

void CanBus::flush_due() {
  const Nanos t = now();
  while (!pending_.empty() && pending_.front().due <= t) {
    Pending p = std::move(pending_.front());
    pending_.pop_front();
    deliver(p.frame, p.source);
  }
  if (flush_timer_) {
    loop_.cancel(*flush_timer_);
    flush_timer_.reset();
  }
  if (!pending_.empty()) {
    flush_timer_ = loop_.at(pending_.front().due, [this] {
      flush_timer_.reset();
      flush_due();
    });
  }
}

void CanBus::deliver(const CanFrame& frame, CanSource source) {
  if (!pumping_) settle_all();  // a timed delivery: sockets bound by now hear it
  const Nanos t = now();
  record_.add(CanEntry{t, source, frame});
  const auto message = frame.message();
  const bool from_client = source.kind == CanSource::Kind::Client;
  for (const auto& [fd, client] : clients_) {
    if (from_client && client.number == source.number) continue;  // never back to its writer
    if (frame.fd && !client.takes_fd) continue;
    // A client that does not read loses frames, as a full socket queue would.
    send(fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  if (!from_client) return;
  for (auto& motor : motors_) {
    const auto replies = motor.receive(frame, t);
    if (replies.empty()) continue;
    const Nanos delay = motor.take_reply_delay();
    for (const auto& reply : replies) {
      if (delay <= 0) {
        send_reply(reply, motor.id());
        continue;
      }
      const std::uint64_t n = next_late_reply_++;
      late_replies_[n] = loop_.at(t + delay, [this, n, reply, id = motor.id()] {
        late_replies_.erase(n);
        send_reply(reply, id);
      });
    }
  }
}

void CanBus::send_reply(const CanFrame& reply, std::uint8_t motor_id) {
  for (int i = 0; i < foreign_before_reply_; ++i)
    submit(foreign_frame(), CanSource{CanSource::Kind::Foreign, 0});
  submit(reply, CanSource{CanSource::Kind::Motor, motor_id});
}

void CanBus::inject(const CanFrame& frame) { submit(frame, CanSource{CanSource::Kind::Foreign, 0}); }

CanFrame CanBus::foreign_frame() const { return CanFrame::classic(foreign_id_, foreign_data_); }

void CanBus::set_foreign(Nanos period, int before_reply, std::uint32_t id_word, std::vector<std::uint8_t> data) {
  foreign_before_reply_ = std::max(0, before_reply);
  foreign_id_ = id_word;
  foreign_data_ = std::move(data);
  foreign_period_ = std::max<Nanos>(0, period);
  if (foreign_timer_) {
    loop_.cancel(*foreign_timer_);
    foreign_timer_.reset();
  }
  if (foreign_period_ > 0) foreign_timer_ = loop_.at(now() + foreign_period_, [this] { foreign_tick(); });
}

void CanBus::foreign_tick() {
  foreign_timer_ = loop_.at(now() + foreign_period_, [this] { foreign_tick(); });
  submit(foreign_frame(), CanSource{CanSource::Kind::Foreign, 0});
}

}  // namespace qsim
