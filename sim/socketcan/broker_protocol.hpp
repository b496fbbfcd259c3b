// How a CAN socket of the stand-in meets the torso that serves its interface.
//
// For every interface name it serves, the torso listens on an abstract-namespace unix
// SOCK_SEQPACKET address: a NUL byte, kAddressPrefix, then the name (no trailing NUL). Each
// message on a connection is either one frame in the kernel's layout (16-byte classic frame or
// 72-byte FD frame) or one option byte saying whether the client takes FD frames (off until
// told). A frame goes to every other connection of the interface, never back to its writer, and
// an FD frame only to connections that take FD frames. A connection that closes at once is a
// probe asking whether the name is served.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>

namespace quillet::sim::can_broker {

inline constexpr char kAddressPrefix[] = "quillet-sim/can/";
inline constexpr std::size_t kAddressPrefixLength = sizeof(kAddressPrefix) - 1;

// Interface names are those the kernel accepts: 1 to IFNAMSIZ - 1 bytes.
inline constexpr std::size_t kMaxNameLength = 15;

inline constexpr std::size_t kClassicFrameSize = 16;
inline constexpr std::size_t kFdFrameSize = 72;

inline constexpr unsigned char kFdFramesOff = 0x00;
inline constexpr unsigned char kFdFramesOn = 0x01;

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

}  // namespace quillet::sim::can_broker
