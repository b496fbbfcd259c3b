// Log records of the system: a level, a target ("crate::module" style path), a formatted
// message and the call site. The Python module installs the one sink at import; before that,
// and in C++ unit tests that install none, records go nowhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillet::log {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

class Sink {
 public:
  virtual ~Sink() = default;
  // Cheap pre-check so that callers skip formatting records that would be dropped.
  virtual bool enabled(Level level, std::string_view target) const noexcept = 0;
  // May be called from any thread.
  virtual void log(Level level, std::string_view target, std::string_view message,
                   std::string_view file, std::uint32_t line) noexcept = 0;
};

// The sink must outlive every record written after this call; it is never uninstalled.
void set_sink(Sink* sink) noexcept;

bool enabled(Level level, std::string_view target) noexcept;
void write(Level level, std::string_view target, std::string_view message, std::string_view file,
           std::uint32_t line) noexcept;

}  // namespace quillet::log

// The message expression (a std::string) is evaluated only when the record would be kept.
#define QUILLET_LOG(level, target, message)                                       \
  do {                                                                            \
    if (::quillet::log::enabled((level), (target))) {                             \
      ::quillet::log::write((level), (target), (message), __FILE__, __LINE__);    \
    }                                                                             \
  } while (false)
