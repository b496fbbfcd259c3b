// The motor's replies through the driver: the state reply of a feedback request, an MIT command
// or an enable, the register reply of a register read, and the control-mode check that reads
// and writes register 10. The fuzzer plays the bus.
// Input: the operation, a register id, the limit set, then frames, each as a head byte (bit 7
// extended id, bit 6 FD, low six bits the length), two id bytes and the data.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "can_bus/damiao/driver.hpp"
#include "fuzz_support.hpp"

using namespace quillet::can_bus;
using namespace quillet::can_bus::damiao;
using namespace quillet::fuzz;
using namespace std::chrono_literals;

namespace {

constexpr std::uint16_t kMotorId = 1;
// The neck's two sets of MIT ranges.
constexpr MitLimits kLimits[] = {{12.5f, 30.0f, 500.0f, 5.0f, 10.0f}, {12.5f, 10.0f, 500.0f, 5.0f, 28.0f}};

class ScriptedBus final : public CanTransport {
 public:
  std::deque<CanFrame> incoming;
  std::vector<CanFrame> sent;
  std::optional<CanFrame> last_handed;

  std::expected<void, CanError> send(const CanFrame& frame) override {
    sent.push_back(frame);
    return {};
  }
  std::expected<CanFrame, CanError> recv(std::chrono::nanoseconds) override {
    if (incoming.empty()) return std::unexpected(CanError::timeout());
    last_handed = std::move(incoming.front());
    incoming.pop_front();
    return *last_handed;
  }
};

std::deque<CanFrame> frames_of(std::span<const std::uint8_t> in) {
  std::deque<CanFrame> frames;
  while (in.size() >= 3) {
    const std::uint8_t head = in[0];
    const std::uint32_t id = (std::uint32_t{in[1]} << 8) | in[2];
    const bool fd = head & 0x40;
    const std::size_t len = std::min<std::size_t>(head & 0x3F, in.size() - 3);
    CanFrame frame{Bytes(in.begin() + 3, in.begin() + 3 + len),
                   (head & 0x80) ? CanId::extended(id) : CanId::standard(id & 0x7FF), fd, false};
    frames.push_back(std::move(frame));
    in = in.subspan(3 + len);
  }
  return frames;
}

// Packs a decoded state back into the eight bytes it came from, rounding to the nearest step.
Bytes repack(const MitLimits& limits, const MotorState& state) {
  auto step = [](float value, float max, double steps) {
    return static_cast<unsigned>(std::lround((double(value) + max) * steps / (2.0 * max)));
  };
  const unsigned p = step(state.position, limits.p_max, 65535.0);
  const unsigned v = step(state.velocity, limits.v_max, 4095.0);
  const unsigned t = step(state.torque, limits.t_max, 4095.0);
  QMC_FUZZ_CHECK(p <= 0xFFFF && v <= 0xFFF && t <= 0xFFF);
  return {static_cast<std::uint8_t>(state.status << 4 | state.motor_id), static_cast<std::uint8_t>(p >> 8),
          static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(v >> 4),
          static_cast<std::uint8_t>((v & 0xF) << 4 | t >> 8), static_cast<std::uint8_t>(t), state.temp_mos,
          state.temp_rotor};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint8_t operation = data[0] % 5;
  const std::uint8_t register_id = data[1];
  const MitLimits& limits = kLimits[data[2] & 1];
  auto motor = Damiao::make(20ms, limits, kMotorId, kMotorId);
  QMC_FUZZ_CHECK(motor.has_value());

  ScriptedBus bus;
  bus.incoming = frames_of(std::span(data + 3, size - 3));
  const std::size_t frames = bus.incoming.size();
  InstantClock clock;

  if (operation <= 2) {
    std::expected<MotorState, Error> state =
        operation == 0   ? motor->request_feedback(bus)
        : operation == 1 ? motor->control(bus, MitCommand{0.5f, 0.0f, 20.0f, 1.0f, 0.0f})
                         : motor->enable(bus);
    QMC_FUZZ_CHECK(bus.sent.size() == 1);
    if (state) {
      // The accepted frame is the last one read: the feedback id, eight bytes or more, and the
      // state is exactly its first eight.
      QMC_FUZZ_CHECK(bus.last_handed && bus.last_handed->id == CanId::standard(kMotorId));
      const Bytes& reply = bus.last_handed->data;
      QMC_FUZZ_CHECK(reply.size() >= 8);
      QMC_FUZZ_CHECK(same(repack(limits, *state), std::span(reply).first(8)));
    }
  } else if (operation == 3) {
    auto value = motor->read_register(bus, register_id);
    if (value) {
      const RegisterInfo* info = lookup(register_id);
      QMC_FUZZ_CHECK(info && value->kind == info->kind && bus.last_handed);
      const Bytes& reply = bus.last_handed->data;
      // Only this motor's reply: its id in the first two bytes.
      QMC_FUZZ_CHECK(reply.size() == 8 && reply[0] == kMotorId && reply[1] == 0 && reply[2] == 0x33 &&
                     reply[3] == register_id);
      const Bytes bits{static_cast<std::uint8_t>(value->bits), static_cast<std::uint8_t>(value->bits >> 8),
                       static_cast<std::uint8_t>(value->bits >> 16), static_cast<std::uint8_t>(value->bits >> 24)};
      QMC_FUZZ_CHECK(same(bits, std::span(reply).subspan(4)));
    }
  } else {
    auto ensured = motor->ensure_control_mode(bus, 1, clock);
    // Only register 10 is read, and written only with MIT mode.
    for (const CanFrame& frame : bus.sent) {
      QMC_FUZZ_CHECK(frame.id == CanId::standard(0x7FF) && frame.data.size() == 8);
      QMC_FUZZ_CHECK(frame.data[0] == kMotorId && frame.data[1] == 0 && frame.data[3] == 10);
      QMC_FUZZ_CHECK(frame.data[2] == 0x33 || (frame.data[2] == 0x55 && frame.data[4] == 1));
    }
    if (ensured) QMC_FUZZ_CHECK(bus.sent.size() == 1 || bus.sent.size() == 3);
  }
  QMC_FUZZ_CHECK(bus.incoming.size() <= frames);
  return 0;
}
