// The servo status packet reader, fed through the serial port interface, and the status decoder
// on the exact bytes. Input: the expected id, then what the line delivers.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <span>

#include "fuzz_support.hpp"
#include "servo_bus/feetech_protocol/feetech.hpp"
#include "servo_bus/feetech_protocol/packet.hpp"

using namespace quillet::servo_bus;
using namespace quillet::fuzz;

namespace {

// An accepted packet is exactly the bytes it came from.
void check_accepted(const feetech::StatusPacket& packet, std::span<const std::uint8_t> bytes,
                    std::uint8_t expected_id) {
  QMC_FUZZ_CHECK(bytes.size() >= 6 && bytes.size() == bytes[3] + 4u);
  QMC_FUZZ_CHECK(packet.id() == expected_id && bytes[2] == expected_id);
  QMC_FUZZ_CHECK(same(status_bytes(packet.id(), bytes[4], packet.params()), bytes));
  QMC_FUZZ_CHECK(same(packet.errors(), error_codes(bytes[4])));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t expected_id = data[0];
  const std::span<const std::uint8_t> line(data + 1, size - 1);

  // Through the port: the header, then as many bytes as the length byte says.
  ByteLine port({}, line);
  (void)port.write_all({});  // the request went out: the reply is readable
  InstantClock clock;
  feetech::FeetechProtocolHandler handler(clock);
  auto status = handler.read_status_packet(port, expected_id);
  const auto consumed = port.consumed();
  QMC_FUZZ_CHECK(consumed.size() <= line.size());
  if (status) check_accepted(*status, consumed, expected_id);
  if (line.size() >= 4 && (line[0] != 0xFF || line[1] != 0xFF)) {
    // A bad header is refused after its four bytes; the rest stays for the next send to clear.
    QMC_FUZZ_CHECK(!status && consumed.size() == 4);
    QMC_FUZZ_CHECK(status.error().communication_kind() == feetech::CommunicationErrorKind::ParsingError);
  } else if (line.size() >= 4) {
    // Never more than the packet its length byte announces: what follows is the next reply's.
    QMC_FUZZ_CHECK(consumed.size() == std::min<std::size_t>(line.size(), 4u + line[3]));
  }

  // The decoder on exactly the received bytes (a heap copy, so any read past them is caught).
  if (line.size() >= 2 && line[0] == 0xFF && line[1] == 0xFF) {
    const Bytes exact(line.begin(), line.end());
    auto decoded = feetech::StatusPacketFeetech::from_bytes(exact, expected_id);
    if (decoded) check_accepted(*decoded, exact, expected_id);
  }
  return 0;
}
