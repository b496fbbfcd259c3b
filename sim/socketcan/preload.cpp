// The calls a process makes on raw CAN sockets, carried to the brokers of a running virtual
// torso. A raw CAN socket is a unix seqpacket socket underneath, connected to the broker of
// its interface at bind(); frames then travel as single messages, so waiting to read, time-outs
// and the socket-level options work on it natively; poll and select report it writable, as a
// vcan's always is. The broker applies the raw socket's options (filters, error mask, loopback,
// own frames) and puts a header before each frame it passes on, which the receiving calls here
// take off again: it tells the frame's interface, whether the frame came from this host or this
// socket (MSG_DONTROUTE, MSG_CONFIRM), its time and how many frames the socket lost. Writes are
// checked for what the kernel would refuse.
// Every other descriptor and call passes straight to the C library, errno as it leaves it.
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "broker_protocol.hpp"
#include "fd_table.hpp"
#include "interfaces.hpp"
#include "options.hpp"
#include "real_calls.hpp"

#define QSC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using quillet::socketcan::CanSocket;
namespace broker = quillet::sim::can_broker;
namespace sc = quillet::socketcan;
namespace real = quillet::socketcan::real;

static_assert(sizeof(can_frame) == broker::kClassicFrameSize);
static_assert(sizeof(canfd_frame) == broker::kFdFrameSize);

// The kernel reports and expects this much of a sockaddr_can for a raw socket.
constexpr socklen_t kCanNameLength = offsetof(sockaddr_can, can_addr);
constexpr std::size_t kLengthByte = offsetof(can_frame, len);

constexpr unsigned kCloseRangeUnshare = 1u << 1;
constexpr unsigned kCloseRangeCloexec = 1u << 2;

// A writer waits this long at most for the broker to take a burst before it is told that the
// queue is full, as a device whose queue stays full.
constexpr int kBurstWaitMs = 100;

int fail(int error) noexcept {
  errno = error;
  return -1;
}

bool is_can_request(int domain, int type, int protocol) noexcept {
  return domain == AF_CAN && (type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK)) == SOCK_RAW &&
         protocol == CAN_RAW;
}

// The errno the kernel gives a raw CAN socket for writing these bytes to an interface, 0 when
// it takes them.
int frame_error(const unsigned char* frame, std::size_t size, bool fd_frames,
                bool interface_fd) noexcept {
  if (size == sizeof(can_frame)) return frame[kLengthByte] <= CAN_MAX_DLEN ? 0 : EINVAL;
  if (size == sizeof(canfd_frame) && fd_frames && interface_fd) {
    return frame[kLengthByte] <= CANFD_MAX_DLEN ? 0 : EINVAL;
  }
  return EINVAL;
}

void put_can_address(unsigned index, sockaddr* address, socklen_t* length) noexcept {
  if (address == nullptr || length == nullptr) return;
  sockaddr_can name{};
  name.can_family = AF_CAN;
  name.can_ifindex = static_cast<int>(index);
  std::memcpy(address, &name, std::min(*length, kCanNameLength));
  *length = kCanNameLength;
}

unsigned bound_index(const CanSocket& socket) noexcept {
  if (socket.interface < 0 || socket.interface == sc::kEveryInterface || socket.gone) return 0;
  return sc::index_of_slot(socket.interface);
}

// The torsos' word that the settings sent to them apply: the read end of the pipe whose write
// end went with them, at end of file once every torso holding it has closed it. Declared before
// the ChangeLock, so that the wait comes after the lock is released. A torso that stops, or does
// not answer in time, does not hold the caller; errno is left as the call set it.
class Settled {
 public:
  Settled() noexcept = default;
  Settled(const Settled&) = delete;
  Settled& operator=(const Settled&) = delete;
  ~Settled() {
    if (read_end_ < 0) return;
    const int saved = errno;
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
      timespec now{};
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const long long waited = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1'000'000;
      if (waited >= kTimeoutMs) break;
      pollfd wait{read_end_, POLLIN, 0};
      const int ready = real::poll()(&wait, 1, static_cast<int>(kTimeoutMs - waited));
      if (ready >= 0 || errno != EINTR) break;
    }
    real::close()(read_end_);
    errno = saved;
  }

  // Makes the pipe; its write end, to send and then close, or -1 when none could be made (the
  // settings then go unconfirmed, as to a torso that drops the descriptor).
  int open() noexcept {
    int ends[2];
    if (read_end_ >= 0 || ::pipe2(ends, O_CLOEXEC) != 0) return -1;
    read_end_ = ends[0];
    return ends[1];
  }

 private:
  // As long as a new connection may wait for its hello.
  static constexpr int kTimeoutMs = 5000;
  int read_end_ = -1;
};

// Tells the broker the socket's options, to hold once `settled` has been waited for; the caller
// holds the ChangeLock.
int send_settings(int fd, const CanSocket& socket, Settled& settled) noexcept {
  if (socket.interface < 0 || socket.gone) return 0;
  int receive_buffer = 0;
  socklen_t size = sizeof receive_buffer;
  if (real::getsockopt()(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, &size) != 0) return errno;
  static unsigned char message[sizeof(broker::Settings) + broker::kMaxFilters * broker::kFilterSize];
  const std::size_t length = sc::settings_message(socket, static_cast<std::uint32_t>(receive_buffer),
                                                  message, sizeof message);
  if (length == 0) return ENOMEM;
  const int acknowledgement = settled.open();
  for (;;) {
    if (broker::send_with_descriptor(real::sendmsg(), fd, message, length, acknowledgement, MSG_NOSIGNAL) >= 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) break;  // a torso that went away is told on the next read or write
    pollfd wait{fd, POLLOUT, 0};
    real::poll()(&wait, 1, kBurstWaitMs);
  }
  if (acknowledgement >= 0) real::close()(acknowledgement);
  return 0;
}

