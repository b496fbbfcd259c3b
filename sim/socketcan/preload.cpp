// The calls a process makes on raw CAN sockets, carried to the brokers of a running virtual
// torso. A raw CAN socket is a unix seqpacket socket underneath, connected to the broker of
// its interface at bind(); frames then travel as single messages, so poll, time-outs and the
// socket-level options work on it natively. Reads and writes on it are only watched for what
// the kernel would refuse or report otherwise (a frame of the wrong size, a vanished broker).
// Every other descriptor and call passes straight to the C library, errno as it leaves it.
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <optional>

#include "broker_protocol.hpp"
#include "fd_table.hpp"
#include "interfaces.hpp"
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

int fail(int error) noexcept {
  errno = error;
  return -1;
}

bool is_can_request(int domain, int type, int protocol) noexcept {
  return domain == AF_CAN && (type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK)) == SOCK_RAW &&
         protocol == CAN_RAW;
}

// The errno the kernel gives a raw CAN socket for writing these bytes, 0 when it takes them.
int frame_error(const unsigned char* frame, std::size_t size, bool fd_frames) noexcept {
  if (size == sizeof(can_frame)) return frame[kLengthByte] <= CAN_MAX_DLEN ? 0 : EINVAL;
  if (size == sizeof(canfd_frame) && fd_frames) {
    return frame[kLengthByte] <= CANFD_MAX_DLEN ? 0 : EINVAL;
  }
  return EINVAL;
}

// The errno for sending to an explicit address from a socket bound to `socket.interface`.
int destination_error(const CanSocket& socket, const sockaddr* address,
                      socklen_t length) noexcept {
  if (address == nullptr) return 0;
  if (length < kCanNameLength) return EINVAL;
  sockaddr_can destination{};
  std::memcpy(&destination, address, std::min<std::size_t>(length, sizeof destination));
  if (destination.can_family != AF_CAN) return EINVAL;
  const int slot = sc::slot_of_index(static_cast<unsigned>(destination.can_ifindex));
  if (slot < 0) return ENXIO;
  // One connection carries one interface: sending elsewhere is not offered.
  return slot == socket.interface ? 0 : EOPNOTSUPP;
}

// What becomes of an outgoing frame on descriptor `fd`.
enum class Route { plain, frame, refused };

struct Outgoing {
  Route route = Route::plain;
  int error = 0;
};

Outgoing route_outgoing(int fd, const unsigned char* frame, std::size_t size,
                        const sockaddr* address = nullptr, socklen_t length = 0) noexcept {
  const std::optional<CanSocket> socket = sc::find(fd);
  if (!socket) return {};
  int error = destination_error(*socket, address, length);
  if (error == 0 && socket->interface < 0) error = ENXIO;
  if (error == 0) error = frame_error(frame, size, socket->fd_frames);
  if (error == 0) return {Route::frame, 0};
  // About to answer unlike a plain socket: make sure the record is not stale.
  if (!sc::is_same_socket(fd, *socket)) {
    sc::forget(fd);
    return {};
  }
  return {Route::refused, error};
}

// A read of 0 bytes from a broker means it has gone, like an interface taken down: report it
// as the kernel would rather than as an empty frame.
ssize_t after_receive(int fd, ssize_t received, std::size_t wanted) noexcept {
  if (received != 0 || wanted == 0) return received;
  const std::optional<CanSocket> socket = sc::find(fd);
  if (!socket || !sc::is_same_socket(fd, *socket)) return received;
  errno = ENETDOWN;
  return -1;
}

void put_can_address(const CanSocket& socket, sockaddr* address, socklen_t* length) noexcept {
  if (address == nullptr || length == nullptr) return;
  sockaddr_can name{};
  name.can_family = AF_CAN;
  name.can_ifindex =
      socket.interface < 0 ? 0 : static_cast<int>(sc::index_of_slot(socket.interface));
  std::memcpy(address, &name, std::min(*length, kCanNameLength));
  *length = kCanNameLength;
}

