// The CAN frame read of the SocketCAN transport, over one end of a SOCK_SEQPACKET socket pair
// whose other end plays the kernel: whatever packets it delivers, classic (16 bytes), FD (72)
// or of any other size; then a request over more such packets left waiting, which it discards.
// Input: how many packets are read one by one, then packets as a length byte and the bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "can_bus/transport/socketcan.hpp"
#include "fuzz_support.hpp"

using namespace quillet::can_bus;
using namespace quillet::fuzz;
using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kExtendedFlag = 0x80000000, kErrorFlag = 0x20000000;
constexpr std::size_t kClassicSize = 16, kFdSize = 72;
constexpr std::size_t kMaxPackets = 32;  // well within the pair's buffer: writes never block

struct Pair {
  Pair() {
    int fds[2];
    QMC_FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0);
    transport = std::make_unique<SocketCanTransport>(fds[0]);
    peer = fds[1];
  }
  std::unique_ptr<SocketCanTransport> transport;
  int peer;
};

std::uint32_t word_of(std::span<const std::uint8_t> packet) {
  std::uint32_t word;
  std::memcpy(&word, packet.data(), 4);  // host order, as the kernel writes it
  return word;
}

// The structure that `send` must write for the frame read from `packet`: the id bits and
// frame kind kept, the length the number of data bytes read, everything unused zero.
Bytes canonical(std::span<const std::uint8_t> packet, std::size_t data_size) {
  const std::uint32_t word = word_of(packet);
  const std::uint32_t id = (word & kExtendedFlag) ? (word & (kExtendedFlag | 0x1FFFFFFF)) : (word & 0x7FF);
  Bytes out(packet.size(), 0);
  std::memcpy(out.data(), &id, 4);
  out[4] = static_cast<std::uint8_t>(data_size);
  if (packet.size() == kFdSize) out[5] = packet[5] & 0x01;  // bit-rate switch
  std::copy_n(packet.begin() + 8, data_size, out.begin() + 8);
  return out;
}

std::optional<Bytes> peer_read(int peer) {
  std::array<std::uint8_t, 128> buf;
  const ssize_t n = ::recv(peer, buf.data(), buf.size(), MSG_DONTWAIT);
  if (n < 0) return std::nullopt;
  return Bytes(buf.begin(), buf.begin() + n);
}

void check_read(SocketCanTransport& transport, int peer, std::span<const std::uint8_t> packet) {
  auto frame = transport.recv(1s);
  if (packet.size() != kClassicSize && packet.size() != kFdSize) {
    QMC_FUZZ_CHECK(!frame && frame.error().message() == "backend error: unexpected CAN frame size: " +
                                                           std::to_string(packet.size()) + " bytes");
    return;
  }
  QMC_FUZZ_CHECK(frame.has_value());
  const std::uint32_t word = word_of(packet);
  const bool fd = packet.size() == kFdSize;
  const CanId id = (word & kExtendedFlag) ? CanId::extended(word & 0x1FFFFFFF) : CanId::standard(word & 0x7FF);
  const std::size_t size = fd ? std::min<std::size_t>(packet[4], 64)
                           : (word & kErrorFlag) ? 8 : std::min<std::size_t>(packet[4], 8);
  QMC_FUZZ_CHECK(frame->id == id && frame->id.is_valid() && frame->fd == fd);
  QMC_FUZZ_CHECK(frame->brs == (fd && (packet[5] & 0x01)));
  QMC_FUZZ_CHECK(same(frame->data, packet.subspan(8, size)));

  // Sent back, it is the frame's own structure; a frame read from such a structure (no remote
  // or error flag, nothing in the unused bytes) re-encodes to the very bytes it came from.
  QMC_FUZZ_CHECK(transport.send(*frame).has_value());
  const auto written = peer_read(peer);
  QMC_FUZZ_CHECK(written && same(*written, canonical(packet, size)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Pair pair;
  if (size < 1) return 0;
  const std::size_t read_one_by_one = data[0];
  std::vector<std::span<const std::uint8_t>> packets;
  for (std::span<const std::uint8_t> in(data + 1, size - 1); !in.empty() && packets.size() < kMaxPackets;) {
    const std::size_t len = std::min<std::size_t>(in[0] % kFdSize + 1, in.size() - 1);
    if (len == 0) break;
    packets.push_back(in.subspan(1, len));
    in = in.subspan(1 + len);
  }

  std::size_t i = 0;
  for (; i < packets.size() && i < read_one_by_one; ++i) {
    QMC_FUZZ_CHECK(::send(pair.peer, packets[i].data(), packets[i].size(), 0) ==
                   static_cast<ssize_t>(packets[i].size()));
    check_read(*pair.transport, pair.peer, packets[i]);
  }

  // The rest waits on the socket when a request goes out: all of it is discarded, the request
  // is sent, and with no time to wait the answer is a time-out.
  for (std::size_t k = i; k < packets.size(); ++k) {
    QMC_FUZZ_CHECK(::send(pair.peer, packets[k].data(), packets[k].size(), 0) ==
                   static_cast<ssize_t>(packets[k].size()));
  }
  const CanFrame request{{0x01, 0x00, 0xCC, 0, 0, 0, 0, 0}, CanId::standard(0x7FF)};
  auto reply = pair.transport->request(request, CanId::standard(1), 0ns);
  QMC_FUZZ_CHECK(!reply && reply.error().is_timeout());
  std::uint8_t left;
  QMC_FUZZ_CHECK(::recv(pair.transport->fd(), &left, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN);
  const auto sent = peer_read(pair.peer);
  QMC_FUZZ_CHECK(sent && sent->size() == kClassicSize && sent->at(8) == 0x01 && sent->at(10) == 0xCC);
  QMC_FUZZ_CHECK(!peer_read(pair.peer));
  return 0;
}
