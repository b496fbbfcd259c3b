// The log sink of the C++ tests: captures the records of every thread while alive (installed as
// the process's sink), and can act on one of them on the thread that logs it, as a handler would.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/log.hpp"

namespace quillet::testing {

class LogCapture final : public log::Sink {
 public:
  struct Record {
    log::Level level;
    std::string target;
    std::string message;
    friend bool operator==(const Record&, const Record&) = default;
  };

  LogCapture() { log::set_sink(this); }
  // Also calls `act` once, on the thread that logs the first record starting with `prefix`.
  LogCapture(std::string prefix, std::function<void()> act) : prefix_(std::move(prefix)), act_(std::move(act)) {
    log::set_sink(this);
  }
  ~LogCapture() override { log::set_sink(nullptr); }

  bool enabled(log::Level level, std::string_view) const noexcept override {
    return level <= log::Level::Debug;
  }
  void log(log::Level level, std::string_view target, std::string_view message, std::string_view,
           std::uint32_t) noexcept override {
    {
      std::lock_guard lock(mutex_);
      records_.push_back({level, std::string(target), std::string(message)});
    }
    // Outside the lock: what it does may log too.
    if (act_ && message.starts_with(prefix_) && !acted_.exchange(true)) act_();
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
  const std::string prefix_;
  const std::function<void()> act_;
  std::atomic<bool> acted_{false};
  mutable std::mutex mutex_;
  std::vector<Record> records_;
};

}  // namespace quillet::testing
