#include "platform/clock.hpp"

#include <gtest/gtest.h>

namespace quillet {
namespace {

TEST(RealClock, SleepsAtLeastWhatIsAskedOnTheMonotonicClock) {
  Clock& clock = real_clock();
  const auto before = clock.now();
  clock.sleep_for(std::chrono::milliseconds(2));
  EXPECT_GE(clock.now() - before, std::chrono::milliseconds(2));
  const auto steady_before = std::chrono::steady_clock::now();
  const auto now = clock.now();
  EXPECT_LE(steady_before, now);
  EXPECT_LE(now, std::chrono::steady_clock::now());
  EXPECT_EQ(&real_clock(), &clock);
}

}  // namespace
}  // namespace quillet