// The torso serving the socket's interface has stopped, as if the interface were deleted: the
// connection is swapped for a socket that never receives anything, so that reads block (or
// time out) from now on, and the caller reports ENETDOWN this once.
int interface_went_down(int fd, const CanSocket& socket) noexcept {
  sc::ChangeLock lock;
  const std::optional<CanSocket> current = sc::find(fd);
  if (!current || current->inode != socket.inode || !sc::is_same_socket(fd, socket)) {
    return fail(ENETDOWN);
  }
  const int status = real::fcntl()(fd, F_GETFL);
  const int descriptor = real::fcntl()(fd, F_GETFD);
  const int quiet = real::socket()(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (quiet >= 0) {
    for (const int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
      timeval limit{};
      socklen_t size = sizeof limit;
      if (real::getsockopt()(fd, SOL_SOCKET, option, &limit, &size) == 0) {
        real::setsockopt()(quiet, SOL_SOCKET, option, &limit, size);
      }
    }
    if (status >= 0) real::fcntl()(quiet, F_SETFL, status & O_NONBLOCK);
    struct stat details;
    const int flags = descriptor >= 0 && (descriptor & FD_CLOEXEC) != 0 ? O_CLOEXEC : 0;
    if (real::dup3()(quiet, fd, flags) == fd && ::fstat(fd, &details) == 0) {
      CanSocket gone = *current;
      gone.inode = static_cast<std::uint64_t>(details.st_ino);
      gone.gone = true;
      sc::remember(fd, gone);
    }
    real::close()(quiet);
  }
  return fail(ENETDOWN);
}

bool connection_lost(int error) noexcept {
  return error == EPIPE || error == ECONNRESET || error == ENOTCONN;
}

// ---- writing --------------------------------------------------------------------------------

ssize_t send_message(int fd, const CanSocket& socket, const void* message, std::size_t length,
                     std::size_t reported, int flags) noexcept {
  const int send_flags = MSG_NOSIGNAL | (flags & MSG_DONTWAIT);
  bool waited = false;
  for (;;) {
    const ssize_t sent = real::send()(fd, message, length, send_flags);
    if (sent >= 0) return static_cast<ssize_t>(reported);
    if (errno == EINTR) continue;
    if (connection_lost(errno)) return interface_went_down(fd, socket);
    if (errno != EAGAIN || waited) return fail(errno == EAGAIN ? ENOBUFS : errno);
    // A vcan takes any burst: give the broker time to catch up rather than refuse at once.
    pollfd wait{fd, POLLOUT, 0};
    real::poll()(&wait, 1, kBurstWaitMs);
    waited = true;
  }
}

// Writes one frame, to the address given or to the bound interface, as the kernel's raw
// sendmsg: the destination is checked first, then the frame against the socket and the
// interface.
ssize_t send_can(int fd, const CanSocket& socket, const unsigned char* frame, std::size_t size,
                 int flags, const sockaddr* address, socklen_t length) noexcept {
  if (socket.gone) return fail(ENODEV);
  int slot = socket.interface;
  if (address != nullptr) {
    if (length < kCanNameLength) return fail(EINVAL);
    sockaddr_can destination{};
    std::memcpy(&destination, address, std::min<std::size_t>(length, sizeof destination));
    if (destination.can_family != AF_CAN) return fail(EINVAL);
    if (destination.can_ifindex != 0) {
      slot = sc::slot_of_index(static_cast<unsigned>(destination.can_ifindex));
      if (slot < 0) return fail(ENXIO);
    }
  }
  if (slot < 0 || slot == sc::kEveryInterface) return fail(ENXIO);
  if (socket.interface < 0) return fail(ENXIO);  // nothing to carry it: bind first
  const bool own_interface = slot == socket.interface;
  const bool interface_fd =
      own_interface ? socket.interface_fd : sc::mtu_of_slot(slot) == broker::kFdMtu;
  if (const int error = frame_error(frame, size, socket.fd_frames, interface_fd)) return fail(error);
  if (own_interface) {
    broker::TransmitQueue* queue = sc::transmit_queue(socket.queue);
    if (queue != nullptr && !queue->take_place()) return fail(ENOBUFS);
    return send_message(fd, socket, frame, size, size, flags);
  }
  unsigned char targeted[broker::kTargetedFdSize] = {};
  std::strncpy(reinterpret_cast<char*>(targeted), sc::name_of_slot(slot), broker::kMaxNameLength);
  std::memcpy(targeted + sizeof(broker::Targeted), frame, size);
  return send_message(fd, socket, targeted, sizeof(broker::Targeted) + size, size, flags);
}

// The record of a CAN socket about to be written or read, or nothing for any other descriptor
// (a stale record is forgotten).
std::optional<CanSocket> can_socket(int fd) noexcept {
  if (!sc::is_can_socket(fd)) return std::nullopt;
  return sc::find_checked(fd);
}

ssize_t send_buffer(int fd, const CanSocket& socket, const void* buffer, std::size_t size,
                    int flags, const sockaddr* address, socklen_t length) noexcept {
  // Neither a classic nor an FD frame: refused on its size, whatever is in it.
  if (size != sizeof(can_frame) && size != sizeof(canfd_frame)) {
    return socket.gone ? fail(ENODEV) : fail(EINVAL);
  }
  return send_can(fd, socket, static_cast<const unsigned char*>(buffer), size, flags, address,
                  length);
}

// ---- reading --------------------------------------------------------------------------------

std::size_t total_length(const msghdr* message) noexcept {
  std::size_t total = 0;
  for (std::size_t i = 0; i < message->msg_iovlen; ++i) total += message->msg_iov[i].iov_len;
  return total;
}

void scatter(const unsigned char* data, std::size_t size, const msghdr* message) noexcept {
  for (std::size_t i = 0; i < message->msg_iovlen && size > 0; ++i) {
    const std::size_t part = std::min(size, message->msg_iov[i].iov_len);
    if (part == 0) continue;
    std::memcpy(message->msg_iov[i].iov_base, data, part);
    data += part;
    size -= part;
  }
}

// Appends the count of lost frames as the kernel does for SO_RXQ_OVFL.
void add_drop_count(msghdr* message, std::size_t used, std::size_t capacity,
                    std::uint32_t drops) noexcept {
  if (CMSG_SPACE(sizeof drops) > capacity - used) {
    message->msg_flags |= MSG_CTRUNC;
    return;
  }
  cmsghdr* header = reinterpret_cast<cmsghdr*>(static_cast<unsigned char*>(message->msg_control) + used);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SO_RXQ_OVFL;
  header->cmsg_len = CMSG_LEN(sizeof drops);
  std::memcpy(CMSG_DATA(header), &drops, sizeof drops);
  message->msg_controllen = used + CMSG_SPACE(sizeof drops);
}

// Reads one frame into `message` (its buffers, control data, name and flags).
ssize_t receive_can(int fd, const CanSocket& socket, msghdr* message, int flags) noexcept {
  unsigned char buffer[sizeof(broker::Delivery) + sizeof(canfd_frame)];
  for (;;) {
    iovec part{buffer, sizeof buffer};
    msghdr inner{};
    inner.msg_iov = &part;
    inner.msg_iovlen = 1;
    inner.msg_control = message->msg_control;
    inner.msg_controllen = message->msg_control != nullptr ? message->msg_controllen : 0;
    const ssize_t got = real::recvmsg()(fd, &inner, flags & ~MSG_TRUNC);
    if (got < 0) {
      if (connection_lost(errno) && errno != ENOTCONN) return interface_went_down(fd, socket);
      return -1;
    }
    if (got == 0) {
      // The broker has gone: an empty message would read the same, but it sends none.
      if (socket.interface < 0 || socket.gone) return 0;
      return interface_went_down(fd, socket);
    }
    broker::Delivery head{};
    if (static_cast<std::size_t>(got) <= sizeof head) {
      if ((flags & MSG_PEEK) != 0) real::recv()(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      continue;  // a hello; nothing else comes without a frame
    }
    std::memcpy(&head, buffer, sizeof head);
    const std::size_t frame_size = static_cast<std::size_t>(got) - sizeof head;
    const std::size_t wanted = total_length(message);
    const std::size_t copied = std::min(frame_size, wanted);
    scatter(buffer + sizeof head, copied, message);
    message->msg_flags = inner.msg_flags & ~MSG_TRUNC;
    if (copied < frame_size) message->msg_flags |= MSG_TRUNC;
    if ((head.flags & broker::kLocalFrame) != 0) message->msg_flags |= MSG_DONTROUTE;
    if ((head.flags & broker::kOwnFrame) != 0) message->msg_flags |= MSG_CONFIRM;
    if (message->msg_control != nullptr) {
      const std::size_t capacity = message->msg_controllen;
      message->msg_controllen = inner.msg_controllen;
      if (socket.drops_wanted && head.drops > 0) {
        add_drop_count(message, inner.msg_controllen, capacity, head.drops);
      }
    } else {
      message->msg_controllen = 0;
    }
    if (message->msg_name != nullptr) {
      char name[broker::kNameSize] = {};
      std::memcpy(name, head.name, broker::kMaxNameLength);
      const unsigned index = socket.interface == sc::kEveryInterface ? sc::index_of_known(name)
                                                                     : bound_index(socket);
      put_can_address(index, static_cast<sockaddr*>(message->msg_name), &message->msg_namelen);
    }
    sc::note_time(fd, head.time_ns);
    return static_cast<ssize_t>((flags & MSG_TRUNC) != 0 ? frame_size : copied);
  }
}

ssize_t receive_buffer(int fd, const CanSocket& socket, void* buffer, std::size_t size, int flags,
                       sockaddr* address, socklen_t* length) noexcept {
  iovec part{buffer, size};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_name = address;
  message.msg_namelen = length != nullptr ? *length : 0;
  if (length == nullptr) message.msg_name = nullptr;
  const ssize_t received = receive_can(fd, socket, &message, flags);
  if (received >= 0 && address != nullptr && length != nullptr) *length = message.msg_namelen;
  return received;
}

// ---- binding and options ---------------------------------------------------------------------

// The first served interface whose torso greets us.
void take_first(const char* name, void* context) noexcept {
  char* first = static_cast<char*>(context);
  if (first[0] == '\0' && sc::mtu_of_served(name) != 0) std::strncpy(first, name, broker::kMaxNameLength);
}

int bind_can(int fd, const sockaddr* address, socklen_t length) noexcept {
  if (length < kCanNameLength) return fail(EINVAL);
  if (address == nullptr) return fail(EFAULT);
  sockaddr_can wanted{};
  std::memcpy(&wanted, address, std::min<std::size_t>(length, sizeof wanted));
  if (wanted.can_family != AF_CAN) return fail(EINVAL);
  // Index 0 is every interface: the torso of one of them carries the others' frames too.
  const bool every = wanted.can_ifindex == 0;
  char first[broker::kNameSize] = {};
  if (every) {
    sc::for_each_served(&take_first, first);
    if (first[0] == '\0' || sc::index_of_known(first) == 0) return fail(ENODEV);
  }
  const int slot = every ? sc::kEveryInterface
                         : sc::slot_of_index(static_cast<unsigned>(wanted.can_ifindex));
  if (slot < 0) return fail(ENODEV);

  Settled settled;
  sc::ChangeLock lock;
  std::optional<CanSocket> socket = sc::find(fd);
  if (!socket) return fail(EBADF);
  if (socket->interface == slot) return 0;
  // A connection cannot be moved to another broker.
  if (socket->interface >= 0 || socket->gone) return fail(EOPNOTSUPP);
  unsigned mtu = 0;
  const char* name = every ? first : sc::name_of_slot(slot);
  if (const int error = sc::connect_served(fd, name, mtu, &socket->queue)) return fail(error);
  socket->interface = slot;
  socket->interface_fd = mtu == broker::kFdMtu;
  sc::update(*socket);
  if (const int error = send_settings(fd, *socket, settled)) return fail(error);
  return 0;
}

int int_option(const void* value, socklen_t length, int& out) noexcept {
  if (length != sizeof(int)) return EINVAL;
  if (value == nullptr) return EFAULT;
  std::memcpy(&out, value, sizeof out);
  return 0;
}

int set_can_option(int fd, int name, const void* value, socklen_t length) noexcept {
  Settled settled;
  sc::ChangeLock lock;
  std::optional<CanSocket> socket = sc::find(fd);
  if (!socket) return fail(EBADF);
  sc::RawOptions options = sc::options_of(socket->inode);
  int flag = 0;
  int error = 0;
  switch (name) {
    case CAN_RAW_FILTER: {
      if (length % sizeof(can_filter) != 0 || length > broker::kMaxFilters * sizeof(can_filter)) {
        return fail(EINVAL);
      }
      if (length > 0 && value == nullptr) return fail(EFAULT);
      error = sc::set_filters(socket->inode, static_cast<const can_filter*>(value),
                              length / sizeof(can_filter));
      break;
    }
    case CAN_RAW_ERR_FILTER: {
      can_err_mask_t mask = 0;
      if (length != sizeof mask) return fail(EINVAL);
      if (value == nullptr) return fail(EFAULT);
      std::memcpy(&mask, value, sizeof mask);
      options.error_mask = mask & CAN_ERR_MASK;
      error = sc::set_options(socket->inode, options);
      break;
    }
    case CAN_RAW_LOOPBACK:
    case CAN_RAW_RECV_OWN_MSGS:
    case CAN_RAW_JOIN_FILTERS:
      if ((error = int_option(value, length, flag)) != 0) return fail(error);
      (name == CAN_RAW_LOOPBACK       ? options.loopback
       : name == CAN_RAW_RECV_OWN_MSGS ? options.receive_own
                                       : options.join_filters) = flag != 0;
      error = sc::set_options(socket->inode, options);
      break;
    case CAN_RAW_FD_FRAMES:
      if ((error = int_option(value, length, flag)) != 0) return fail(error);
      socket->fd_frames = flag != 0;
      sc::update(*socket);
      break;
    default:
      return fail(ENOPROTOOPT);
  }
  if (error == 0) error = send_settings(fd, *socket, settled);
  return error == 0 ? 0 : fail(error);
}

int put_option(const void* data, socklen_t size, void* value, socklen_t* length) noexcept {
  if (length == nullptr) return fail(EFAULT);
  if (static_cast<int>(*length) < 0) return fail(EINVAL);
  const socklen_t copied = std::min<socklen_t>(*length, size);
  if (copied > 0 && value == nullptr) return fail(EFAULT);
  if (copied > 0) std::memcpy(value, data, copied);
  *length = copied;
  return 0;
}

int get_can_option(const CanSocket& socket, int name, void* value, socklen_t* length) noexcept {
  sc::ChangeLock lock;
  const sc::RawOptions options = sc::options_of(socket.inode);
  int flag = 0;
  switch (name) {
    case CAN_RAW_FILTER: {
      static can_filter filters[broker::kMaxFilters];
      const std::size_t count = sc::filters_of(socket.inode, filters, broker::kMaxFilters);
      const socklen_t size = static_cast<socklen_t>(count * sizeof(can_filter));
      if (length == nullptr) return fail(EFAULT);
      if (size > 0 && *length < size) {
        *length = size;  // what it takes, as the kernel tells
        return fail(ERANGE);
      }
      return put_option(filters, size, value, length);
    }
    case CAN_RAW_ERR_FILTER: {
      const can_err_mask_t mask = options.error_mask;
      return put_option(&mask, sizeof mask, value, length);
    }
    case CAN_RAW_FD_FRAMES: flag = socket.fd_frames ? 1 : 0; break;
    case CAN_RAW_LOOPBACK: flag = options.loopback ? 1 : 0; break;
    case CAN_RAW_RECV_OWN_MSGS: flag = options.receive_own ? 1 : 0; break;
    case CAN_RAW_JOIN_FILTERS: flag = options.join_filters ? 1 : 0; break;
    default: return fail(ENOPROTOOPT);
  }
  return put_option(&flag, sizeof flag, value, length);
}

// Socket-level options the broker must hear of: the receive buffer bounds what it holds for a
// reader that falls behind, and SO_RXQ_OVFL asks for the count of what was lost.
void after_socket_option(int fd, int name, const void* value, socklen_t length) noexcept {
  if (name != SO_RCVBUF && name != SO_RCVBUFFORCE && name != SO_RXQ_OVFL) return;
  Settled settled;
  sc::ChangeLock lock;
  std::optional<CanSocket> socket = sc::find(fd);
  if (!socket) return;
  if (name == SO_RXQ_OVFL) {
    int flag = 0;
    if (int_option(value, length, flag) == 0) {
      socket->drops_wanted = flag != 0;
      sc::update(*socket);
    }
    return;
  }
  send_settings(fd, *socket, settled);
}

// What SOL_SOCKET reports of the socket's kind, for code that inspects a descriptor it was
// handed (Python's socket(fileno=...)).
bool socket_kind_option(int name, int& value) noexcept {
  switch (name) {
    case SO_TYPE: value = SOCK_RAW; return true;
    case SO_DOMAIN: value = AF_CAN; return true;
    case SO_PROTOCOL: value = CAN_RAW; return true;
    default: return false;
  }
}

// ---- interfaces -------------------------------------------------------------------------------

// Answers the interface requests a program makes of a served name; false for any other.
bool interface_request(unsigned long request, ifreq* interface) noexcept {
  char name[IFNAMSIZ];
  std::memcpy(name, interface->ifr_name, IFNAMSIZ);
  name[IFNAMSIZ - 1] = '\0';
  switch (request) {
    // Python's socket module resolves bind(("vcan0",)) with SIOCGIFINDEX and names the source
    // of recvfrom() with SIOCGIFNAME.
    case SIOCGIFINDEX:
      if (const unsigned index = sc::index_of_served(name)) {
        interface->ifr_ifindex = static_cast<int>(index);
        return true;
      }
      return false;
    case SIOCGIFNAME:
      if (const char* served = sc::name_of_index(static_cast<unsigned>(interface->ifr_ifindex))) {
        std::strncpy(interface->ifr_name, served, IFNAMSIZ);
        return true;
      }
      return false;
    case SIOCGIFMTU:
      if (const unsigned mtu = sc::mtu_of_served(name)) {
        interface->ifr_mtu = static_cast<int>(mtu);
        return true;
      }
      return false;
    case SIOCGIFFLAGS:
      if (sc::is_served(name)) {
        interface->ifr_flags = IFF_UP | IFF_RUNNING | IFF_NOARP;  // as a vcan that is up
        return true;
      }
      return false;
    default:
      return false;
  }
}

// SIOCGSTAMP and SIOCGSTAMPNS: the time of the last frame read from the descriptor.
int frame_time(int fd, unsigned long request, void* argument) noexcept {
  const std::int64_t time_ns = sc::last_time(fd);
  if (time_ns == 0) return fail(ENOENT);
  const long long seconds = time_ns / 1'000'000'000;
  const long long rest = time_ns % 1'000'000'000;
  const long long value[2] = {seconds, request == SIOCGSTAMPNS ? rest : rest / 1000};
  std::memcpy(argument, value, sizeof value);
  return 0;
}

// ---- waiting --------------------------------------------------------------------------------

// A raw CAN socket is writable whenever it is asked: a vcan takes every frame at once, and a
// device whose queue is full refuses the frame (ENOBUFS) without making the writer wait. The
// unix socket underneath would say "not writable" whenever the torso falls behind, which a writer
// that looks before it writes (python-can's send) takes for a full transmit buffer.
constexpr short kWritable = POLLOUT | POLLWRNORM;

bool is_can_writer(int fd) noexcept { return fd >= 0 && can_socket(fd).has_value(); }

bool asks_can_write(const pollfd* fds, nfds_t count) noexcept {
  if (fds == nullptr) return false;
  for (nfds_t i = 0; i < count; ++i) {
    if ((fds[i].events & kWritable) != 0 && is_can_writer(fds[i].fd)) return true;
  }
  return false;
}

// After a poll that did not wait: marks the CAN sockets asked for writing as writable and counts
// the descriptors with events, as poll() does.
int with_can_writable(pollfd* fds, nfds_t count) noexcept {
  int ready = 0;
  for (nfds_t i = 0; i < count; ++i) {
    if ((fds[i].events & kWritable) != 0 && is_can_writer(fds[i].fd)) {
      fds[i].revents = static_cast<short>(fds[i].revents | (fds[i].events & kWritable));
    }
    if (fds[i].revents != 0) ++ready;
  }
  return ready;
}

bool asks_can_write(int count, const fd_set* set) noexcept {
  if (set == nullptr) return false;
  for (int fd = 0; fd < std::min(count, FD_SETSIZE); ++fd) {
    if (FD_ISSET(fd, set) && is_can_writer(fd)) return true;
  }
  return false;
}

// After a select that did not wait: adds the CAN sockets of `asked` to `set`; how many it added.
int add_can_writable(int count, const fd_set& asked, fd_set* set) noexcept {
  int added = 0;
  for (int fd = 0; fd < std::min(count, FD_SETSIZE); ++fd) {
    if (FD_ISSET(fd, &asked) && !FD_ISSET(fd, set) && is_can_writer(fd)) {
      FD_SET(fd, set);
      ++added;
    }
  }
  return added;
}

void after_fork_in_child() { sc::reset_after_fork(); }

// Looks the C library up before any signal handler can run into a lazy look-up. Starts no
// thread, prints nothing, touches no environment.
__attribute__((constructor)) void load() {
  real::resolve_all();
  sc::note_process();
  ::pthread_atfork(nullptr, nullptr, &after_fork_in_child);
}

int dup_result(int from, int result) noexcept {
  if (result >= 0) sc::copy(from, result);
  return result;
}

int fcntl_result(int fd, int command, int result) noexcept {
  if (command == F_DUPFD || command == F_DUPFD_CLOEXEC) return dup_result(fd, result);
  return result;
}

}  // namespace

QSC_EXPORT int socket(int domain, int type, int protocol) noexcept {
  const auto next = real::socket();
  if (!is_can_request(domain, type, protocol)) return next(domain, type, protocol);
  const int fd = next(AF_UNIX, SOCK_SEQPACKET | (type & (SOCK_CLOEXEC | SOCK_NONBLOCK)), 0);
  if (fd < 0) return fd;
  struct stat status;
  int error = ::fstat(fd, &status) == 0 ? 0 : errno;
  if (error == 0) error = sc::remember(fd, CanSocket{static_cast<std::uint64_t>(status.st_ino)});
  if (error != 0) {
    real::close()(fd);
    return fail(error);
  }
  return fd;
}

QSC_EXPORT int bind(int fd, const sockaddr* address, socklen_t length) noexcept {
  const auto next = real::bind();
  if (!sc::is_can_socket(fd)) return next(fd, address, length);
  if (!sc::find_checked(fd)) return next(fd, address, length);
  return bind_can(fd, address, length);
}

QSC_EXPORT int setsockopt(int fd, int level, int name, const void* value,
                          socklen_t length) noexcept {
  const auto next = real::setsockopt();
  if ((level != SOL_CAN_RAW && level != SOL_SOCKET) || !sc::is_can_socket(fd) ||
      !sc::find_checked(fd)) {
    return next(fd, level, name, value, length);
  }
  if (level == SOL_CAN_RAW) return set_can_option(fd, name, value, length);
  const int result = next(fd, level, name, value, length);
  if (result == 0) {
    const int saved = errno;
    after_socket_option(fd, name, value, length);
    errno = saved;
  }
  return result;
}

QSC_EXPORT int getsockopt(int fd, int level, int name, void* value, socklen_t* length) noexcept {
  const auto next = real::getsockopt();
  if ((level != SOL_CAN_RAW && level != SOL_SOCKET) || !sc::is_can_socket(fd)) {
    return next(fd, level, name, value, length);
  }
  const std::optional<CanSocket> socket = sc::find_checked(fd);
  if (!socket) return next(fd, level, name, value, length);
  if (level == SOL_CAN_RAW) return get_can_option(*socket, name, value, length);
  const int result = next(fd, level, name, value, length);
  int kind = 0;
  if (result == 0 && socket_kind_option(name, kind) && *length >= sizeof kind) {
    std::memcpy(value, &kind, sizeof kind);
  }
  return result;
}

QSC_EXPORT int getsockname(int fd, sockaddr* address, socklen_t* length) noexcept {
  const auto next = real::getsockname();
  if (!sc::is_can_socket(fd)) return next(fd, address, length);
  const std::optional<CanSocket> socket = sc::find_checked(fd);
  if (!socket) return next(fd, address, length);
  if (address == nullptr || length == nullptr) return fail(EFAULT);
  put_can_address(bound_index(*socket), address, length);
  return 0;
}

QSC_EXPORT int getpeername(int fd, sockaddr* address, socklen_t* length) noexcept {
  const auto next = real::getpeername();
  if (!sc::is_can_socket(fd) || !sc::find_checked(fd)) return next(fd, address, length);
  return fail(EOPNOTSUPP);  // a raw CAN socket has no peer
}

QSC_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (argument != nullptr) {
    if ((request == SIOCGIFINDEX || request == SIOCGIFNAME || request == SIOCGIFMTU ||
         request == SIOCGIFFLAGS) &&
        interface_request(request, static_cast<ifreq*>(argument))) {
      return 0;
    }
    if ((request == SIOCGSTAMP || request == SIOCGSTAMPNS) && can_socket(fd)) {
      return frame_time(fd, request, argument);
    }
  }
  return real::ioctl()(fd, request, argument);
}

