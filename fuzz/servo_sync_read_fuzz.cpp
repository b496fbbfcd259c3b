// The sync-read reply path: stale input cleared, one request, a reply per servo read in id
// order; then the same line through the position read of a servo model.
// Input: n (low three bits), n ids, the count of stale bytes (low five bits), those bytes, then
// what the servos answer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <span>

#include "fuzz_support.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/servo/feetech/sm40bl.hpp"

using namespace quillet::servo_bus;
using namespace quillet::fuzz;

namespace {

constexpr std::uint8_t kPresentPosition = 56;

// FF FF FE L 82 56 2 ids... checksum
Bytes sync_read_request(std::span<const std::uint8_t> ids) {
  Bytes out{0xFF, 0xFF, 0xFE, static_cast<std::uint8_t>(ids.size() + 4), 0x82, kPresentPosition, 2};
  out.insert(out.end(), ids.begin(), ids.end());
  out.push_back(wire_checksum(std::span(out).subspan(2)));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> in(data, size);
  if (in.empty()) return 0;
  const std::size_t n = in[0] & 7u;
  if (in.size() < 2 + n) return 0;
  const Bytes ids(in.begin() + 1, in.begin() + 1 + n);
  const std::size_t stale_count = std::min<std::size_t>(in[1 + n] & 31u, in.size() - 2 - n);
  const auto stale = in.subspan(2 + n, stale_count);
  const auto reply = in.subspan(2 + n + stale_count);

  InstantClock clock;
  feetech::FeetechProtocolHandler handler(clock);
  ByteLine port(stale, reply);
  auto replies = handler.sync_read(port, ids, kPresentPosition, 2);
  QMC_FUZZ_CHECK(port.stale_left() == 0);  // a quiet line after the stale bytes: all cleared
  QMC_FUZZ_CHECK(same(port.sent(), sync_read_request(ids)));
  const auto consumed = port.consumed();
  QMC_FUZZ_CHECK(consumed.size() <= reply.size());
  bool two_bytes_each = false;
  if (replies) {
    // Every accepted reply is exactly the bytes it came from, in id order, and nothing more
    // was read.
    QMC_FUZZ_CHECK(replies->size() == n);
    std::size_t at = 0;
    two_bytes_each = true;
    for (std::size_t i = 0; i < n; ++i) {
      QMC_FUZZ_CHECK(consumed.size() >= at + 6);
      const std::size_t length = consumed[at + 3] + 4u;
      QMC_FUZZ_CHECK(consumed.size() >= at + length);
      const auto packet = consumed.subspan(at, length);
      QMC_FUZZ_CHECK(same(status_bytes(ids[i], packet[4], (*replies)[i]), packet));
      two_bytes_each = two_bytes_each && (*replies)[i].size() == 2;
      at += length;
    }
    QMC_FUZZ_CHECK(at == consumed.size());
  }

  // The same line through the model: radians exactly when every reply held two bytes.
  ByteLine again(stale, reply);
  auto radians = feetech::sm40bl.sync_read_present_position(handler, again, ids);
  QMC_FUZZ_CHECK(radians.has_value() == (replies.has_value() && two_bytes_each));
  if (radians) {
    QMC_FUZZ_CHECK(radians->size() == n);
    for (double r : *radians) {
      // Signed 16-bit steps, 4096 a turn, around -pi.
      QMC_FUZZ_CHECK(std::isfinite(r) && std::fabs(r) <= 17 * std::numbers::pi);
    }
  }
  return 0;
}