bool send_fd_option(int fd, bool enabled) noexcept {
  const unsigned char option = enabled ? broker::kFdFramesOn : broker::kFdFramesOff;
  return real::send()(fd, &option, 1, MSG_NOSIGNAL) == 1;
}

// The broker is local, so the connection is made at once even on a non-blocking socket; only a
// full backlog makes it wait, a millisecond at a time.
int connect_to_broker(int fd, const char* name) noexcept {
  sockaddr_un address;
  const socklen_t length = broker::broker_address(name, address);
  for (int attempt = 0;; ++attempt) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN && attempt < 2000) {
      const timespec pause{0, 1'000'000};
      ::nanosleep(&pause, nullptr);
      continue;
    }
    // The torso went away since the name was looked up: the interface is gone.
    if (errno == ECONNREFUSED || errno == ENOENT) errno = ENODEV;
    return -1;
  }
}

int bind_can(int fd, const sockaddr* address, socklen_t length) noexcept {
  if (length < kCanNameLength) return fail(EINVAL);
  if (address == nullptr) return fail(EFAULT);
  sockaddr_can wanted{};
  std::memcpy(&wanted, address, std::min<std::size_t>(length, sizeof wanted));
  if (wanted.can_family != AF_CAN) return fail(EINVAL);
  // Index 0 means every interface at once, which one connection cannot carry.
  if (wanted.can_ifindex == 0) return fail(EOPNOTSUPP);
  const int slot = sc::slot_of_index(static_cast<unsigned>(wanted.can_ifindex));
  if (slot < 0) return fail(ENODEV);

  sc::ChangeLock lock;
  std::optional<CanSocket> socket = sc::find(fd);
  if (!socket) return fail(EBADF);
  if (socket->interface == slot) return 0;
  // A connection cannot be moved to another broker.
  if (socket->interface >= 0) return fail(EOPNOTSUPP);
  if (connect_to_broker(fd, sc::name_of_slot(slot)) != 0) return -1;
  socket->interface = slot;
  sc::update(*socket);
  if (socket->fd_frames && !send_fd_option(fd, true)) return -1;
  return 0;
}

int int_option(const void* value, socklen_t length, int& out) noexcept {
  if (length != sizeof(int)) return EINVAL;
  if (value == nullptr) return EFAULT;
  std::memcpy(&out, value, sizeof out);
  return 0;
}

int set_can_option(int fd, int name, const void* value, socklen_t length) noexcept {
  int flag = 0;
  switch (name) {
    case CAN_RAW_FD_FRAMES: {
      if (const int error = int_option(value, length, flag)) return fail(error);
      sc::ChangeLock lock;
      std::optional<CanSocket> socket = sc::find(fd);
      if (!socket) return fail(EBADF);
      if (socket->interface >= 0 && !send_fd_option(fd, flag != 0)) return -1;
      socket->fd_frames = flag != 0;
      sc::update(*socket);
      return 0;
    }
    // Every other socket on the interface gets each frame, and its writer never does: the
    // defaults are kept, and only they.
    case CAN_RAW_LOOPBACK:
      if (const int error = int_option(value, length, flag)) return fail(error);
      return flag != 0 ? 0 : fail(ENOPROTOOPT);
    case CAN_RAW_RECV_OWN_MSGS:
      if (const int error = int_option(value, length, flag)) return fail(error);
      return flag == 0 ? 0 : fail(ENOPROTOOPT);
    default:
      return fail(ENOPROTOOPT);
  }
}

