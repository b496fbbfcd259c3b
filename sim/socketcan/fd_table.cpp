#include "fd_table.hpp"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

namespace quillet::socketcan {
namespace {

// A record packed in one word, so that it is read and written whole: bit 0 marks a CAN
// socket, bits 1 to 4 its flags, bits 8 to 15 the interface slot plus one, bits 16 to 27 the
// transmit queue plus one.
constexpr std::uint32_t kPresent = 1u << 0;
constexpr std::uint32_t kFdFrames = 1u << 1;
constexpr std::uint32_t kInterfaceFd = 1u << 2;
constexpr std::uint32_t kDropsWanted = 1u << 3;
constexpr std::uint32_t kGone = 1u << 4;
constexpr int kInterfaceShift = 8;
constexpr std::uint32_t kInterfaceMask = 0xffu << kInterfaceShift;
constexpr int kQueueShift = 16;
constexpr std::uint32_t kQueueMask = 0xfffu << kQueueShift;

struct Slot {
  std::atomic<std::uint64_t> inode{0};
  std::atomic<std::uint32_t> state{0};
  std::atomic<std::int64_t> last_time{0};
};

// Two levels, so that a process with few descriptors holds one small chunk.
constexpr int kChunkBits = 10;
constexpr int kChunkSize = 1 << kChunkBits;
constexpr int kChunkCount = kMaxDescriptors / kChunkSize;

std::atomic<Slot*> g_chunks[kChunkCount];

std::atomic<pid_t> g_pid{0};
pthread_mutex_t g_change_lock = PTHREAD_MUTEX_INITIALIZER;

std::uint32_t pack(const CanSocket& socket) noexcept {
  std::uint32_t state = kPresent;
  if (socket.fd_frames) state |= kFdFrames;
  if (socket.interface_fd) state |= kInterfaceFd;
  if (socket.drops_wanted) state |= kDropsWanted;
  if (socket.gone) state |= kGone;
  if (socket.interface >= 0) {
    state |= (static_cast<std::uint32_t>(socket.interface) + 1) << kInterfaceShift;
  }
  if (socket.queue >= 0) state |= ((static_cast<std::uint32_t>(socket.queue) + 1) << kQueueShift) & kQueueMask;
  return state;
}

CanSocket unpack(std::uint32_t state, std::uint64_t inode) noexcept {
  return CanSocket{inode,
                   (state & kFdFrames) != 0,
                   static_cast<int>((state & kInterfaceMask) >> kInterfaceShift) - 1,
                   (state & kInterfaceFd) != 0,
                   (state & kDropsWanted) != 0,
                   (state & kGone) != 0,
                   static_cast<int>((state & kQueueMask) >> kQueueShift) - 1};
}

Slot* existing_slot(int fd) noexcept {
  if (fd < 0 || fd >= kMaxDescriptors) return nullptr;
  Slot* chunk = g_chunks[fd >> kChunkBits].load(std::memory_order_acquire);
  return chunk == nullptr ? nullptr : &chunk[fd & (kChunkSize - 1)];
}

Slot* new_slot(int fd) noexcept {
  if (Slot* slot = existing_slot(fd)) return slot;
  // calloc, not new: the library carries no C++ runtime into the process.
  void* memory = std::calloc(kChunkSize, sizeof(Slot));
  if (memory == nullptr) return nullptr;
  Slot* fresh = static_cast<Slot*>(memory);
  for (int i = 0; i < kChunkSize; ++i) new (&fresh[i]) Slot;
  Slot* expected = nullptr;
  std::atomic<Slot*>& chunk = g_chunks[fd >> kChunkBits];
  if (!chunk.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    std::free(memory);
    fresh = expected;
  }
  return &fresh[fd & (kChunkSize - 1)];
}

// False in a vfork() child: its stores would land in the parent's records.
bool owns_memory() noexcept {
  const pid_t pid = g_pid.load(std::memory_order_relaxed);
  return pid == 0 || pid == ::getpid();
}

}  // namespace

bool is_can_socket(int fd) noexcept {
  const Slot* slot = existing_slot(fd);
  return slot != nullptr && (slot->state.load(std::memory_order_acquire) & kPresent) != 0;
}

std::optional<CanSocket> find(int fd) noexcept {
  const Slot* slot = existing_slot(fd);
  if (slot == nullptr) return std::nullopt;
  const std::uint32_t state = slot->state.load(std::memory_order_acquire);
  if ((state & kPresent) == 0) return std::nullopt;
  return unpack(state, slot->inode.load(std::memory_order_relaxed));
}

bool is_same_socket(int fd, const CanSocket& socket) noexcept {
  const int saved = errno;
  struct stat status;
  const bool same = ::fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode) &&
                    static_cast<std::uint64_t>(status.st_ino) == socket.inode;
  errno = saved;
  return same;
}

