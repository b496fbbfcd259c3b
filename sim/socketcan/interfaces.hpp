// The interface names a running torso serves, and the indexes this process hands out for them.
// An index is made up on first use of a name and kept for the life of the process, far above
// the indexes the kernel gives real interfaces.
#pragma once

#include "broker_protocol.hpp"

namespace quillet::socketcan {

inline constexpr int kMaxInterfaces = 64;
inline constexpr unsigned kFirstIndex = 0x43414e00;

// Whether a torso serves `name` now: one connection to its broker, closed again at once.
// errno untouched.
bool is_served(const char* name) noexcept;

// The index of `name` when a torso serves it, else 0 (also when every slot is taken).
// errno untouched.
unsigned index_of_served(const char* name) noexcept;

// The index of a name known to be served (named by its torso), else 0. errno untouched.
unsigned index_of_known(const char* name) noexcept;

// Connects unix socket `fd` to the torso serving `name` and reads its hello, which tells the
// interface's MTU (also kept for mtu_of_slot) and, when `queue` is given (the caller then holds
// the ChangeLock), the number of the interface's transmit queue (-1 when it has none); 0 or the
// errno (ENODEV when nobody serves it).
int connect_served(int fd, const char* name, unsigned& mtu, int* queue = nullptr) noexcept;

// The transmit queue of a number connect_served gave, else nullptr. Each torso's queue is mapped
// once per process and stays mapped: a few pages per torso the process ever met.
inline constexpr int kMaxQueues = 4095;
sim::can_broker::TransmitQueue* transmit_queue(int queue) noexcept;

// The MTU of a served interface, else 0. errno untouched.
unsigned mtu_of_served(const char* name) noexcept;
// The MTU of the interface in a slot, asked of its torso the first time; 0 when not served.
unsigned mtu_of_slot(int slot) noexcept;

// Calls visit(name) for every interface a torso serves now.
void for_each_served(void (*visit)(const char* name, void* context), void* context) noexcept;

// The slot of a made-up index, -1 for any other index.
int slot_of_index(unsigned index) noexcept;
unsigned index_of_slot(int slot) noexcept;

// The NUL-terminated name in a slot in use, or of a made-up index, else nullptr.
const char* name_of_slot(int slot) noexcept;
const char* name_of_index(unsigned index) noexcept;

}  // namespace quillet::socketcan