QSC_EXPORT unsigned if_nametoindex(const char* name) noexcept {
  if (const unsigned index = sc::index_of_served(name)) return index;
  return real::if_nametoindex()(name);
}

QSC_EXPORT char* if_indextoname(unsigned index, char* name) noexcept {
  if (const char* served = sc::name_of_index(index); served && name) {
    return std::strncpy(name, served, IF_NAMESIZE);
  }
  return real::if_indextoname()(index, name);
}

namespace {

struct NameList {
  char names[sc::kMaxInterfaces][broker::kNameSize];
  int count;
};

void collect_name(const char* name, void* context) noexcept {
  NameList* list = static_cast<NameList*>(context);
  if (list->count < sc::kMaxInterfaces) {
    std::strncpy(list->names[list->count], name, broker::kMaxNameLength);
    list->names[list->count][broker::kMaxNameLength] = '\0';
    ++list->count;
  }
}

}  // namespace

// The real interfaces, then the served ones; freed by the C library's if_freenameindex, which
// frees each name and then the array.
QSC_EXPORT struct if_nameindex* if_nameindex() noexcept {
  struct if_nameindex* found = real::if_nameindex()();
  if (found == nullptr) return nullptr;
  std::size_t count = 0;
  while (found[count].if_index != 0 || found[count].if_name != nullptr) ++count;
  NameList served{};
  sc::for_each_served(&collect_name, &served);
  auto* all = static_cast<struct if_nameindex*>(
      std::calloc(count + static_cast<std::size_t>(served.count) + 1, sizeof(struct if_nameindex)));
  if (all == nullptr) return found;
  std::memcpy(all, found, count * sizeof(struct if_nameindex));
  std::size_t filled = count;
  for (int i = 0; i < served.count; ++i) {
    const unsigned index = sc::index_of_known(served.names[i]);
    char* name = index != 0 ? ::strdup(served.names[i]) : nullptr;
    if (name == nullptr) continue;
    all[filled++] = {index, name};
  }
  std::free(found);
  return all;
}

