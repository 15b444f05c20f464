#include "lm/estimate/counter.hh"

#include "util/exception.hh"
#include "util/murmur_hash.hh"

#include <algorithm>
#include <thread>

namespace lm {
namespace estimate {
namespace {

// The table grows or spills once this share of its buckets is taken.
constexpr double kMaxLoad = 0.8;
// Buckets of a new table, at most.
constexpr std::size_t kInitialBuckets = 1 << 16;
// Buckets whose hashes Grow computes and prefetches ahead.
constexpr std::size_t kGrowAhead = 8;

}  // namespace

NGramCounter::NGramCounter(unsigned order, std::size_t memory, const std::string &temp_prefix, bool parallel)
    : order_(order), record_size_(RecordSizeWith<uint64_t>(order)), parallel_(parallel), runs_(record_size_, temp_prefix) {
  max_buckets_ = 16;
  while (max_buckets_ * 2 * record_size_ <= memory) max_buckets_ *= 2;
  memory_bytes_ = memory;
  Allocate(std::min(max_buckets_, kInitialBuckets));
}

void NGramCounter::Allocate(std::size_t buckets) {
  util::HugeMalloc(buckets * record_size_, true, memory_);
  table_ = static_cast<char *>(memory_.get());
  mask_ = buckets - 1;
  max_entries_ = std::max<std::size_t>(1, static_cast<std::size_t>(buckets * kMaxLoad));
}

void NGramCounter::Full() {
  const std::size_t buckets = mask_ + 1;
  if (buckets == max_buckets_) {
    Spill();
  } else if (buckets * 3 * record_size_ <= memory_bytes_) {
    Grow();
  } else {
    // The table and its double do not fit together: spill, then double.
    WriteSorted();
    entries_ = 0;
    Allocate(buckets * 2);
  }
}

void NGramCounter::Grow() {
  util::scoped_memory old;
  const std::size_t old_size = memory_.size();
  old.reset(memory_.steal(), old_size, util::scoped_memory::HEAP_BLOCK);
  const char *from = table_;
  const char *const end = from + (mask_ + 1) * record_size_;
  Allocate((mask_ + 1) * 2);
  // The hashes of the next taken records, their new buckets on their way.
  uint64_t hashes[kGrowAhead];
  const char *records[kGrowAhead];
  std::size_t ahead = 0;
  for (;; from += record_size_) {
    const bool more = from != end;
    if (more && !Payload<uint64_t>(from, order_)) continue;
    if (ahead == kGrowAhead || (!more && ahead)) {
      for (std::size_t i = 0; i < ahead; ++i) Place(records[i], hashes[i]);
      ahead = 0;
    }
    if (!more) break;
    records[ahead] = from;
    hashes[ahead] = Hash(Words(from));
    __builtin_prefetch(table_ + (hashes[ahead] & mask_) * record_size_, 1);
    ++ahead;
  }
}

void NGramCounter::Place(const char *record, uint64_t hash) {
  std::size_t bucket = hash & mask_;
  while (Payload<uint64_t>(table_ + bucket * record_size_, order_)) bucket = (bucket + 1) & mask_;
  CopyRecord(table_ + bucket * record_size_, record, record_size_);
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
