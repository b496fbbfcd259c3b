#include "support/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace quillet::text;

TEST(FloatDebug, ShortestRoundTripWithPointOrExponent) {
  EXPECT_EQ(float_debug(0.0), "0.0");
  EXPECT_EQ(float_debug(-0.0), "-0.0");
  EXPECT_EQ(float_debug(1.0), "1.0");
  EXPECT_EQ(float_debug(-0.25), "-0.25");
  EXPECT_EQ(float_debug(0.1), "0.1");
  EXPECT_EQ(float_debug(6.283185307179586), "6.283185307179586");
  EXPECT_EQ(float_debug(0.0001), "0.0001");
  EXPECT_EQ(float_debug(1e-5), "1e-5");
  EXPECT_EQ(float_debug(2.5e-7), "2.5e-7");
  EXPECT_EQ(float_debug(1e16), "1e16");
  EXPECT_EQ(float_debug(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(float_debug(static_cast<double>(0.45f)), "0.44999998807907104");
  EXPECT_EQ(float_debug(std::nan("")), "NaN");
  EXPECT_EQ(float_debug(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(FloatDisplay, NeverUsesAnExponent) {
  EXPECT_EQ(float_display(0.0), "0");
  EXPECT_EQ(float_display(-0.4), "-0.4");
  EXPECT_EQ(float_display(1e-7), "0.0000001");
  EXPECT_EQ(float_display(std::nan("")), "NaN");
}

TEST(FloatFixed, RoundsToTheGivenDecimals) {
  EXPECT_EQ(float_fixed(0.8, 4), "0.8000");
  EXPECT_EQ(float_fixed(-0.5, 4), "-0.5000");
  EXPECT_EQ(float_fixed(1733500000.125, 3), "1733500000.125");
  EXPECT_EQ(float_fixed(11.0, 2), "11.00");
  EXPECT_EQ(float_fixed(std::nan(""), 2), "NaN");
}

TEST(Lists, BracketedAndQuoted) {
  std::vector<double> goals{0.0, 6.283185307179586, -6.283185307179586};
  EXPECT_EQ(bracketed(goals, float_debug), "[0.0, 6.283185307179586, -6.283185307179586]");
  std::vector<const char*> names{"nose_top", "nose_left"};
  EXPECT_EQ(bracketed(names, quoted), R"(["nose_top", "nose_left"])");
  EXPECT_EQ(bracketed(std::vector<int>{}, [](int) { return std::string(); }), "[]");
}
