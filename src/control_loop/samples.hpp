// Timing samples that only ever grow, kept for as long as the loop runs: millions of them in an
// hour. One thread appends to a `SampleLog`; anyone may hold `Samples`, an immutable view of the
// samples appended up to some moment.
//
// The samples live in fixed-size blocks that are never moved and never reallocated: appending
// costs O(1) whatever the length, and a view is a reference to the newest block plus a count, so
// copying one (as a reader does under a lock the writer also needs) is O(1) as well. Views and
// the log share the blocks: memory stays at about 8 bytes a sample however many views exist.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace quillet::control_loop {

namespace detail {
// Samples [first, first + kCapacity) of a log, linked to the block before it. Written only by
// the log's writer, only past every count it has handed out; never changed afterwards.
struct SampleBlock {
  static constexpr std::size_t kCapacity = 4096;  // 32 KiB of samples

  SampleBlock(std::shared_ptr<SampleBlock> before, std::size_t first_index)
      : previous(std::move(before)), first(first_index) {}
  SampleBlock(const SampleBlock&) = delete;
  SampleBlock& operator=(const SampleBlock&) = delete;
  // Releases the blocks before it one by one: a chain of thousands must not recurse.
  ~SampleBlock();

  std::shared_ptr<SampleBlock> previous;
  const std::size_t first;
  double samples[kCapacity];  // left uninitialised: only what was appended is ever read
};
}  // namespace detail

// The first size() samples of a log, oldest first. Copies are O(1) and share the samples; the
// log may go on growing, or be gone, without changing what a view holds.
class Samples {
 public:
  Samples() = default;

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // The samples from index `from` on, as contiguous runs in order; empty when `from` is at or
  // past the end. The runs stay valid as long as this view exists. O(runs), not O(samples).
  std::vector<std::span<const double>> spans(std::size_t from = 0) const;
  std::vector<double> to_vector(std::size_t from = 0) const;

 private:
  friend class SampleLog;
  Samples(std::shared_ptr<const detail::SampleBlock> newest, std::size_t size)
      : newest_(std::move(newest)), size_(size) {}

  std::shared_ptr<const detail::SampleBlock> newest_;
  std::size_t size_ = 0;
};

// The writing end: one thread appends; the views it hands out never see later samples.
class SampleLog {
 public:
  void append(double sample);  // allocates one block every SampleBlock::kCapacity samples
  Samples samples() const { return Samples(tail_, size_); }
  std::size_t size() const { return size_; }

 private:
  std::shared_ptr<detail::SampleBlock> tail_;
  std::size_t size_ = 0;
};

// A view of exactly these values (records built from lists, as in tests).
Samples samples_of(std::span<const double> values);

}  // namespace quillet::control_loop
