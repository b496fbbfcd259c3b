// The C library's own versions of the calls the stand-in takes over, found behind it in the
// lookup order. Inside the stand-in every call to one of these names goes through here:
// calling the plain name would come back into the stand-in.
#pragma once

#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace quillet::socketcan::real {

// accessor, symbol, type
#define QSC_REAL_CALLS(X)                                                                  \
  X(socket, "socket", int(int, int, int))                                                 \
  X(bind, "bind", int(int, const sockaddr*, socklen_t))                                   \
  X(close, "close", int(int))                                                             \
  X(close_range, "close_range", int(unsigned, unsigned, int))                             \
  X(closefrom, "closefrom", void(int))                                                    \
  X(dup, "dup", int(int))                                                                 \
  X(dup2, "dup2", int(int, int))                                                          \
  X(dup3, "dup3", int(int, int, int))                                                     \
  X(fcntl, "fcntl", int(int, int, ...))                                                   \
  X(fcntl64, "fcntl64", int(int, int, ...))                                               \
  X(ioctl, "ioctl", int(int, unsigned long, ...))                                         \
  X(setsockopt, "setsockopt", int(int, int, int, const void*, socklen_t))                 \
  X(getsockopt, "getsockopt", int(int, int, int, void*, socklen_t*))                      \
  X(getsockname, "getsockname", int(int, sockaddr*, socklen_t*))                          \
  X(getpeername, "getpeername", int(int, sockaddr*, socklen_t*))                          \
  X(read, "read", ssize_t(int, void*, size_t))                                            \
  X(write, "write", ssize_t(int, const void*, size_t))                                    \
  X(recv, "recv", ssize_t(int, void*, size_t, int))                                       \
  X(send, "send", ssize_t(int, const void*, size_t, int))                                 \
  X(recvfrom, "recvfrom", ssize_t(int, void*, size_t, int, sockaddr*, socklen_t*))        \
  X(sendto, "sendto", ssize_t(int, const void*, size_t, int, const sockaddr*, socklen_t)) \
  X(recvmsg, "recvmsg", ssize_t(int, msghdr*, int))                                       \
  X(sendmsg, "sendmsg", ssize_t(int, const msghdr*, int))                                 \
  X(read_chk, "__read_chk", ssize_t(int, void*, size_t, size_t))                          \
  X(recv_chk, "__recv_chk", ssize_t(int, void*, size_t, size_t, int))                     \
  X(recvfrom_chk, "__recvfrom_chk",                                                       \
    ssize_t(int, void*, size_t, size_t, int, sockaddr*, socklen_t*))                      \
  X(if_nametoindex, "if_nametoindex", unsigned(const char*))                              \
  X(if_indextoname, "if_indextoname", char*(unsigned, char*))                              \
  X(if_nameindex, "if_nameindex", struct if_nameindex*())                                 \
  X(poll, "poll", int(pollfd*, nfds_t, int))                                              \
  X(poll_chk, "__poll_chk", int(pollfd*, nfds_t, int, size_t))                            \
  X(ppoll, "ppoll", int(pollfd*, nfds_t, const timespec*, const sigset_t*))              \
  X(select, "select", int(int, fd_set*, fd_set*, fd_set*, timeval*))                      \
  X(pselect, "pselect",                                                                   \
    int(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*))

// Each accessor returns the next definition, or nullptr when the C library has none (an older
// one without close_range, say).
#define QSC_DECLARE_REAL(accessor, symbol, ...) \
  using accessor##_fn = __VA_ARGS__;            \
  accessor##_fn* accessor() noexcept;
QSC_REAL_CALLS(QSC_DECLARE_REAL)
#undef QSC_DECLARE_REAL

// Looks every call up at once, so that none is looked up later inside a signal handler.
void resolve_all() noexcept;

}  // namespace quillet::socketcan::real
