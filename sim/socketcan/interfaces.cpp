#include "interfaces.hpp"

#include <sys/socket.h>
#include <sys/un.h>

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

}  // namespace quillet::socketcan
