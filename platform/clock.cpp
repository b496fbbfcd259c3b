#include "platform/clock.hpp"

#include <thread>

namespace quillet {
namespace {

class RealClock final : public Clock {
 public:
  time_point now() override { return std::chrono::steady_clock::now(); }
  void sleep_for(std::chrono::nanoseconds duration) override { std::this_thread::sleep_for(duration); }
};

constinit RealClock g_real_clock;

}  // namespace

Clock& real_clock() { return g_real_clock; }

}  // namespace quillet
