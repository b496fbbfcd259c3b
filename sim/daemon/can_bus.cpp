#include "can_bus.hpp"

#include "broker_protocol.hpp"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

namespace qsim {

namespace broker = quillet::sim::can_broker;

namespace {

constexpr int kMaxAutoNames = 10'000;
constexpr std::uint32_t kErrorMask = 0x1FFFFFFFu;  // the class bits of an error frame
constexpr std::uint32_t kInvertFilter = CanFrame::kErrorFlag;  // same bit, in a filter's id
constexpr std::uint32_t kStandardMask = 0x7FFu;
constexpr std::uint32_t kAckError = 0x20u;  // CAN_ERR_ACK: no device acknowledged the frame

// Listens on the abstract address of `name`; -1 with errno on failure.
int listen_on(const std::string& name) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  const socklen_t length = broker::broker_address(name.c_str(), addr);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), length) != 0 || listen(fd, 64) != 0) {
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

// Connects to the broker of `name`; -1 when nobody serves it.
int connect_to(const std::string& name) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  const socklen_t length = broker::broker_address(name.c_str(), addr);
  if (length == 0 || connect(fd, reinterpret_cast<const sockaddr*>(&addr), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::int64_t wall_clock_ns() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * kSecond + ts.tv_nsec;
}

// Room for the receiver's buffer in the kernel's queue of the connection, so that the
// reader's own buffer, not the broker's, decides when frames are lost.
void size_send_buffer(int fd, std::uint32_t receive_buffer) {
  const int wanted = static_cast<int>(std::min<std::uint32_t>(receive_buffer, 1u << 28)) + (64 << 10);
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &wanted, sizeof wanted) != 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted);
}

// Receives one message and the descriptor that came with it (-1 when none; any others closed).
ssize_t receive_with_descriptor(int fd, void* buffer, std::size_t size, int& descriptor) {
  iovec part{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (got < 0) return got;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int passed = -1;
      std::memcpy(&passed, CMSG_DATA(header) + i * sizeof(int), sizeof passed);
      if (descriptor < 0) descriptor = passed;
      else close(passed);
    }
  }
  return got;
}

bool is_frame_size(std::size_t n) { return n == CanFrame::kClassicSize || n == CanFrame::kFdSize; }
bool is_targeted_size(std::size_t n) { return n == broker::kTargetedClassicSize || n == broker::kTargetedFdSize; }

}  // namespace

// As the kernel's filter lists: an error frame matches the error mask (or a filter whose mask
// holds the error flag); any other frame matches a filter when its masked id equals the
// filter's, or differs from it for an inverted filter. Joined filters must all match.
bool ClientSettings::wants(const CanFrame& frame) const {
  if ((frame.id_word & CanFrame::kErrorFlag) != 0) {
    const std::uint32_t error_class = frame.id_word & kErrorMask;
    if ((error_mask & error_class) != 0) return true;
    return std::any_of(filters.begin(), filters.end(), [&](const CanFilter& f) {
      return (f.mask & CanFrame::kErrorFlag) != 0 && (error_class & f.mask & kErrorMask) != 0;
    });
  }
  std::size_t matches = 0;
  for (const CanFilter& f : filters) {
    if ((f.mask & CanFrame::kErrorFlag) != 0) continue;
    std::uint32_t mask = f.mask;
    // A mask with the extended flag on a standard id asks for standard frames only.
    if ((mask & CanFrame::kExtendedFlag) != 0 && (f.id & CanFrame::kExtendedFlag) == 0)
      mask &= kStandardMask | CanFrame::kExtendedFlag | CanFrame::kRemoteFlag;
    const bool inverted = (f.id & kInvertFilter) != 0;
    if (((frame.id_word & mask) == (f.id & mask)) != inverted) ++matches;
  }
  if (join_filters && filters.size() > 1) return matches == filters.size();
  return matches > 0;
}

Nanos frame_time(const CanFrame& frame) {
  const bool extended = (frame.id_word & CanFrame::kExtendedFlag) != 0;
  const bool remote = (frame.id_word & CanFrame::kRemoteFlag) != 0;
  const int overhead = extended ? 67 : 47;
  const int data_bits = remote ? 0 : 8 * frame.len;
  return static_cast<Nanos>(overhead + data_bits) * kMicrosecond;
}

