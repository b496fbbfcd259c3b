#include "can_bus/damiao/driver.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

#include "fake_transport.hpp"
#include "tests/cpp/platform/fake_clock.hpp"

using namespace quillet::can_bus::damiao;
using quillet::can_bus::CanError;
using quillet::can_bus::CanFrame;
using quillet::can_bus::CanId;
using quillet::can_bus::testing::FakeTransport;
using quillet::testing::FakeClock;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr MitLimits kYaw{12.5f, 30.0f, 500.0f, 5.0f, 10.0f};

Damiao motor(std::uint16_t can_id = 1, std::uint16_t master_id = 1) {
  auto m = Damiao::make(20ms, kYaw, can_id, master_id);
  EXPECT_TRUE(m.has_value());
  return *m;
}

CanFrame classic(std::uint32_t id, Bytes data) { return CanFrame{std::move(data), CanId::standard(id)}; }

// A motor's register file on the fake bus: answers reads of any register it holds, applies
// writes when `accept_writes` is set.
struct RegisterMotor {
  std::uint16_t can_id = 1;
  std::uint32_t reply_id = 0x001;
  std::map<std::uint8_t, std::uint32_t> regs;
  bool accept_writes = true;

  void operator()(const CanFrame& f, FakeTransport& bus) {
    if (f.id != CanId::standard(0x7FF) || f.data.size() != 8) return;
    if (f.data[0] != (can_id & 0xFF) || f.data[1] != (can_id >> 8)) return;
    const std::uint8_t reg = f.data[3];
    if (f.data[2] == 0x33 && regs.count(reg)) {
      const std::uint32_t v = regs[reg];
      bus.push(CanId::standard(reply_id),
               {f.data[0], f.data[1], 0x33, reg, static_cast<std::uint8_t>(v),
                static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                static_cast<std::uint8_t>(v >> 24)});
    } else if (f.data[2] == 0x55 && accept_writes) {
      regs[reg] = f.data[4] | (f.data[5] << 8) | (f.data[6] << 16) |
                  (static_cast<std::uint32_t>(f.data[7]) << 24);
    }
  }
};

}  // namespace

TEST(DamiaoMake, RefusesNegativeOrNaNLimits) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    MitLimits limits;
    const char* text;
  } cases[] = {
      {{-1.0f, 30, 500, 5, 10}, "invalid MIT limit p_max: -1 (must be a non-negative number)"},
      {{12.5f, nan, 500, 5, 10}, "invalid MIT limit v_max: NaN (must be a non-negative number)"},
      {{12.5f, 30, -0.5f, 5, 10}, "invalid MIT limit kp_max: -0.5 (must be a non-negative number)"},
      {{12.5f, 30, 500, nan, 10}, "invalid MIT limit kd_max: NaN (must be a non-negative number)"},
      {{12.5f, 30, 500, 5, -28}, "invalid MIT limit t_max: -28 (must be a non-negative number)"},
  };
  for (const auto& c : cases) {
    auto m = Damiao::make(20ms, c.limits, 1, 1);
    ASSERT_FALSE(m.has_value()) << c.text;
    EXPECT_EQ(m.error().kind(), Error::Kind::InvalidLimits);
    EXPECT_EQ(m.error().message(), c.text);
  }
  EXPECT_TRUE(Damiao::make(20ms, MitLimits{}, 1, 1).has_value());  // zero is allowed
  auto m = Damiao::make(20ms, kYaw, 2, 0x12);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->timeout(), 20ms);
  EXPECT_EQ(m->limits(), kYaw);
  EXPECT_EQ(m->can_id(), 2);
  EXPECT_EQ(m->master_id(), 0x12);
}

