#include "lm/estimate/counter.hh"

#include "util/exception.hh"
#include "util/murmur_hash.hh"

#include <algorithm>

namespace lm {
namespace estimate {
namespace {

// The table spills once this share of its buckets is taken.
constexpr double kMaxLoad = 0.8;

}  // namespace

NGramCounter::NGramCounter(unsigned order, std::size_t memory, const std::string &temp_prefix)
    : order_(order), record_size_(RecordSizeWith<uint64_t>(order)), runs_(record_size_, temp_prefix) {
  std::size_t buckets = 16;
  while (buckets * 2 * record_size_ <= memory) buckets *= 2;
  memory_.reset(new uint64_t[buckets * record_size_ / 8]());
  table_ = reinterpret_cast<char *>(memory_.get());
  mask_ = buckets - 1;
  max_entries_ = std::max<std::size_t>(1, static_cast<std::size_t>(buckets * kMaxLoad));
}

uint64_t NGramCounter::Hash(const WordId *window) const {
  return util::MurmurHash64A(window, order_ * sizeof(WordId), 0);
}

void NGramCounter::Compact() {
  char *kept = table_;
  for (char *i = table_; i != table_ + (mask_ + 1) * record_size_; i += record_size_) {
    if (!Payload<uint64_t>(i, order_)) continue;
    if (kept != i) std::memcpy(kept, i, record_size_);
    kept += record_size_;
  }
}

void NGramCounter::Spill() {
  Compact();
  SortRecords(table_, entries_, record_size_, SuffixOrder(order_));
  runs_.Write(table_, entries_);
  std::memset(table_, 0, (mask_ + 1) * record_size_);
  entries_ = 0;
}

void NGramCounter::Finish(Worker *worker) {
  if (entries_ && worker) {
    // Two runs, one sorted by each thread.
    Compact();
    const std::size_t half = entries_ / 2;
    char *second = table_ + half * record_size_;
    const uint64_t ticket =
        worker->Submit([this, half] { SortRecords(table_, half, record_size_, SuffixOrder(order_)); });
    SortRecords(second, entries_ - half, record_size_, SuffixOrder(order_));
    worker->WaitFor(ticket);
    if (half) runs_.Write(table_, half);
    runs_.Write(second, entries_ - half);
  } else if (entries_) {
    Spill();
  }
  entries_ = 0;
  memory_.reset();
  table_ = nullptr;
}

}  // namespace estimate
}  // namespace lm