CanBus::CanBus(EventLoop& loop, std::vector<std::uint8_t> motor_ids, bool wire_timing, bool fd_capable)
    : loop_(loop), wire_timing_(wire_timing), fd_capable_(fd_capable), foreign_data_(8, 0) {
  const Nanos t = now();
  for (const auto id : motor_ids) {
    if (auto limits = neck_limits(id)) motors_.emplace_back(id, *limits, t);
  }
}

CanBus::~CanBus() {
  if (queue_ != nullptr) munmap(queue_, sizeof *queue_);
  if (queue_fd_ >= 0) close(queue_fd_);
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
    if (name.size() > broker::kMaxNameLength) return "CAN interface name longer than 15 characters: " + name;
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
  queue_fd_ = memfd_create("quillet-sim-can-queue", MFD_CLOEXEC);
  if (queue_fd_ < 0 || ftruncate(queue_fd_, sizeof(broker::TransmitQueue)) != 0)
    return std::string("CAN transmit queue: ") + std::strerror(errno);
  void* memory = mmap(nullptr, sizeof(broker::TransmitQueue), PROT_READ | PROT_WRITE, MAP_SHARED, queue_fd_, 0);
  if (memory == MAP_FAILED) return std::string("CAN transmit queue: ") + std::strerror(errno);
  queue_ = new (memory) broker::TransmitQueue{};
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
    Client& client = clients_[fd] = Client{fd, next_client_++, {}, 0, {}};
    size_send_buffer(fd, client.settings.receive_buffer);
    send_hello(fd);
    loop_.watch(fd, EPOLLIN, [this](std::uint32_t) { pump(); });
  }
}

