#include "can_bus/damiao/registers.hpp"

#include <gtest/gtest.h>

#include <set>

using namespace quillet::can_bus::damiao;

TEST(RegisterTable, RowsAsSpecified) {
  const RegisterInfo* r = lookup(0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->name, "UV_Value");
  EXPECT_EQ(r->description, "Under-voltage protection value");
  EXPECT_TRUE(r->writable);
  EXPECT_EQ(r->kind, RegisterKind::Float);

  r = lookup(10);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->id, 10);
  EXPECT_EQ(r->name, "CTRL_MODE");
  EXPECT_EQ(r->description, "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS");
  EXPECT_TRUE(r->writable);
  EXPECT_EQ(r->kind, RegisterKind::Uint32);

  r = lookup(11);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->name, "Damp");
  EXPECT_FALSE(r->writable);

  r = lookup(35);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->name, "can_br");
  EXPECT_EQ(r->kind, RegisterKind::Uint32);
  EXPECT_TRUE(r->writable);

  r = lookup(81);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->name, "xout");
  EXPECT_EQ(r->description, "Output shaft position");
  EXPECT_FALSE(r->writable);
  EXPECT_EQ(r->kind, RegisterKind::Float);
}

TEST(RegisterTable, GapsAndIdsPast81AreAbsent) {
  std::set<int> absent;
  for (int id = 37; id <= 49; ++id) absent.insert(id);
  absent.insert({57, 58});
  for (int id = 66; id <= 79; ++id) absent.insert(id);
  for (int id = 82; id <= 255; ++id) absent.insert(id);
  int present = 0;
  for (int id = 0; id <= 255; ++id) {
    const RegisterInfo* r = lookup(static_cast<std::uint8_t>(id));
    if (absent.count(id)) {
      EXPECT_EQ(r, nullptr) << id;
    } else {
      ASSERT_NE(r, nullptr) << id;
      EXPECT_EQ(r->id, id);
      ++present;
    }
  }
  EXPECT_EQ(present, 53);
  EXPECT_EQ(register_table().size(), 53u);
}

TEST(RegisterTable, AccessAndKindCounts) {
  int writable = 0, uint32 = 0;
  for (const RegisterInfo& r : register_table()) {
    writable += r.writable;
    uint32 += r.kind == RegisterKind::Uint32;
  }
  // RW: 0-10 and 21-35. Uint32: 7-10, 13-16, 35, 36.
  EXPECT_EQ(writable, 26);
  EXPECT_EQ(uint32, 10);
}

TEST(RegisterValue, KindsPayloadAndDebugTexts) {
  EXPECT_EQ(debug_text(RegisterKind::Float), "Float");
  EXPECT_EQ(debug_text(RegisterKind::Uint32), "Uint32");
  EXPECT_EQ(static_cast<int>(RegisterKind::Float), 0);
  EXPECT_EQ(static_cast<int>(RegisterKind::Uint32), 1);
  EXPECT_EQ(RegisterValue::from_float(12.5f).bits, 0x41480000u);
  EXPECT_EQ(RegisterValue::from_float(12.5f).kind, RegisterKind::Float);
  EXPECT_EQ(RegisterValue::from_float(12.5f).as_float(), 12.5f);
  EXPECT_EQ(RegisterValue::from_uint32(1), (RegisterValue{RegisterKind::Uint32, 1}));
}
