// How a CAN socket of the stand-in meets the torso that serves its interface.
//
// For every interface name it serves, the torso listens on an abstract-namespace unix
// SOCK_SEQPACKET address: a NUL byte, kAddressPrefix, then the name (no trailing NUL). A
// connection that closes at once is a probe asking whether the name is served.
//
// Broker to client, one message each: a Delivery header, alone (the hello, first message on
// every connection, telling the interface's MTU and carrying the descriptor of its
// TransmitQueue) or followed by one frame in the kernel's layout (16-byte classic frame or
// 72-byte FD frame).
//
// Client to broker, told apart by their sizes:
//   16 or 72 bytes       a frame for the connection's interface;
//   32 or 88 bytes       a Targeted frame: an interface name, then the frame (sockets bound to
//                        every interface at once send this way);
//   12 + 8 n bytes       the socket's Settings, with n receive filters.
// The broker applies the settings as the kernel applies a raw socket's options: filters and
// error mask, local loopback, own frames, FD frames, and the receive buffer that bounds what
// a reader that falls behind may hold.
//
// As the kernel's, a socket's options hold for every frame written once the call that set them
// returns, whichever socket or interface it is written on. So settings may carry a descriptor
// (SCM_RIGHTS), the write end of a pipe the client waits on: the broker closes it once the
// settings apply, and for a socket bound to every interface only after passing it on with the
// settings it sends the other interfaces' brokers on the socket's behalf. The client's pipe
// reads end of file when the last of them has closed it. A broker that went away, or drops the
// descriptor unread, only ends the wait sooner.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quillet::sim::can_broker {

inline constexpr char kAddressPrefix[] = "quillet-sim/can/";
inline constexpr std::size_t kAddressPrefixLength = sizeof(kAddressPrefix) - 1;

// Interface names are those the kernel accepts: 1 to IFNAMSIZ - 1 bytes.
inline constexpr std::size_t kMaxNameLength = 15;
inline constexpr std::size_t kNameSize = kMaxNameLength + 1;

inline constexpr std::size_t kClassicFrameSize = 16;
inline constexpr std::size_t kFdFrameSize = 72;

// The MTU of an interface, as SIOCGIFMTU reports it: FD frames pass only with the larger one.
inline constexpr std::uint16_t kClassicMtu = 16;
inline constexpr std::uint16_t kFdMtu = 72;

struct Delivery {
  std::uint8_t kind;   // kHello or kFrame
  std::uint8_t flags;  // kOwnFrame, kLocalFrame
  std::uint16_t mtu;   // of the interface
  std::uint32_t drops;  // frames the connection lost so far because its reader fell behind
  std::int64_t time_ns;  // CLOCK_REALTIME when the frame was passed on
  char name[kNameSize];  // the interface the frame crossed, NUL-terminated
};
static_assert(sizeof(Delivery) == 32);

inline constexpr std::uint8_t kHello = 0;
inline constexpr std::uint8_t kFrame = 1;
inline constexpr std::uint8_t kOwnFrame = 0x01;    // the reader wrote it: MSG_CONFIRM
inline constexpr std::uint8_t kLocalFrame = 0x02;  // another socket of the host wrote it: MSG_DONTROUTE

// The interface's transmit queue, in memory the torso shares with every socket bound to the
// interface (a memfd sent with the hello). While no device acknowledges frames, a frame that is
// written stays queued, retransmitted, and once kTransmitQueueLength frames wait a write is
// refused with ENOBUFS, as by an adapter with its default txqueuelen. Writers count their frames
// in; the torso empties the queue when acknowledgement comes back.
struct TransmitQueue {
  std::atomic<std::uint32_t> unacknowledged;  // 1 while no device acknowledges frames
  std::atomic<std::uint32_t> queued;          // frames written since, not yet sent

  // Takes a place for one frame; false when the queue is full.
  bool take_place() noexcept {
    if (unacknowledged.load(std::memory_order_acquire) == 0) return true;
    std::uint32_t count = queued.load(std::memory_order_relaxed);
    do {
      if (count >= kTransmitQueueLength) return false;
    } while (!queued.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel));
    return true;
  }

  static constexpr std::uint32_t kTransmitQueueLength = 10;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

struct Targeted {
  char name[kNameSize];
  // the frame follows
};
inline constexpr std::size_t kTargetedClassicSize = sizeof(Targeted) + kClassicFrameSize;
inline constexpr std::size_t kTargetedFdSize = sizeof(Targeted) + kFdFrameSize;