TEST(DamiaoCommands, EnableAndDisableFramesAndDecodedReply) {
  FakeTransport bus;
  const Damiao m = motor(1, 1);
  bus.push(CanId::standard(1), {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 30, 31});
  auto s = m.enable(bus);
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->motor_id, 1);
  EXPECT_EQ(s->status, 1);
  EXPECT_EQ(s->temp_mos, 30);
  EXPECT_EQ(s->temp_rotor, 31);
  EXPECT_LE(std::abs(s->position), 25.0f / 65535.0f);

  bus.push(CanId::standard(1), {0x01, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(m.disable(bus));
  ASSERT_EQ(bus.sent.size(), 2u);
  EXPECT_EQ(bus.sent[0], classic(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
  EXPECT_EQ(bus.sent[1], classic(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}));
  EXPECT_FALSE(bus.sent[0].fd);
  for (auto t : bus.recv_timeouts) EXPECT_LE(t, 20ms);
}

TEST(DamiaoCommands, ControlSendsTheMitPacking) {
  FakeTransport bus;
  const Damiao m = motor(1, 1);
  bus.push(CanId::standard(1), {0x11, 0x80, 0x00, 0x7F, 0xF7, 0xFF, 0, 0});
  auto s = m.control(bus, MitCommand{0.0f, 0.0f, 30.0f, 1.0f, 0.0f});
  ASSERT_TRUE(s);
  EXPECT_GT(s->position, 0.0f);
  ASSERT_EQ(bus.sent.size(), 1u);
  EXPECT_EQ(bus.sent[0], classic(0x001, {0x7F, 0xFF, 0x7F, 0xF0, 0xF5, 0x33, 0x37, 0xFF}));
}

TEST(DamiaoCommands, FeedbackRequestGoesTo7FFWithTheMotorIdLowByteFirst) {
  FakeTransport bus;
  const Damiao m = motor(0x123, 0x023);
  bus.push(CanId::standard(0x023), {0x03, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(m.request_feedback(bus));
  ASSERT_EQ(bus.sent.size(), 1u);
  EXPECT_EQ(bus.sent[0], classic(0x7FF, {0x23, 0x01, 0xCC, 0, 0, 0, 0, 0}));
}

TEST(DamiaoCommands, IdsAreMaskedTo11Bits) {
  FakeTransport bus;
  const Damiao m = motor(0x0802, 0x1803);
  bus.push(CanId::standard(0x802 & 0x7FF), {0});  // not the feedback id: dropped
  bus.push(CanId::standard(0x003), {0x02, 0, 0, 0, 0, 0, 0, 0});
  auto s = m.enable(bus);
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(bus.sent[0].id, CanId::standard(0x002));
  // The feedback request carries the unmasked id bytes.
  bus.push(CanId::standard(0x003), {0x02, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(m.request_feedback(bus));
  EXPECT_EQ(bus.sent[1], classic(0x7FF, {0x02, 0x08, 0xCC, 0, 0, 0, 0, 0}));
}

TEST(DamiaoCommands, RepliesFromOtherMotorsAreDropped) {
  FakeTransport bus;
  const Damiao m = motor(2, 2);
  bus.push(CanId::standard(1), {0x01, 0xFF, 0xFF, 0, 0, 0, 0, 0});
  bus.push(CanId::extended(2), {0x02, 0xFF, 0xFF, 0, 0, 0, 0, 0});
  bus.push(CanId::standard(2), {0x02, 0x00, 0x00, 0, 0, 0, 0, 0});
  auto s = m.request_feedback(bus);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->motor_id, 2);
  EXPECT_EQ(s->position, -12.5f);
  EXPECT_TRUE(bus.incoming.empty());
}

// Before, one stray frame on id 1 naming motor 5 was decoded as motor 1's reply (yaw -12.5 rad).
TEST(DamiaoCommands, FramesOnTheFeedbackIdNamingAnotherMotorAreNotItsReply) {
  FakeTransport bus;
  const Damiao m = motor(1, 1);
  bus.push(CanId::standard(1), {0x05, 0x00, 0x00, 0, 0, 0, 0, 0});
  bus.push(CanId::standard(1), {0x12, 0x00, 0x00, 0, 0, 0, 0, 0});
  bus.push(CanId::standard(1), {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0, 0});
  auto s = m.request_feedback(bus);
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->motor_id, 1);
  EXPECT_LE(std::abs(s->position), 25.0f / 65535.0f);
  EXPECT_TRUE(bus.incoming.empty());
  // Only strays until the time-out: no reply, as with silence.
  bus.push(CanId::standard(1), {0x03, 0x00, 0x00, 0, 0, 0, 0, 0});
  auto stray_only = m.control(bus, MitCommand{});
  ASSERT_FALSE(stray_only);
  EXPECT_TRUE(stray_only.error().is_timeout());
}

TEST(DamiaoCommands, ShortReplyIsUnexpectedReplyCarryingTheBytes) {
  FakeTransport bus;
  const Damiao m = motor();
  bus.push(CanId::standard(1), {0x11, 0x7F, 0xFF, 0x7F, 0xF7});
  auto s = m.request_feedback(bus);
  ASSERT_FALSE(s.has_value());
  ASSERT_TRUE(s.error().is<Error::UnexpectedReply>());
  EXPECT_EQ(s.error().get_if<Error::UnexpectedReply>()->bytes, (Bytes{0x11, 0x7F, 0xFF, 0x7F, 0xF7}));
  EXPECT_EQ(s.error().message(),
            "unexpected reply (data did not match register-reply pattern): [17, 127, 255, 127, 247]");
}

TEST(DamiaoCommands, TransportFailuresAreWrapped) {
  FakeTransport bus;
  const Damiao m = motor();
  auto s = m.enable(bus);  // nothing answers
  ASSERT_FALSE(s.has_value());
  EXPECT_TRUE(s.error().is_timeout());
  EXPECT_EQ(s.error(), Error(CanError::timeout()));
  EXPECT_EQ(s.error().message(), "transport error: timeout waiting for frame");
  EXPECT_EQ(bus.sent.size(), 1u);  // the command went out all the same

  bus.send_error = CanError::backend_errno(ENETDOWN);
  s = m.control(bus, MitCommand{});
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().message(), "transport error: backend error: Network is down (os error 100)");
}

TEST(DamiaoRegisters, ReadFrameReplyPatternAndValue) {
  FakeTransport bus;
  const Damiao m = motor(1, 1);
  bus.push(CanId::standard(0x002), {0x02, 0x00, 0x33, 0x15, 1, 2, 3, 4, 5});  // 9 bytes
  bus.push(CanId::standard(0x001), {0x01, 0x00, 0x33, 0x15, 1, 2, 3});        // 7 bytes
  bus.push(CanId::standard(0x001), {0x01, 0x00, 0x55, 0x15, 1, 2, 3, 4});     // not a read reply
  bus.push(CanId::standard(0x001), {0x01, 0x00, 0x33, 0x16, 1, 2, 3, 4});     // other register
  bus.push(CanId::standard(0x002), {0x02, 0x00, 0x33, 0x15, 1, 2, 3, 4});     // another motor's
  bus.push(CanId::standard(0x001), {0x01, 0x01, 0x33, 0x15, 1, 2, 3, 4});     // motor 0x101's
  // The answer is recognised by its data alone, whatever its CAN id.
  bus.push(CanId::extended(0x7FF), {0x01, 0x00, 0x33, 0x15, 0x00, 0x00, 0x48, 0x41});
  auto v = m.read_register(bus, 21);  // PMAX
  ASSERT_TRUE(v) << v.error().message();
  EXPECT_EQ(v->kind, RegisterKind::Float);
  EXPECT_EQ(v->as_float(), 12.5f);
  ASSERT_EQ(bus.sent.size(), 1u);
  EXPECT_EQ(bus.sent[0], classic(0x7FF, {0x01, 0x00, 0x33, 0x15, 0, 0, 0, 0}));
  EXPECT_TRUE(bus.incoming.empty());

  bus.push(CanId::standard(0x001), {0x01, 0x00, 0x33, 0x07, 0x78, 0x56, 0x34, 0x12});
  v = m.read_register(bus, 7);  // MST_ID
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, RegisterValue::from_uint32(0x12345678));
}

TEST(DamiaoRegisters, ReadErrors) {
  FakeTransport bus;
  const Damiao m = motor();
  auto v = m.read_register(bus, 40);
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error(), Error(Error::UnknownRegister{40}));
  EXPECT_EQ(v.error().message(), "register 40 is not in the Damiao register table");
  EXPECT_TRUE(bus.sent.empty());

  v = m.read_register(bus, 10);
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error().message(), "transport error: timeout waiting for frame");
  ASSERT_EQ(bus.sent.size(), 1u);
  for (auto t : bus.recv_timeouts) EXPECT_LE(t, 20ms);

  bus.push_error(CanError::backend_errno(EIO));
  v = m.read_register(bus, 10);
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error(), Error(CanError::backend_errno(EIO)));

  bus.send_error = CanError::backend_errno(ENOBUFS);
  v = m.read_register(bus, 10);
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error(), Error(CanError::backend_errno(ENOBUFS)));
}