QSC_EXPORT int close(int fd) {
  sc::forget(fd);  // before the number can be handed out again
  return real::close()(fd);
}

QSC_EXPORT int close_range(unsigned first, unsigned last, int flags) noexcept {
  const auto next = real::close_range();
  if (next == nullptr) return fail(ENOSYS);
  const unsigned bits = static_cast<unsigned>(flags);
  const bool closes = (bits & ~(kCloseRangeUnshare | kCloseRangeCloexec)) == 0 &&
                      (bits & kCloseRangeCloexec) == 0 && first <= last;
  // With an unshared table no other thread can be handed the numbers before we forget them.
  if (closes && (bits & kCloseRangeUnshare) == 0) sc::forget_range(first, last);
  const int result = next(first, last, flags);
  if (closes && (bits & kCloseRangeUnshare) != 0 && result == 0) sc::forget_range(first, last);
  return result;
}

QSC_EXPORT void closefrom(int lowest) noexcept {
  const auto next = real::closefrom();
  if (lowest >= 0) sc::forget_range(static_cast<unsigned>(lowest), ~0u);
  if (next != nullptr) next(lowest);
}

QSC_EXPORT int dup(int fd) noexcept { return dup_result(fd, real::dup()(fd)); }

QSC_EXPORT int dup2(int fd, int target) noexcept {
  return dup_result(fd, real::dup2()(fd, target));
}

