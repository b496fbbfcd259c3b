#include "control_loop/samples.hpp"

#include <algorithm>

namespace quillet::control_loop {

namespace detail {
SampleBlock::~SampleBlock() {
  // A block only this chain still holds is emptied of its link before it goes, so each one is
  // freed here rather than by its successor's destructor. One another view still holds stops the
  // walk: it is freed with that view.
  std::shared_ptr<SampleBlock> next = std::move(previous);
  while (next && next.use_count() == 1) next = std::move(next->previous);
}
}  // namespace detail

std::vector<std::span<const double>> Samples::spans(std::size_t from) const {
  std::vector<std::span<const double>> runs;
  std::size_t end = size_;
  for (const detail::SampleBlock* block = newest_.get(); block != nullptr && end > from;
       block = block->previous.get()) {
    const std::size_t begin = std::max(block->first, from);
    runs.emplace_back(block->samples + (begin - block->first), end - begin);
    end = block->first;
  }
  std::ranges::reverse(runs);
  return runs;
}

std::vector<double> Samples::to_vector(std::size_t from) const {
  std::vector<double> values;
  values.reserve(from < size_ ? size_ - from : 0);
  for (std::span<const double> run : spans(from)) values.insert(values.end(), run.begin(), run.end());
  return values;
}

void SampleLog::append(double sample) {
  if (!tail_ || size_ == tail_->first + detail::SampleBlock::kCapacity) {
    tail_ = std::make_shared<detail::SampleBlock>(std::move(tail_), size_);
  }
  tail_->samples[size_ - tail_->first] = sample;
  ++size_;
}

Samples samples_of(std::span<const double> values) {
  SampleLog log;
  for (double value : values) log.append(value);
  return log.samples();
}

}  // namespace quillet::control_loop
