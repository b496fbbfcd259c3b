// A Clock for tests: its time moves only by the sleeps it is asked for (or by `advance`), and it
// records every sleep. `on_sleep` runs at each sleep, e.g. to let the far end of a bus act.
#pragma once

#include <chrono>
#include <functional>
#include <vector>

#include "platform/clock.hpp"

namespace quillet::testing {

class FakeClock final : public Clock {
 public:
  time_point now() override { return now_; }
  void sleep_for(std::chrono::nanoseconds duration) override {
    sleeps.push_back(duration);
    now_ += duration;
    if (on_sleep) on_sleep();
  }
  void advance(std::chrono::nanoseconds duration) { now_ += duration; }

  std::vector<std::chrono::nanoseconds> sleeps;
  std::function<void()> on_sleep;

 private:
  time_point now_{};
};

}  // namespace quillet::testing