QSC_EXPORT int dup3(int fd, int target, int flags) noexcept {
  return dup_result(fd, real::dup3()(fd, target, flags));
}

QSC_EXPORT int fcntl(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  return fcntl_result(fd, command, real::fcntl()(fd, command, argument));
}

QSC_EXPORT int fcntl64(int fd, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  const auto next = real::fcntl64() != nullptr ? real::fcntl64() : real::fcntl();
  return fcntl_result(fd, command, next(fd, command, argument));
}

QSC_EXPORT ssize_t read(int fd, void* buffer, size_t size) {
  const std::optional<CanSocket> socket = can_socket(fd);
  if (!socket) return real::read()(fd, buffer, size);
  return receive_buffer(fd, *socket, buffer, size, 0, nullptr, nullptr);
}

QSC_EXPORT ssize_t __read_chk(int fd, void* buffer, size_t size, size_t capacity) {
  const std::optional<CanSocket> socket = size <= capacity ? can_socket(fd) : std::nullopt;
  if (!socket) return real::read_chk()(fd, buffer, size, capacity);
  return receive_buffer(fd, *socket, buffer, size, 0, nullptr, nullptr);
}

QSC_EXPORT ssize_t recv(int fd, void* buffer, size_t size, int flags) {
  const std::optional<CanSocket> socket = can_socket(fd);
  if (!socket) return real::recv()(fd, buffer, size, flags);
  return receive_buffer(fd, *socket, buffer, size, flags, nullptr, nullptr);
}