std::optional<CanSocket> find_checked(int fd) noexcept {
  std::optional<CanSocket> socket = find(fd);
  if (socket && !is_same_socket(fd, *socket)) {
    forget(fd);
    return std::nullopt;
  }
  return socket;
}

int remember(int fd, const CanSocket& socket) noexcept {
  if (fd < 0 || fd >= kMaxDescriptors) return EMFILE;
  Slot* slot = new_slot(fd);
  if (slot == nullptr) return ENOMEM;
  slot->inode.store(socket.inode, std::memory_order_relaxed);
  slot->last_time.store(0, std::memory_order_relaxed);
  slot->state.store(pack(socket), std::memory_order_release);
  return 0;
}

void forget(int fd) noexcept {
  Slot* slot = existing_slot(fd);
  if (slot == nullptr || slot->state.load(std::memory_order_relaxed) == 0) return;
  if (owns_memory()) slot->state.store(0, std::memory_order_release);
}

void forget_range(unsigned first, unsigned last) noexcept {
  if (first >= static_cast<unsigned>(kMaxDescriptors) || !owns_memory()) return;
  if (last >= static_cast<unsigned>(kMaxDescriptors)) last = kMaxDescriptors - 1;
  for (unsigned fd = first; fd <= last; ++fd) {
    Slot* chunk = g_chunks[fd >> kChunkBits].load(std::memory_order_acquire);
    if (chunk == nullptr) {
      fd |= kChunkSize - 1;  // skip the rest of an empty chunk
      continue;
    }
    chunk[fd & (kChunkSize - 1)].state.store(0, std::memory_order_release);
  }
}

void copy(int from, int to) noexcept {
  if (from == to) return;
  const std::optional<CanSocket> socket = find(from);
  if (!socket) {
    forget(to);
    return;
  }
  if (owns_memory()) remember(to, *socket);
}

void update(const CanSocket& socket) noexcept {
  if (!owns_memory()) return;
  const std::uint32_t state = pack(socket);
  for (std::atomic<Slot*>& entry : g_chunks) {
    Slot* chunk = entry.load(std::memory_order_acquire);
    if (chunk == nullptr) continue;
    for (int i = 0; i < kChunkSize; ++i) {
      Slot& slot = chunk[i];
      if ((slot.state.load(std::memory_order_acquire) & kPresent) != 0 &&
          slot.inode.load(std::memory_order_relaxed) == socket.inode) {
        slot.state.store(state, std::memory_order_release);
      }
    }
  }
}

bool in_use(std::uint64_t inode) noexcept {
  for (std::atomic<Slot*>& entry : g_chunks) {
    Slot* chunk = entry.load(std::memory_order_acquire);
    if (chunk == nullptr) continue;
    for (int i = 0; i < kChunkSize; ++i) {
      if ((chunk[i].state.load(std::memory_order_acquire) & kPresent) != 0 &&
          chunk[i].inode.load(std::memory_order_relaxed) == inode) {
        return true;
      }
    }
  }
  return false;
}

void note_time(int fd, std::int64_t time_ns) noexcept {
  if (Slot* slot = existing_slot(fd)) slot->last_time.store(time_ns, std::memory_order_relaxed);
}

std::int64_t last_time(int fd) noexcept {
  const Slot* slot = existing_slot(fd);
  return slot == nullptr ? 0 : slot->last_time.load(std::memory_order_relaxed);
}

ChangeLock::ChangeLock() noexcept { ::pthread_mutex_lock(&g_change_lock); }
ChangeLock::~ChangeLock() { ::pthread_mutex_unlock(&g_change_lock); }

void note_process() noexcept { g_pid.store(::getpid(), std::memory_order_relaxed); }

void reset_after_fork() noexcept {
  // The child has one thread: a lock held by another thread of the parent would never open.
  ::pthread_mutex_init(&g_change_lock, nullptr);
  note_process();
}

}  // namespace quillet::socketcan
