#include "support/log.hpp"

#include <atomic>

namespace quillet::log {
namespace {
std::atomic<Sink*> g_sink{nullptr};
}  // namespace

void set_sink(Sink* sink) noexcept { g_sink.store(sink, std::memory_order_release); }

bool enabled(Level level, std::string_view target) noexcept {
  Sink* sink = g_sink.load(std::memory_order_acquire);
  return sink != nullptr && sink->enabled(level, target);
}

void write(Level level, std::string_view target, std::string_view message, std::string_view file,
           std::uint32_t line) noexcept {
  if (Sink* sink = g_sink.load(std::memory_order_acquire)) {
    sink->log(level, target, message, file, line);
  }
}

}  // namespace quillet::log
