#include "lm/estimate/counter.hh"

#include "util/exception.hh"
#include "util/murmur_hash.hh"

#include <algorithm>
#include <thread>

namespace lm {
namespace estimate {
namespace {

// The table spills once this share of its buckets is taken.
constexpr double kMaxLoad = 0.8;

}  // namespace

NGramCounter::NGramCounter(unsigned order, std::size_t memory, const std::string &temp_prefix, bool parallel)
    : order_(order), record_size_(RecordSizeWith<uint64_t>(order)), parallel_(parallel), runs_(record_size_, temp_prefix) {
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
    if (kept != i) CopyRecord(kept, i, record_size_);
    kept += record_size_;
  }
}

void NGramCounter::WriteSorted() {
  Compact();
  const SuffixOrder compare(order_);
  if (!parallel_ || entries_ < 2) {
    SortRecords(table_, entries_, record_size_, compare);
    runs_.Write(table_, entries_);
    return;
  }
  const std::size_t half = entries_ / 2;
  char *second = table_ + half * record_size_;
  std::thread helper([this, half, compare] { SortRecords(table_, half, record_size_, compare); });
  SortRecords(second, entries_ - half, record_size_, compare);
  helper.join();
  runs_.Write(table_, half);
  runs_.Write(second, entries_ - half);
}

void NGramCounter::Spill() {
  WriteSorted();
  std::memset(table_, 0, (mask_ + 1) * record_size_);
  entries_ = 0;
}

void NGramCounter::Finish() {
  for (uint64_t i = added_ > kPending ? added_ - kPending : 0; i < added_; ++i) Insert(pending_[i % kPending]);
  added_ = 0;
  if (entries_) WriteSorted();
  entries_ = 0;
  memory_.reset();
  table_ = nullptr;
}

}  // namespace estimate
}  // namespace lm
