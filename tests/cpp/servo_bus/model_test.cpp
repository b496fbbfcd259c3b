#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

#include "pty_bus.hpp"
#include "servo_bus/servo/feetech/sm40bl.hpp"
#include "servo_bus/servo/feetech/sts3025bl.hpp"

namespace quillet::servo_bus::feetech {
namespace {

using testing::Bytes;
using testing::concat;
using testing::PtyFixture;
using testing::status_bytes;

constexpr double kPiValue = 3.141592653589793;

TEST(Conversions, StepsToRadians) {
  EXPECT_EQ(steps_to_radians(2048), 0.0);
  EXPECT_EQ(steps_to_radians(0), -kPiValue);
  EXPECT_EQ(steps_to_radians(1024), -kPiValue / 2);
  EXPECT_EQ(steps_to_radians(4096), kPiValue);
  EXPECT_LT(steps_to_radians(-1), -kPiValue);  // not wrapped
  EXPECT_GT(steps_to_radians(5000), kPiValue);
}

TEST(Conversions, RadiansToSteps) {
  EXPECT_EQ(radians_to_steps(0.0), 2048);
  EXPECT_EQ(radians_to_steps(-kPiValue), 0);
  EXPECT_EQ(radians_to_steps(kPiValue), 4096);
  EXPECT_EQ(radians_to_steps(-0.0001), 2047);  // truncation toward zero
  EXPECT_EQ(radians_to_steps(-kPiValue - 0.0001), 0);  // -0.06 truncates to 0, not -1
  EXPECT_EQ(radians_to_steps(100.0), 32767);
  EXPECT_EQ(radians_to_steps(-100.0), -32768);
  EXPECT_EQ(radians_to_steps(std::numeric_limits<double>::infinity()), 32767);
  EXPECT_EQ(radians_to_steps(-std::numeric_limits<double>::infinity()), -32768);
  EXPECT_EQ(radians_to_steps(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(Models, CarryTheSmsStsRegisters) {
  static_assert(sm40bl.registers.present_position == 56 && sm40bl.registers.goal_position == 42);
  static_assert(sts3025bl.registers.torque_enable == 40 && sts3025bl.registers.present_voltage == 62);
}

struct ModelOps : PtyFixture {
  void SetUp() override {
    PtyFixture::SetUp();
    port->set_timeout(std::chrono::milliseconds(1000));
  }
  FeetechProtocolHandler handler;
  const std::array<std::uint8_t, 4> arm{1, 2, 3, 4};
  const std::array<std::uint8_t, 3> nose{5, 6, 7};
};

TEST_F(ModelOps, PresentPositionOfTheArms) {
  bus->script(concat({status_bytes(1, {0x00, 0x08}), status_bytes(2, {0x00, 0x00}), status_bytes(3, {0x00, 0x04}),
                      status_bytes(4, {0xFF, 0xFF})}));
  auto positions = sm40bl.sync_read_present_position(handler, *bus, arm);
  ASSERT_TRUE(positions.has_value()) << positions.error().message();
  ASSERT_EQ(positions->size(), 4u);
  EXPECT_EQ((*positions)[0], 0.0);
  EXPECT_EQ((*positions)[1], -kPiValue);
  EXPECT_EQ((*positions)[2], -kPiValue / 2);
  EXPECT_LT((*positions)[3], -kPiValue);
  EXPECT_EQ(bus->wire.at(0), (Bytes{0xFF, 0xFF, 0xFE, 0x08, 0x82, 0x38, 0x02, 0x01, 0x02, 0x03, 0x04, 0x33}));
}

TEST_F(ModelOps, RawPresentPositionIsLittleEndianSigned) {
  bus->script(concat({status_bytes(5, {0x34, 0x12}), status_bytes(6, {0xFE, 0xFF}), status_bytes(7, {0x00, 0x80})}));
  auto raw = sts3025bl.sync_read_raw_present_position(handler, *bus, nose);
  ASSERT_TRUE(raw.has_value()) << raw.error().message();
  EXPECT_EQ(*raw, (std::vector<std::int16_t>{0x1234, -2, -32768}));
}

TEST_F(ModelOps, RepliesOfTheWrongWidthAreParsingErrors) {
  bus->script(concat({status_bytes(5, {0x00, 0x08}), status_bytes(6, {0x00}), status_bytes(7, {0x00, 0x08})}));
  auto short_reply = sts3025bl.sync_read_present_position(handler, *bus, nose);
  ASSERT_FALSE(short_reply.has_value());
  EXPECT_EQ(short_reply.error().communication_kind(), CommunicationErrorKind::ParsingError);

  bus->script(concat({status_bytes(5, {12, 0})}));
  const std::array<std::uint8_t, 1> one{5};
  auto long_reply = sts3025bl.sync_read_present_voltage(handler, *bus, one);
  ASSERT_FALSE(long_reply.has_value());
  EXPECT_EQ(long_reply.error().communication_kind(), CommunicationErrorKind::ParsingError);

  bus->script(concat({status_bytes(5, {})}));
  auto empty_reply = sts3025bl.sync_read_torque_enable(handler, *bus, one);
  ASSERT_FALSE(empty_reply.has_value());
  EXPECT_EQ(empty_reply.error().communication_kind(), CommunicationErrorKind::ParsingError);
}

TEST_F(ModelOps, VoltageAndTorqueReads) {
  bus->script(concat({status_bytes(5, {121}), status_bytes(6, {118}), status_bytes(7, {0})}));
  EXPECT_EQ(sts3025bl.sync_read_present_voltage(handler, *bus, nose).value(), (Bytes{121, 118, 0}));
  EXPECT_EQ(bus->wire.at(0)[5], 62);
  EXPECT_EQ(bus->wire.at(0)[6], 1);

  bus->script(concat({status_bytes(5, {1}), status_bytes(6, {0}), status_bytes(7, {2})}));
  EXPECT_EQ(sts3025bl.sync_read_torque_enable(handler, *bus, nose).value(), (std::vector<bool>{true, false, true}));
  EXPECT_EQ(bus->wire.at(1)[5], 40);

  bus->script(concat({status_bytes(5, {1}), status_bytes(6, {0}), status_bytes(7, {2})}));
  EXPECT_EQ(sts3025bl.sync_read_raw_torque_enable(handler, *bus, nose).value(), (Bytes{1, 0, 2}));
}

TEST_F(ModelOps, GoalPositionWrites) {
  const std::array<std::int16_t, 4> steps{-2, 2048, 0, 4096};
  ASSERT_TRUE(sm40bl.sync_write_raw_goal_position(handler, *bus, arm, steps).has_value());
  Bytes expected{0xFF, 0xFF, 0xFE, 0x10, 0x83, 42, 2, 1, 0xFE, 0xFF, 2, 0x00, 0x08, 3, 0x00, 0x00, 4, 0x00, 0x10};
  expected.push_back(checksum(std::span(expected).subspan(2)));
  EXPECT_EQ(bus->wire.at(0), expected);

  const std::array<double, 4> radians{-100.0, 0.0, -kPiValue, kPiValue};
  ASSERT_TRUE(sm40bl.sync_write_goal_position(handler, *bus, arm, radians).has_value());
  const Bytes& wire = bus->wire.at(1);
  ASSERT_EQ(wire.size(), 20u);
  EXPECT_EQ(Bytes(wire.begin() + 7, wire.end() - 1),
            (Bytes{1, 0x00, 0x80, 2, 0x00, 0x08, 3, 0x00, 0x00, 4, 0x00, 0x10}));
}

TEST_F(ModelOps, TorqueWrites) {
  const std::array<bool, 3> enable{true, false, true};
  ASSERT_TRUE(sts3025bl.sync_write_torque_enable(handler, *bus, nose, enable).has_value());
  const Bytes& wire = bus->wire.at(0);
  EXPECT_EQ(Bytes(wire.begin() + 4, wire.end() - 1), (Bytes{0x83, 40, 1, 5, 1, 6, 0, 7, 1}));

  const std::array<std::uint8_t, 3> raw{1, 1, 0};
  ASSERT_TRUE(sts3025bl.sync_write_raw_torque_enable(handler, *bus, nose, raw).has_value());
  EXPECT_EQ(bus->wire.at(1),
            (Bytes{0xFF, 0xFF, 0xFE, 0x0A, 0x83, 0x28, 0x01, 0x05, 0x01, 0x06, 0x01, 0x07, 0x00, 0x37}));
}

TEST_F(ModelOps, WritesWithoutOneValuePerIdAreRefusedUnsent) {
  const std::array<bool, 2> two{true, true};
  auto refused = sm40bl.sync_write_torque_enable(handler, *bus, arm, two);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().io_kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(refused.error().message(), "Sync write needs one value per servo id (4 ids, 2 values)");
  const std::array<std::int16_t, 5> five{};
  EXPECT_FALSE(sm40bl.sync_write_raw_goal_position(handler, *bus, arm, five).has_value());
  EXPECT_TRUE(bus->calls.empty());
}

TEST_F(ModelOps, TransactionErrorsPassUnchanged) {
  port->set_timeout(std::chrono::milliseconds(10));
  bus->script(status_bytes(1, {0x00, 0x08}));
  auto positions = sm40bl.sync_read_present_position(handler, *bus, arm);
  ASSERT_FALSE(positions.has_value());
  EXPECT_EQ(positions.error().io_kind(), IoErrorKind::TimedOut);
  EXPECT_EQ(positions.error().message(), "Operation timed out");
}

}  // namespace
}  // namespace quillet::servo_bus::feetech