QSC_EXPORT ssize_t __recv_chk(int fd, void* buffer, size_t size, size_t capacity, int flags) {
  const std::optional<CanSocket> socket = size <= capacity ? can_socket(fd) : std::nullopt;
  if (!socket) return real::recv_chk()(fd, buffer, size, capacity, flags);
  return receive_buffer(fd, *socket, buffer, size, flags, nullptr, nullptr);
}

QSC_EXPORT ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* address,
                            socklen_t* length) {
  const std::optional<CanSocket> socket = can_socket(fd);
  if (!socket) return real::recvfrom()(fd, buffer, size, flags, address, length);
  return receive_buffer(fd, *socket, buffer, size, flags, address, length);
}

QSC_EXPORT ssize_t __recvfrom_chk(int fd, void* buffer, size_t size, size_t capacity, int flags,
                                  sockaddr* address, socklen_t* length) {
  const std::optional<CanSocket> socket = size <= capacity ? can_socket(fd) : std::nullopt;
  if (!socket) return real::recvfrom_chk()(fd, buffer, size, capacity, flags, address, length);
  return receive_buffer(fd, *socket, buffer, size, flags, address, length);
}

QSC_EXPORT ssize_t recvmsg(int fd, msghdr* message, int flags) {
  const std::optional<CanSocket> socket = message != nullptr ? can_socket(fd) : std::nullopt;
  if (!socket) return real::recvmsg()(fd, message, flags);
  return receive_can(fd, *socket, message, flags);
}

