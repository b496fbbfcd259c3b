#include "interfaces.hpp"

#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "broker_protocol.hpp"
#include "fd_table.hpp"
#include "real_calls.hpp"

namespace quillet::socketcan {
namespace broker = quillet::sim::can_broker;
namespace {

// Slots are filled once and never change; the count is published after the name is written,
// so readers need no lock.
char g_names[kMaxInterfaces][broker::kMaxNameLength + 1];
std::atomic<int> g_count{0};
std::atomic<unsigned> g_mtus[kMaxInterfaces];

// The names the kernel accepts for an interface.
bool is_valid_name(const char* name) noexcept {
  const std::size_t length = ::strnlen(name, broker::kMaxNameLength + 1);
  if (length == 0 || length > broker::kMaxNameLength) return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c == ':' || std::isspace(c)) return false;
  }
  return true;
}

int find_slot(const char* name) noexcept {
  const int count = g_count.load(std::memory_order_acquire);
  for (int slot = 0; slot < count; ++slot) {
    if (std::strcmp(g_names[slot], name) == 0) return slot;
  }
  return -1;
}

// The broker answers a new connection with its hello once its loop comes round to it.
constexpr int kHelloTimeoutMs = 5000;

// The transmit queues met so far, told apart by their memfd's inode; added by bind(), which holds
// the ChangeLock, and published in order.
struct MappedQueue {
  dev_t device;
  ino_t inode;
  broker::TransmitQueue* queue;
};
MappedQueue g_queues[kMaxQueues];
std::atomic<int> g_queue_count{0};

// The number of the queue behind `fd` (mapped on first sight), or -1; closes `fd`.
int queue_of(int fd) noexcept {
  struct stat details;
  int found = -1;
  if (::fstat(fd, &details) == 0) {
    const int count = g_queue_count.load(std::memory_order_relaxed);
    for (int i = 0; i < count && found < 0; ++i) {
      if (g_queues[i].device == details.st_dev && g_queues[i].inode == details.st_ino) found = i;
    }
    if (found < 0 && count < kMaxQueues) {
      void* memory = ::mmap(nullptr, sizeof(broker::TransmitQueue), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (memory != MAP_FAILED) {
        g_queues[count] = {details.st_dev, details.st_ino, static_cast<broker::TransmitQueue*>(memory)};
        g_queue_count.store(count + 1, std::memory_order_release);
        found = count;
      }
    }
  }
  real::close()(fd);
  return found;
}

// Reads the hello: the MTU, and the queue's descriptor when one came with it.
ssize_t receive_hello(int fd, broker::Delivery& hello, int& queue_fd) noexcept {
  iovec part{&hello, sizeof hello};
  // Room for the time stamps a socket may have asked for (python-can does) beside the descriptor.
  alignas(cmsghdr) char control[256];
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = real::recvmsg()(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (got < 0) return got;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
        header->cmsg_len == CMSG_LEN(sizeof(int))) {
      std::memcpy(&queue_fd, CMSG_DATA(header), sizeof queue_fd);
    }
  }
  return got;
}

// Connects `fd` to a broker and reads the hello; 0 or the errno.
int connect_and_greet(int fd, const sockaddr_un& address, socklen_t length, unsigned& mtu, int* queue) noexcept {
  // The broker is local, so the connection is made at once even on a non-blocking socket; only
  // a full backlog makes it wait, a millisecond at a time.
  for (int attempt = 0;; ++attempt) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN && attempt < 2000) {
      const timespec pause{0, 1'000'000};
      ::nanosleep(&pause, nullptr);
      continue;
    }
    return errno == ECONNREFUSED || errno == ENOENT ? ENODEV : errno;
  }
  broker::Delivery hello{};
  for (;;) {
    pollfd wait{fd, POLLIN, 0};
    const int ready = real::poll()(&wait, 1, kHelloTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return ENODEV;
    int queue_fd = -1;
    const ssize_t got = receive_hello(fd, hello, queue_fd);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (queue_fd >= 0 && queue == nullptr) real::close()(queue_fd);
    if (queue != nullptr) *queue = queue_fd >= 0 ? queue_of(queue_fd) : -1;
    if (got != static_cast<ssize_t>(sizeof hello) || hello.kind != broker::kHello) return ENODEV;
    mtu = hello.mtu;
    return 0;
  }
}

}  // namespace

