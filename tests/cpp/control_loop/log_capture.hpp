// Captures the log records of every thread while alive (installed as the process's sink).
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "support/log.hpp"

namespace quillet::testing {

class LogCapture final : public log::Sink {
 public:
  struct Record {
    log::Level level;
    std::string target;
    std::string message;
  };

  LogCapture() { log::set_sink(this); }
  ~LogCapture() override { log::set_sink(nullptr); }

  bool enabled(log::Level level, std::string_view) const noexcept override {
    return level <= log::Level::Debug;
  }
  void log(log::Level level, std::string_view target, std::string_view message, std::string_view,
           std::uint32_t) noexcept override {
    std::lock_guard lock(mutex_);
    records_.push_back({level, std::string(target), std::string(message)});
  }

  std::vector<Record> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const Record& r : records()) out.push_back(r.message);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

}  // namespace quillet::testing
