// A bounded, ordered record of bus traffic: the oldest entries go first when it is full, so a
// torso left running for days keeps its memory.
#pragma once

#include <cstddef>
#include <deque>

namespace qsim {

template <class Entry>
class Record {
 public:
  static constexpr std::size_t kCapacity = 100'000;

  void add(Entry entry) {
    if (entries_.size() == kCapacity) {
      entries_.pop_front();
      ++dropped_;
    }
    entries_.push_back(std::move(entry));
  }
  Entry* last() { return entries_.empty() ? nullptr : &entries_.back(); }
  const std::deque<Entry>& entries() const { return entries_; }
  std::size_t dropped() const { return dropped_; }
  void clear() {
    entries_.clear();
    dropped_ = 0;
  }

 private:
  std::deque<Entry> entries_;
  std::size_t dropped_ = 0;
};

}  // namespace qsim