bool is_served(const char* name) noexcept {
  if (name == nullptr || !is_valid_name(name)) return false;
  sockaddr_un address;
  const socklen_t length = broker::broker_address(name, address);
  if (length == 0) return false;
  const int saved = errno;
  // Non-blocking, so that a broker with a full backlog answers EAGAIN instead of stalling us:
  // someone listens there all the same.
  const int probe = real::socket()(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  bool served = false;
  if (probe >= 0) {
    served = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0 ||
             errno == EAGAIN;
    real::close()(probe);
  }
  errno = saved;
  return served;
}

unsigned index_of_served(const char* name) noexcept {
  if (!is_served(name)) return 0;
  return index_of_known(name);
}

unsigned index_of_known(const char* name) noexcept {
  if (name == nullptr || !is_valid_name(name)) return 0;
  int slot = find_slot(name);
  if (slot < 0) {
    ChangeLock lock;
    slot = find_slot(name);
    const int count = g_count.load(std::memory_order_relaxed);
    if (slot < 0 && count < kMaxInterfaces) {
      std::strncpy(g_names[count], name, broker::kMaxNameLength);
      g_names[count][broker::kMaxNameLength] = '\0';
      g_count.store(count + 1, std::memory_order_release);
      slot = count;
    }
  }
  return slot < 0 ? 0 : index_of_slot(slot);
}

int connect_served(int fd, const char* name, unsigned& mtu, int* queue) noexcept {
  sockaddr_un address;
  const socklen_t length = is_valid_name(name) ? broker::broker_address(name, address) : 0;
  if (length == 0) return ENODEV;
  const int error = connect_and_greet(fd, address, length, mtu, queue);
  if (error == 0) {
    const int slot = find_slot(name);
    if (slot >= 0) g_mtus[slot].store(mtu, std::memory_order_relaxed);
  }
  return error;
}

unsigned mtu_of_served(const char* name) noexcept {
  const int saved = errno;
  unsigned mtu = 0;
  const int fd = real::socket()(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    if (connect_served(fd, name, mtu) != 0) mtu = 0;
    real::close()(fd);
  }
  errno = saved;
  return mtu;
}

unsigned mtu_of_slot(int slot) noexcept {
  const char* name = name_of_slot(slot);
  if (name == nullptr) return 0;
  const unsigned known = g_mtus[slot].load(std::memory_order_relaxed);
  return known != 0 ? known : mtu_of_served(name);
}

void for_each_served(void (*visit)(const char* name, void* context), void* context) noexcept {
  const int saved = errno;
  broker::for_each_served_name(real::read(), [&](const char* name) { visit(name, context); });
  errno = saved;
}

int slot_of_index(unsigned index) noexcept {
  if (index < kFirstIndex) return -1;
  const unsigned slot = index - kFirstIndex;
  return slot < static_cast<unsigned>(g_count.load(std::memory_order_acquire))
             ? static_cast<int>(slot)
             : -1;
}

unsigned index_of_slot(int slot) noexcept { return kFirstIndex + static_cast<unsigned>(slot); }

const char* name_of_slot(int slot) noexcept {
  if (slot < 0 || slot >= g_count.load(std::memory_order_acquire)) return nullptr;
  return g_names[slot];
}

const char* name_of_index(unsigned index) noexcept { return name_of_slot(slot_of_index(index)); }

broker::TransmitQueue* transmit_queue(int queue) noexcept {
  if (queue < 0 || queue >= g_queue_count.load(std::memory_order_acquire)) return nullptr;
  return g_queues[queue].queue;
}

}  // namespace quillet::socketcan
