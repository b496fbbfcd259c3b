#include "options.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "broker_protocol.hpp"

namespace quillet::socketcan {
namespace broker = quillet::sim::can_broker;
namespace {

// Sockets left at their defaults need no entry.
struct Entry {
  std::uint64_t inode = 0;  // 0: free
  RawOptions options;
  std::size_t filter_count = 1;
  can_filter* filters = nullptr;  // nullptr with one filter: the default that passes everything
};

constexpr std::size_t kEntries = 4096;
Entry g_entries[kEntries];

Entry* find_entry(std::uint64_t inode) noexcept {
  for (Entry& entry : g_entries)
    if (entry.inode == inode) return &entry;
  return nullptr;
}

void release(Entry& entry) noexcept {
  std::free(entry.filters);
  entry = Entry{};
}

// A free entry, reclaiming those of sockets this process no longer holds when none is left.
Entry* new_entry(std::uint64_t inode) noexcept {
  if (Entry* entry = find_entry(inode)) return entry;
  Entry* free_entry = find_entry(0);
  if (free_entry == nullptr) {
    for (Entry& entry : g_entries)
      if (!in_use(entry.inode)) release(entry);
    free_entry = find_entry(0);
  }
  if (free_entry != nullptr) free_entry->inode = inode;
  return free_entry;
}

}  // namespace

RawOptions options_of(std::uint64_t inode) noexcept {
  const Entry* entry = find_entry(inode);
  return entry != nullptr ? entry->options : RawOptions{};
}

int set_options(std::uint64_t inode, const RawOptions& options) noexcept {
  Entry* entry = new_entry(inode);
  if (entry == nullptr) return ENOMEM;
  entry->options = options;
  return 0;
}

std::size_t filters_of(std::uint64_t inode, can_filter* out, std::size_t capacity) noexcept {
  const Entry* entry = find_entry(inode);
  if (entry == nullptr || entry->filters == nullptr) {
    if (capacity > 0 && (entry == nullptr || entry->filter_count == 1)) out[0] = can_filter{0, 0};
    return entry == nullptr ? 1 : entry->filter_count;
  }
  std::memcpy(out, entry->filters, std::min(capacity, entry->filter_count) * sizeof(can_filter));
  return entry->filter_count;
}

int set_filters(std::uint64_t inode, const can_filter* filters, std::size_t count) noexcept {
  Entry* entry = new_entry(inode);
  if (entry == nullptr) return ENOMEM;
  can_filter* copy = nullptr;
  if (count > 0) {
    copy = static_cast<can_filter*>(std::malloc(count * sizeof(can_filter)));
    if (copy == nullptr) return ENOMEM;
    std::memcpy(copy, filters, count * sizeof(can_filter));
  }
  std::free(entry->filters);
  entry->filters = copy;
  entry->filter_count = count;
  return 0;
}

std::size_t settings_message(const CanSocket& socket, std::uint32_t receive_buffer,
                             unsigned char* out, std::size_t capacity) noexcept {
  const RawOptions options = options_of(socket.inode);
  can_filter* filters = reinterpret_cast<can_filter*>(out + sizeof(broker::Settings));
  if (capacity < sizeof(broker::Settings)) return 0;
  const std::size_t room = (capacity - sizeof(broker::Settings)) / sizeof(can_filter);
  const std::size_t count = filters_of(socket.inode, filters, room);
  if (count > room) return 0;
  broker::Settings head{};
  head.tag = broker::kSettingsTag;
  head.flags = static_cast<std::uint8_t>(
      (socket.fd_frames ? broker::kTakesFd : 0) | (options.loopback ? broker::kLoopback : 0) |
      (options.receive_own ? broker::kReceiveOwn : 0) |
      (options.join_filters ? broker::kJoinFilters : 0) |
      (socket.interface == kEveryInterface ? broker::kAnyInterface : 0));
  head.error_mask = options.error_mask;
  head.receive_buffer = receive_buffer;
  std::memcpy(out, &head, sizeof head);
  return sizeof head + count * sizeof(can_filter);
}

}  // namespace quillet::socketcan