TEST(DamiaoRegisters, WriteFramePayloadLowByteFirst) {
  FakeTransport bus;
  const Damiao m = motor(3, 3);
  ASSERT_TRUE(m.write_register(bus, 10, RegisterValue::from_uint32(1)));
  ASSERT_TRUE(m.write_register(bus, 21, RegisterValue::from_float(12.5f)));
  ASSERT_TRUE(m.write_register(bus, 9, RegisterValue::from_uint32(0xA1B2C3D4)));
  ASSERT_EQ(bus.sent.size(), 3u);
  EXPECT_EQ(bus.sent[0], classic(0x7FF, {0x03, 0x00, 0x55, 0x0A, 0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(bus.sent[1], classic(0x7FF, {0x03, 0x00, 0x55, 0x15, 0x00, 0x00, 0x48, 0x41}));
  EXPECT_EQ(bus.sent[2], classic(0x7FF, {0x03, 0x00, 0x55, 0x09, 0xD4, 0xC3, 0xB2, 0xA1}));
  EXPECT_EQ(bus.recv_calls, 0);  // nothing is awaited
}

TEST(DamiaoRegisters, WriteChecksComeBeforeAnythingIsSent) {
  FakeTransport bus;
  const Damiao m = motor();
  auto r = m.write_register(bus, 11, RegisterValue::from_float(1.0f));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error(Error::ReadOnly{11}));
  EXPECT_EQ(r.error().message(), "register 11 is read-only");

  r = m.write_register(bus, 40, RegisterValue::from_uint32(1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error(Error::UnknownRegister{40}));
  EXPECT_EQ(r.error().message(), "register 40 is not in the Damiao register table");

  r = m.write_register(bus, 10, RegisterValue::from_float(1.0f));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error(Error::TypeMismatch{10, RegisterKind::Uint32, RegisterKind::Float}));
  EXPECT_EQ(r.error().message(), "register 10: expected Uint32, got Float");

  r = m.write_register(bus, 21, RegisterValue::from_uint32(1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "register 21: expected Float, got Uint32");

  r = m.write_register(bus, 255, RegisterValue::from_uint32(1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "register 255 is not in the Damiao register table");

  EXPECT_TRUE(bus.sent.empty());

  bus.send_error = CanError::backend_errno(ENOBUFS);
  r = m.write_register(bus, 10, RegisterValue::from_uint32(1));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error(CanError::backend_errno(ENOBUFS)));
}

TEST(DamiaoControlMode, AlreadyInModeReadsOnceAndWritesNothing) {
  FakeTransport bus;
  RegisterMotor file;
  file.regs[10] = 1;
  bus.on_send = std::ref(file);
  FakeClock clock;
  auto r = motor().ensure_control_mode(bus, kMitMode, clock);
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(bus.sent.size(), 1u);
  EXPECT_EQ(bus.sent[0], classic(0x7FF, {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}));
  EXPECT_TRUE(clock.sleeps.empty());
}

TEST(DamiaoControlMode, WritesSleepsAndVerifies) {
  FakeTransport bus;
  RegisterMotor file;
  file.regs[10] = 2;
  bus.on_send = std::ref(file);
  FakeClock clock;
  clock.on_sleep = [&] { EXPECT_EQ(bus.sent.size(), 2u); };  // between the write and the read-back
  auto r = motor().ensure_control_mode(bus, kMitMode, clock);
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(bus.sent.size(), 3u);
  EXPECT_EQ(bus.sent[0], classic(0x7FF, {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}));
  EXPECT_EQ(bus.sent[1], classic(0x7FF, {0x01, 0x00, 0x55, 0x0A, 0x01, 0, 0, 0}));
  EXPECT_EQ(bus.sent[2], classic(0x7FF, {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}));
  EXPECT_EQ(clock.sleeps, (std::vector<std::chrono::nanoseconds>{100ms}));
  EXPECT_EQ(file.regs[10], 1u);
}

TEST(DamiaoControlMode, MotorKeepingItsModeIsAMismatch) {
  FakeTransport bus;
  RegisterMotor file;
  file.regs[10] = 0x0302;  // the text reports the low byte
  file.accept_writes = false;
  bus.on_send = std::ref(file);
  FakeClock clock;
  auto r = motor().ensure_control_mode(bus, kMitMode, clock);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error(Error::ControlModeMismatch{1, 2}));
  EXPECT_EQ(r.error().message(), "control mode verification failed: wrote 1, motor reports 2");
  EXPECT_EQ(bus.sent.size(), 3u);
}

TEST(DamiaoControlMode, ReadFailureIsReturnedAsIsAndNothingIsWritten) {
  FakeTransport bus;  // no motor answers
  FakeClock clock;
  auto r = motor().ensure_control_mode(bus, kMitMode, clock);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error(CanError::timeout()));
  EXPECT_TRUE(clock.sleeps.empty());
  ASSERT_EQ(bus.sent.size(), 1u);
  EXPECT_EQ(bus.sent[0].data[2], 0x33);
}

TEST(DamiaoControlMode, DefaultClockIsTheRealOne) {
  FakeTransport bus;
  RegisterMotor file;
  file.regs[10] = 4;
  bus.on_send = std::ref(file);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(motor().ensure_control_mode(bus, kMitMode));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST(DamiaoErrors, DisplayTexts) {
  EXPECT_EQ(Error(Error::UnexpectedReply{{}}).message(),
            "unexpected reply (data did not match register-reply pattern): []");
  EXPECT_EQ(Error(Error::UnexpectedReply{{0, 255}}).message(),
            "unexpected reply (data did not match register-reply pattern): [0, 255]");
  EXPECT_EQ(Error(Error::ControlModeMismatch{4, 255}).message(),
            "control mode verification failed: wrote 4, motor reports 255");
  EXPECT_EQ(Error(CanError::frame_too_large(9)).message(),
            "transport error: frame too large for selected mode: 9 bytes");
  EXPECT_EQ(Error(CanError::invalid_id()).message(), "transport error: invalid CAN id");
  EXPECT_EQ(Error(Error::TypeMismatch{0, RegisterKind::Float, RegisterKind::Uint32}).message(),
            "register 0: expected Float, got Uint32");
  EXPECT_EQ(Error(CanError::invalid_id()).kind(), Error::Kind::Transport);
  EXPECT_EQ(*Error(CanError::invalid_id()).transport_error(), CanError::invalid_id());
  EXPECT_EQ(Error(Error::ReadOnly{11}).transport_error(), nullptr);
}