QSC_EXPORT ssize_t write(int fd, const void* buffer, size_t size) {
  const std::optional<CanSocket> socket = can_socket(fd);
  if (!socket) return real::write()(fd, buffer, size);
  return send_buffer(fd, *socket, buffer, size, 0, nullptr, 0);
}

QSC_EXPORT ssize_t send(int fd, const void* buffer, size_t size, int flags) {
  const std::optional<CanSocket> socket = can_socket(fd);
  if (!socket) return real::send()(fd, buffer, size, flags);
  return send_buffer(fd, *socket, buffer, size, flags, nullptr, 0);
}

QSC_EXPORT ssize_t sendto(int fd, const void* buffer, size_t size, int flags,
                          const sockaddr* address, socklen_t length) {
  const std::optional<CanSocket> socket = can_socket(fd);
  if (!socket) return real::sendto()(fd, buffer, size, flags, address, length);
  return send_buffer(fd, *socket, buffer, size, flags, address, length);
}

QSC_EXPORT ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  const std::optional<CanSocket> socket = message != nullptr ? can_socket(fd) : std::nullopt;
  if (!socket) return real::sendmsg()(fd, message, flags);
  // Gather the frame to look at it; a message longer than any frame is refused on its size.
  unsigned char frame[sizeof(canfd_frame)] = {};
  const std::size_t size = total_length(message);
  if (size <= sizeof frame) {
    std::size_t filled = 0;
    for (std::size_t i = 0; i < message->msg_iovlen; ++i) {
      const iovec& part = message->msg_iov[i];
      if (part.iov_len == 0) continue;
      std::memcpy(frame + filled, part.iov_base, part.iov_len);
      filled += part.iov_len;
    }
  }
  return send_buffer(fd, *socket, frame, size, flags,
                     static_cast<const sockaddr*>(message->msg_name), message->msg_namelen);
}