struct Settings {
  std::uint8_t tag;    // kSettingsTag
  std::uint8_t flags;  // kTakesFd, kLoopback, kReceiveOwn, kJoinFilters, kAnyInterface
  std::uint16_t reserved;
  std::uint32_t error_mask;     // classes of error frames wanted
  std::uint32_t receive_buffer;  // bytes, as SO_RCVBUF reports them
  // n filters follow, each a can_filter: id word, then mask
};
static_assert(sizeof(Settings) == 12);
inline constexpr std::size_t kFilterSize = 8;
// What a raw socket accepts at most.
inline constexpr std::size_t kMaxFilters = 512;

inline constexpr std::uint8_t kSettingsTag = 0x53;
inline constexpr std::uint8_t kTakesFd = 0x01;
inline constexpr std::uint8_t kLoopback = 0x02;
inline constexpr std::uint8_t kReceiveOwn = 0x04;
inline constexpr std::uint8_t kJoinFilters = 0x08;
inline constexpr std::uint8_t kAnyInterface = 0x10;

inline constexpr bool is_settings_size(std::size_t size) {
  return size >= sizeof(Settings) && (size - sizeof(Settings)) % kFilterSize == 0 &&
         (size - sizeof(Settings)) / kFilterSize <= kMaxFilters;
}

// Sends one message with `descriptor` attached (none when it is negative); sendmsg's result.
// `sendmsg_call` is sendmsg(2) or the C library's own behind an interposer.
template <class SendMessage>
ssize_t send_with_descriptor(SendMessage sendmsg_call, int fd, const void* data, std::size_t size,
                             int descriptor, int flags) noexcept {
  iovec part{const_cast<void*>(data), size};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  if (descriptor >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &descriptor, sizeof descriptor);
  }
  return sendmsg_call(fd, &message, flags);
}

// Fills `address` with the broker address of interface `name` and returns its length, or 0
// when the name is empty or too long.
inline socklen_t broker_address(const char* name, sockaddr_un& address) noexcept {
  const std::size_t length = ::strnlen(name, kMaxNameLength + 1);
  if (length == 0 || length > kMaxNameLength) return 0;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, kAddressPrefix, kAddressPrefixLength);
  std::memcpy(address.sun_path + 1 + kAddressPrefixLength, name, length);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + kAddressPrefixLength +
                                length);
}

// Calls `visit(name)` for every interface name a torso of this network namespace serves: the
// listening sockets at broker addresses in /proc/net/unix. `read_call` is read(2) or the C
// library's own behind an interposer.
template <class Read, class Visit>
void for_each_served_name(Read read_call, Visit visit) noexcept {
  const int fd = ::open("/proc/net/unix", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char buffer[8192];
  std::size_t held = 0;
  for (;;) {
    const ssize_t got = read_call(fd, buffer + held, sizeof buffer - held);
    if (got <= 0) break;
    held += static_cast<std::size_t>(got);
    std::size_t start = 0;
    for (std::size_t end = 0; end < held; ++end) {
      if (buffer[end] != '\n') continue;
      // "Num: RefCount Protocol Flags Type St Inode Path"; a listener has flag __SO_ACCEPTCON.
      char* line = buffer + start;
      const std::size_t length = end - start;
      start = end + 1;
      const char* marker = static_cast<const char*>(::memmem(line, length, " @", 2));
      if (marker == nullptr || ::memmem(line, length, " 00010000 ", 10) == nullptr) continue;
      const char* path = marker + 2;
      const std::size_t path_length = static_cast<std::size_t>(line + length - path);
      if (path_length <= kAddressPrefixLength || path_length > kAddressPrefixLength + kMaxNameLength ||
          std::memcmp(path, kAddressPrefix, kAddressPrefixLength) != 0) {
        continue;
      }
      char name[kNameSize] = {};
      std::memcpy(name, path + kAddressPrefixLength, path_length - kAddressPrefixLength);
      if (std::strlen(name) == path_length - kAddressPrefixLength) visit(static_cast<const char*>(name));
    }
    if (start == 0 && held == sizeof buffer) held = 0;  // a line longer than the buffer: not ours
    std::memmove(buffer, buffer + start, held - start);
    held -= start;
  }
  ::close(fd);
}

}  // namespace quillet::sim::can_broker
