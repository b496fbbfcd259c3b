// Which descriptors of this process are CAN sockets of the stand-in, and what each socket
// knows: whether it takes FD frames and the interface it is bound to.
//
// Look-ups take no lock and make no system call, so that read() and write() on other
// descriptors pay next to nothing and close() stays async-signal-safe. A record may outlive its
// descriptor when something closes it behind the C library's back; callers that are about to
// behave differently from a plain socket check `is_same_socket` first.
#pragma once

#include <cstdint>
#include <optional>

namespace quillet::socketcan {

struct CanSocket {
  std::uint64_t inode = 0;  // shared by every descriptor of the socket
  bool fd_frames = false;
  int interface = -1;  // slot in the interface table, -1 while unbound, or kEveryInterface
  bool interface_fd = false;  // the interface takes FD frames (its MTU is 72)
  bool drops_wanted = false;  // SO_RXQ_OVFL
  bool gone = false;  // the torso serving the interface stopped, and the socket was told
  int queue = -1;  // the interface's transmit queue (see transmit_queue()), -1 without one
};

// Bound to interface index 0: every interface at once.
inline constexpr int kEveryInterface = 254;

// Descriptors at or above this are never taken for CAN sockets.
inline constexpr int kMaxDescriptors = 1 << 20;

bool is_can_socket(int fd) noexcept;
std::optional<CanSocket> find(int fd) noexcept;

// Whether `fd` still refers to the socket `socket` was recorded for (one fstat). errno untouched.
bool is_same_socket(int fd, const CanSocket& socket) noexcept;

// find(), with a stale record forgotten rather than returned.
std::optional<CanSocket> find_checked(int fd) noexcept;

// Returns 0 or the errno for the caller of socket(): EMFILE past kMaxDescriptors, ENOMEM.
int remember(int fd, const CanSocket& socket) noexcept;
void forget(int fd) noexcept;
void forget_range(unsigned first, unsigned last) noexcept;
// `to` becomes a descriptor of the same socket as `from`, or a plain one when `from` is not a
// CAN socket.
void copy(int from, int to) noexcept;
// Stores `socket` for every descriptor of socket.inode.
void update(const CanSocket& socket) noexcept;
// Whether any descriptor of this process refers to socket `inode`.
bool in_use(std::uint64_t inode) noexcept;

// The time of the last frame read from a descriptor (CLOCK_REALTIME, ns), 0 before the first.
void note_time(int fd, std::int64_t time_ns) noexcept;
std::int64_t last_time(int fd) noexcept;

// Serialises the changes that take more than one step (binding, options, new interface names).
// Never taken on the paths of close() or of frames.
class ChangeLock {
 public:
  ChangeLock() noexcept;
  ~ChangeLock();
  ChangeLock(const ChangeLock&) = delete;
  ChangeLock& operator=(const ChangeLock&) = delete;
};

// Called at load and in the child of every fork(). A vfork() child shares its parent's memory
// but not its descriptors: the records ignore changes made from one.
void note_process() noexcept;
void reset_after_fork() noexcept;

}  // namespace quillet::socketcan