void CanBus::send_hello(int fd) {
  broker::Delivery hello{};
  hello.kind = broker::kHello;
  hello.mtu = fd_capable_ ? broker::kFdMtu : broker::kClassicMtu;
  hello.time_ns = wall_clock_ns();
  std::memcpy(hello.name, name_.c_str(), std::min(name_.size(), broker::kMaxNameLength));
  broker::send_with_descriptor(::sendmsg, fd, &hello, sizeof hello, queue_fd_, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void CanBus::drop_client(int fd) {
  auto it = clients_.find(fd);
  if (it != clients_.end()) {
    while (!it->second.proxies.empty()) close_proxy(it->second, it->second.proxies.begin()->first);
  }
  loop_.unwatch(fd);
  close(fd);
  clients_.erase(fd);
}

void CanBus::apply_settings(Client& client, std::span<const std::uint8_t> message, int acknowledgement) {
  broker::Settings head{};
  std::memcpy(&head, message.data(), sizeof head);
  ClientSettings& s = client.settings;
  const bool was_any = s.any_interface;
  s.takes_fd = (head.flags & broker::kTakesFd) != 0;
  s.loopback = (head.flags & broker::kLoopback) != 0;
  s.receive_own = (head.flags & broker::kReceiveOwn) != 0;
  s.join_filters = (head.flags & broker::kJoinFilters) != 0;
  s.any_interface = (head.flags & broker::kAnyInterface) != 0;
  s.error_mask = head.error_mask & kErrorMask;
  if (head.receive_buffer != s.receive_buffer) size_send_buffer(client.fd, head.receive_buffer);
  s.receive_buffer = head.receive_buffer;
  s.filters.clear();
  for (std::size_t at = sizeof head; at + broker::kFilterSize <= message.size(); at += broker::kFilterSize) {
    CanFilter f{};
    std::memcpy(&f.id, message.data() + at, 4);
    std::memcpy(&f.mask, message.data() + at + 4, 4);
    s.filters.push_back(f);
  }
  if (s.any_interface && !was_any) open_proxies(client);
  for (const auto& [interface, proxy_fd] : client.proxies) send_proxy_settings(client, proxy_fd, acknowledgement);
}

std::size_t CanBus::settle(int fd) {
  std::uint8_t buf[sizeof(broker::Settings) + broker::kMaxFilters * broker::kFilterSize];
  for (;;) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) return 0;
    const ssize_t n = recv(fd, buf, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (n < 0) {
      // A client that closed with frames of others unread reports a reset first (once), and
      // only then what it sent before closing.
      if (errno == EINTR || errno == ECONNRESET) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) drop_client(fd);
      return 0;
    }
    if (n == 0) {
      // An empty message reads like end of file; only a hang-up tells them apart.
      pollfd p{fd, POLLRDHUP, 0};
      if (poll(&p, 1, 0) != 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        drop_client(fd);  // closed, like the name probe that connects and leaves at once
        return 0;
      }
    }
    const auto size = static_cast<std::size_t>(n);
    if (is_frame_size(size) || is_targeted_size(size)) return size;
    int acknowledgement = -1;  // closed once the settings apply, here and at the proxies' brokers
    const ssize_t got = receive_with_descriptor(fd, buf, sizeof buf, acknowledgement);  // settings, or no known message
    if (got > 0 && broker::is_settings_size(static_cast<std::size_t>(got)) && buf[0] == broker::kSettingsTag)
      apply_settings(it->second, std::span(buf, static_cast<std::size_t>(got)), acknowledgement);
    if (acknowledgement >= 0) close(acknowledgement);
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
      if (settle(fd) > 0) ready.push_back(fd);
    if (ready.empty()) break;
    auto next = std::upper_bound(ready.begin(), ready.end(), last_served_);
    const int fd = next != ready.end() ? *next : ready.front();
    last_served_ = fd;
    std::uint8_t buf[broker::kTargetedFdSize];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) continue;
    Client& client = clients_.at(fd);
    std::string target = name_;
    std::span<const std::uint8_t> message(buf, static_cast<std::size_t>(n));
    if (is_targeted_size(message.size())) {
      target.assign(reinterpret_cast<const char*>(buf), strnlen(reinterpret_cast<const char*>(buf), broker::kMaxNameLength));
      message = message.subspan(sizeof(broker::Targeted));
    }
    const auto frame = CanFrame::from_message(message);
    // The kernel refuses those writes.
    if (!frame || (frame->fd && (!client.settings.takes_fd || (target == name_ && !fd_capable_)))) continue;
    if (target == name_) {
      const CanSource source{CanSource::Kind::Client, client.number};
      if (acknowledged_) submit(*frame, source);
      else hold(*frame, source);
    } else if (const int proxy = proxy_for(client, target); proxy >= 0) {
      send(proxy, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
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
  const bool from_client = source.kind == CanSource::Kind::Client;
  // Without local loopback a writer's frame goes on the wire only: no socket of the host sees
  // it, the writer's own included.
  bool loopback = true;
  for (const auto& [fd, client] : clients_)
    if (from_client && client.number == source.number) loopback = client.settings.loopback;
  std::vector<int> fds;
  for (const auto& [fd, client] : clients_) fds.push_back(fd);
  for (const int fd : fds) {
    auto it = clients_.find(fd);
    if (it == clients_.end()) continue;
    Client& client = it->second;
    std::uint8_t flags = 0;
    if (from_client) {
      if (!loopback) break;
      const bool own = client.number == source.number;
      if (own && !client.settings.receive_own) continue;
      flags = own ? broker::kOwnFrame | broker::kLocalFrame : broker::kLocalFrame;
    }
    if (frame.fd && !client.settings.takes_fd) continue;
    if (!client.settings.wants(frame)) continue;
    send_to(client, delivery(client, frame, flags, name_.c_str()));
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

std::vector<std::uint8_t> CanBus::delivery(const Client& client, const CanFrame& frame, std::uint8_t flags,
                                           const char* interface) const {
  broker::Delivery head{};
  head.kind = broker::kFrame;
  head.flags = flags;
  head.mtu = fd_capable_ ? broker::kFdMtu : broker::kClassicMtu;
  head.drops = client.drops;
  head.time_ns = wall_clock_ns();
  std::strncpy(head.name, interface, broker::kMaxNameLength);
  std::vector<std::uint8_t> out(sizeof head);
  std::memcpy(out.data(), &head, sizeof head);
  const auto body = frame.message();
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

void CanBus::send_to(Client& client, std::span<const std::uint8_t> message) {
  // As the kernel's socket queue: nothing more once what waits unread fills the buffer.
  int waiting = 0;
  if (ioctl(client.fd, SIOCOUTQ, &waiting) == 0 && static_cast<std::uint32_t>(waiting) >= client.settings.receive_buffer) {
    ++client.drops;
    return;
  }
  if (send(client.fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 &&
      (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS))
    ++client.drops;
}

// ---- other interfaces ---------------------------------------------------------------------------

int CanBus::proxy_for(Client& client, const std::string& interface) {
  if (auto it = client.proxies.find(interface); it != client.proxies.end()) return it->second;
  if (interface == name_ || interface.empty()) return -1;
  const int proxy = connect_to(interface);
  if (proxy < 0) return -1;
  client.proxies[interface] = proxy;
  send_proxy_settings(client, proxy, -1);
  loop_.watch(proxy, EPOLLIN, [this, client_fd = client.fd, proxy](std::uint32_t) { on_proxy(client_fd, proxy); });
  return proxy;
}

void CanBus::open_proxies(Client& client) {
  std::vector<std::string> names;
  broker::for_each_served_name(::read, [&](const char* name) { names.emplace_back(name); });
  for (const auto& name : names) proxy_for(client, name);
}

// A socket bound to every interface hears the others through its proxies, with its own
// settings; one bound to a single interface only sends through them.
void CanBus::send_proxy_settings(const Client& client, int proxy_fd, int acknowledgement) {
  const ClientSettings& s = client.settings;
  std::vector<std::uint8_t> message(sizeof(broker::Settings));
  broker::Settings head{};
  head.tag = broker::kSettingsTag;
  head.flags = static_cast<std::uint8_t>((s.takes_fd ? broker::kTakesFd : 0) | (s.loopback ? broker::kLoopback : 0));
  if (s.any_interface) {
    head.flags |= static_cast<std::uint8_t>((s.receive_own ? broker::kReceiveOwn : 0) |
                                            (s.join_filters ? broker::kJoinFilters : 0));
    head.error_mask = s.error_mask;
    for (const CanFilter& f : s.filters) {
      const std::size_t at = message.size();
      message.resize(at + broker::kFilterSize);
      std::memcpy(message.data() + at, &f.id, 4);
      std::memcpy(message.data() + at + 4, &f.mask, 4);
    }
  }
  head.receive_buffer = s.receive_buffer;
  std::memcpy(message.data(), &head, sizeof head);
  broker::send_with_descriptor(::sendmsg, proxy_fd, message.data(), message.size(), acknowledgement,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
}

void CanBus::on_proxy(int client_fd, int proxy_fd) {
  auto it = clients_.find(client_fd);
  if (it == clients_.end()) return;
  Client& client = it->second;
  std::uint8_t buf[sizeof(broker::Delivery) + CanFrame::kFdSize];
  for (;;) {
    const ssize_t n = recv(proxy_fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {  // that interface's torso stopped
      for (const auto& [interface, fd] : client.proxies)
        if (fd == proxy_fd) {
          close_proxy(client, interface);
          break;
        }
      return;
    }
    if (static_cast<std::size_t>(n) <= sizeof(broker::Delivery) || buf[0] != broker::kFrame) continue;
    broker::Delivery head{};
    std::memcpy(&head, buf, sizeof head);
    head.drops = client.drops;
    std::memcpy(buf, &head, sizeof head);
    send_to(client, std::span(buf, static_cast<std::size_t>(n)));
  }
}

void CanBus::close_proxy(Client& client, const std::string& interface) {
  auto it = client.proxies.find(interface);
  if (it == client.proxies.end()) return;
  loop_.unwatch(it->second);
  close(it->second);
  client.proxies.erase(it);
}

void CanBus::send_reply(const CanFrame& reply, std::uint8_t motor_id) {
  for (int i = 0; i < foreign_before_reply_; ++i)
    submit(foreign_frame(), CanSource{CanSource::Kind::Foreign, 0});
  submit(reply, CanSource{CanSource::Kind::Motor, motor_id});
}

void CanBus::set_acknowledged(bool acknowledged) {
  if (acknowledged == acknowledged_) return;
  pump(kMaxPending);  // what was written before the switch goes as it would have gone
  acknowledged_ = acknowledged;
  if (!acknowledged) {
    queue_->queued.store(0, std::memory_order_relaxed);
    queue_->unacknowledged.store(1, std::memory_order_release);
    return;
  }
  queue_->unacknowledged.store(0, std::memory_order_release);
  while (!held_.empty()) {
    Pending held = std::move(held_.front());
    held_.pop_front();
    submit(held.frame, held.source);
  }
  queue_->queued.store(0, std::memory_order_release);
}

void CanBus::hold(const CanFrame& frame, CanSource source) {
  held_.push_back(Pending{now(), frame, source});
  // The controller's failed attempt, as the sockets that ask for ACK errors hear of it.
  const CanFrame error = CanFrame::classic(CanFrame::kErrorFlag | kAckError, std::array<std::uint8_t, 8>{});
  for (auto& [fd, client] : clients_) {
    if (client.settings.wants(error)) send_to(client, delivery(client, error, 0, name_.c_str()));
  }
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