int get_can_option(const CanSocket& socket, int name, void* value, socklen_t* length) noexcept {
  int flag = 0;
  switch (name) {
    case CAN_RAW_FD_FRAMES: flag = socket.fd_frames ? 1 : 0; break;
    case CAN_RAW_LOOPBACK: flag = 1; break;
    case CAN_RAW_RECV_OWN_MSGS: flag = 0; break;
    default: return fail(ENOPROTOOPT);
  }
  if (length == nullptr) return fail(EFAULT);
  if (static_cast<int>(*length) < 0) return fail(EINVAL);
  const socklen_t size = std::min<socklen_t>(*length, sizeof flag);
  if (size > 0 && value == nullptr) return fail(EFAULT);
  std::memcpy(value, &flag, size);
  *length = size;
  return 0;
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

std::size_t total_length(const msghdr* message) noexcept {
  std::size_t total = 0;
  for (std::size_t i = 0; i < message->msg_iovlen; ++i) total += message->msg_iov[i].iov_len;
  return total;
}

ssize_t read_can(int fd, void* buffer, std::size_t size) noexcept {
  return after_receive(fd, real::read()(fd, buffer, size), size);
}

ssize_t recv_can(int fd, void* buffer, std::size_t size, int flags) noexcept {
  return after_receive(fd, real::recv()(fd, buffer, size, flags), size);
}

ssize_t recvfrom_any(int fd, void* buffer, std::size_t size, int flags, sockaddr* address,
                     socklen_t* length) noexcept {
  const auto next = real::recvfrom();
  if (!sc::is_can_socket(fd)) return next(fd, buffer, size, flags, address, length);
  const std::optional<CanSocket> socket = sc::find_checked(fd);
  if (!socket) return next(fd, buffer, size, flags, address, length);
  const ssize_t received = after_receive(fd, next(fd, buffer, size, flags, nullptr, nullptr), size);
  if (received >= 0) put_can_address(*socket, address, length);
  return received;
}

int dup_result(int from, int result) noexcept {
  if (result >= 0) sc::copy(from, result);
  return result;
}

int fcntl_result(int fd, int command, int result) noexcept {
  if (command == F_DUPFD || command == F_DUPFD_CLOEXEC) return dup_result(fd, result);
  return result;
}

void after_fork_in_child() { sc::reset_after_fork(); }

// Looks the C library up before any signal handler can run into a lazy look-up. Starts no
// thread, prints nothing, touches no environment.
__attribute__((constructor)) void load() {
  real::resolve_all();
  sc::note_process();
  ::pthread_atfork(nullptr, nullptr, &after_fork_in_child);
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
  if (level != SOL_CAN_RAW || !sc::is_can_socket(fd) || !sc::find_checked(fd)) {
    return next(fd, level, name, value, length);
  }
  return set_can_option(fd, name, value, length);
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
  put_can_address(*socket, address, length);
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
  // Python's socket module resolves bind(("vcan0",)) with SIOCGIFINDEX and names the source
  // of recvfrom() with SIOCGIFNAME.
  if (argument != nullptr && (request == SIOCGIFINDEX || request == SIOCGIFNAME)) {
    ifreq* interface = static_cast<ifreq*>(argument);
    if (request == SIOCGIFINDEX) {
      char name[IFNAMSIZ];
      std::memcpy(name, interface->ifr_name, IFNAMSIZ);
      name[IFNAMSIZ - 1] = '\0';
      if (const unsigned index = sc::index_of_served(name)) {
        interface->ifr_ifindex = static_cast<int>(index);
        return 0;
      }
    } else if (const char* name =
                   sc::name_of_index(static_cast<unsigned>(interface->ifr_ifindex))) {
      std::strncpy(interface->ifr_name, name, IFNAMSIZ);
      return 0;
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
  if (!sc::is_can_socket(fd)) return real::read()(fd, buffer, size);
  return read_can(fd, buffer, size);
}

QSC_EXPORT ssize_t __read_chk(int fd, void* buffer, size_t size, size_t capacity) {
  if (!sc::is_can_socket(fd) || size > capacity) {
    return real::read_chk()(fd, buffer, size, capacity);
  }
  return read_can(fd, buffer, size);
}

QSC_EXPORT ssize_t recv(int fd, void* buffer, size_t size, int flags) {
  if (!sc::is_can_socket(fd)) return real::recv()(fd, buffer, size, flags);
  return recv_can(fd, buffer, size, flags);
}

QSC_EXPORT ssize_t __recv_chk(int fd, void* buffer, size_t size, size_t capacity, int flags) {
  if (!sc::is_can_socket(fd) || size > capacity) {
    return real::recv_chk()(fd, buffer, size, capacity, flags);
  }
  return recv_can(fd, buffer, size, flags);
}

QSC_EXPORT ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* address,
                            socklen_t* length) {
  return recvfrom_any(fd, buffer, size, flags, address, length);
}

QSC_EXPORT ssize_t __recvfrom_chk(int fd, void* buffer, size_t size, size_t capacity, int flags,
                                  sockaddr* address, socklen_t* length) {
  if (size > capacity) {
    return real::recvfrom_chk()(fd, buffer, size, capacity, flags, address, length);
  }
  return recvfrom_any(fd, buffer, size, flags, address, length);
}

QSC_EXPORT ssize_t recvmsg(int fd, msghdr* message, int flags) {
  const auto next = real::recvmsg();
  if (!sc::is_can_socket(fd) || message == nullptr) return next(fd, message, flags);
  const std::optional<CanSocket> socket = sc::find_checked(fd);
  if (!socket) return next(fd, message, flags);
  // The broker's own address stays out of the caller's buffer.
  msghdr inner = *message;
  inner.msg_name = nullptr;
  inner.msg_namelen = 0;
  const ssize_t received = after_receive(fd, next(fd, &inner, flags), total_length(message));
  if (received < 0) return received;
  message->msg_controllen = inner.msg_controllen;
  message->msg_flags = inner.msg_flags;
  if (message->msg_name != nullptr) {
    put_can_address(*socket, static_cast<sockaddr*>(message->msg_name), &message->msg_namelen);
  }
  return received;
}

QSC_EXPORT ssize_t write(int fd, const void* buffer, size_t size) {
  const auto next = real::write();
  if (!sc::is_can_socket(fd)) return next(fd, buffer, size);
  const Outgoing out = route_outgoing(fd, static_cast<const unsigned char*>(buffer), size);
  return out.route == Route::refused ? fail(out.error) : next(fd, buffer, size);
}

QSC_EXPORT ssize_t send(int fd, const void* buffer, size_t size, int flags) {
  const auto next = real::send();
  if (!sc::is_can_socket(fd)) return next(fd, buffer, size, flags);
  const Outgoing out = route_outgoing(fd, static_cast<const unsigned char*>(buffer), size);
  return out.route == Route::refused ? fail(out.error) : next(fd, buffer, size, flags);
}

QSC_EXPORT ssize_t sendto(int fd, const void* buffer, size_t size, int flags,
                          const sockaddr* address, socklen_t length) {
  const auto next = real::sendto();
  if (!sc::is_can_socket(fd)) return next(fd, buffer, size, flags, address, length);
  const Outgoing out =
      route_outgoing(fd, static_cast<const unsigned char*>(buffer), size, address, length);
  switch (out.route) {
    case Route::plain: return next(fd, buffer, size, flags, address, length);
    case Route::refused: return fail(out.error);
    case Route::frame: break;
  }
  return next(fd, buffer, size, flags, nullptr, 0);  // the connection names the interface
}

QSC_EXPORT ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  const auto next = real::sendmsg();
  if (!sc::is_can_socket(fd) || message == nullptr) return next(fd, message, flags);
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
  const Outgoing out = route_outgoing(
      fd, frame, size, static_cast<const sockaddr*>(message->msg_name), message->msg_namelen);
  switch (out.route) {
    case Route::plain: return next(fd, message, flags);
    case Route::refused: return fail(out.error);
    case Route::frame: break;
  }
  msghdr inner = *message;
  inner.msg_name = nullptr;
  inner.msg_namelen = 0;
  return next(fd, &inner, flags);
}
