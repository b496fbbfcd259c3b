// The raw-socket options of each CAN socket that the broker applies for it (receive filters,
// error mask, loopback, own frames, joined filters), kept by socket, and the settings message
// that carries them to the broker. Every call here expects the ChangeLock to be held.
#pragma once

#include <linux/can.h>

#include <cstddef>
#include <cstdint>

#include "fd_table.hpp"

namespace quillet::socketcan {

struct RawOptions {
  bool loopback = true;
  bool receive_own = false;
  bool join_filters = false;
  std::uint32_t error_mask = 0;
};

RawOptions options_of(std::uint64_t inode) noexcept;
// 0, or the errno for the caller of setsockopt(): ENOMEM.
int set_options(std::uint64_t inode, const RawOptions& options) noexcept;

// Copies up to `capacity` filters of the socket into `out` and returns how many it has (one
// that passes everything until told otherwise).
std::size_t filters_of(std::uint64_t inode, can_filter* out, std::size_t capacity) noexcept;
int set_filters(std::uint64_t inode, const can_filter* filters, std::size_t count) noexcept;

// The settings message for the broker; its length, or 0 when `capacity` is too small.
std::size_t settings_message(const CanSocket& socket, std::uint32_t receive_buffer,
                             unsigned char* out, std::size_t capacity) noexcept;

}  // namespace quillet::socketcan