QSC_EXPORT int poll(pollfd* fds, nfds_t count, int timeout) {
  if (!asks_can_write(fds, count)) return real::poll()(fds, count, timeout);
  const int ready = real::poll()(fds, count, 0);
  return ready < 0 ? ready : with_can_writable(fds, count);
}

QSC_EXPORT int __poll_chk(pollfd* fds, nfds_t count, int timeout, size_t capacity) {
  // The C library's check of the array's size comes first, as without the stand-in.
  if (capacity / sizeof(pollfd) < count || !asks_can_write(fds, count)) {
    return real::poll_chk()(fds, count, timeout, capacity);
  }
  const int ready = real::poll_chk()(fds, count, 0, capacity);
  return ready < 0 ? ready : with_can_writable(fds, count);
}

QSC_EXPORT int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
  if (!asks_can_write(fds, count)) return real::ppoll()(fds, count, timeout, mask);
  const timespec now{0, 0};
  const int ready = real::ppoll()(fds, count, &now, mask);
  return ready < 0 ? ready : with_can_writable(fds, count);
}

QSC_EXPORT int select(int count, fd_set* read_set, fd_set* write_set, fd_set* error_set, timeval* timeout) {
  if (!asks_can_write(count, write_set)) return real::select()(count, read_set, write_set, error_set, timeout);
  const fd_set asked = *write_set;
  timeval now{0, 0};
  const int ready = real::select()(count, read_set, write_set, error_set, &now);
  return ready < 0 ? ready : ready + add_can_writable(count, asked, write_set);
}

QSC_EXPORT int pselect(int count, fd_set* read_set, fd_set* write_set, fd_set* error_set,
                       const timespec* timeout, const sigset_t* mask) {
  if (!asks_can_write(count, write_set)) {
    return real::pselect()(count, read_set, write_set, error_set, timeout, mask);
  }
  const fd_set asked = *write_set;
  const timespec now{0, 0};
  const int ready = real::pselect()(count, read_set, write_set, error_set, &now, mask);
  return ready < 0 ? ready : ready + add_can_writable(count, asked, write_set);
}
