// NGramCounter: counts the records of the counting stream in a hash table
// that spills sorted runs.
//
// A counting record is `order` words and a uint64_t count
// (RecordSizeWith<uint64_t>(order) bytes).  Add counts one occurrence of a
// window of `order` words.  The table starts small and doubles whenever a
// fixed share of its buckets is taken, up to the largest size the memory
// budget holds (a doubling that would hold both tables beyond the budget
// writes the smaller one as a run first); when that one is full its records
// are sorted in SuffixOrder and written as a run, and counting goes on in
// the emptied table.  A small text thus never pays for the whole budget.  Finish spills the rest and frees the table; the runs merged with
// SumCounts give every distinct window with its count, in suffix order.
// The counts do not depend on when the table spills, so the few windows
// that Add holds back until their buckets are fetched change nothing.
#ifndef LM_ESTIMATE_COUNTER_H
#define LM_ESTIMATE_COUNTER_H

#include "lm/estimate/estimate.hh"
#include "lm/estimate/external_sort.hh"
#include "lm/estimate/ngram_record.hh"
#include "util/mmap.hh"

#include <cstddef>
#include <cstdint>
#include <string>

namespace lm {
namespace estimate {

// Adds the counts of counting records with equal words.
class SumCounts {
 public:
  static constexpr bool kCombines = true;
  explicit SumCounts(unsigned order) : order_(order) {}
  void operator()(void *into, const void *from) const {
    Payload<uint64_t>(into, order_) += Payload<uint64_t>(from, order_);
  }

 private:
  unsigned order_;
};

class NGramCounter {
 public:
  // With `parallel`, a spill sorts half of the table on a second thread.
  NGramCounter(unsigned order, std::size_t memory, const std::string &temp_prefix, bool parallel = false);

  // The window is counted a few calls later: its bucket is fetched from
  // memory meanwhile.
  void Add(const WordId *window) {
    Pending &slot = pending_[added_++ % kPending];
    if (added_ > kPending) Insert(slot);
    CopyWords(slot.words, window, order_);
    slot.hash = Hash(window);
    __builtin_prefetch(table_ + (slot.hash & mask_) * record_size_, 1);
  }

  // Spills the rest and frees the table; the counts are then in Result().
  void Finish();

  Runs &Result() { return runs_; }
  unsigned Order() const { return order_; }

 private:
  // A window on its way into the table.
  struct Pending {
    WordId words[kMaxEstimateOrder];
    uint64_t hash;
  };
  static constexpr std::size_t kPending = 16;

  void Insert(const Pending &window) {
    for (std::size_t bucket = window.hash & mask_;; bucket = (bucket + 1) & mask_) {
      char *record = table_ + bucket * record_size_;
      uint64_t &count = Payload<uint64_t>(record, order_);
      if (!count) {
        CopyWords(Words(record), window.words, order_);
        count = 1;
        if (++entries_ == max_entries_) Full();
        return;
      }
      if (SameWords(Words(record), window.words, order_)) {
        ++count;
        return;
      }
    }
  }

  uint64_t Hash(const WordId *window) const;
  // Gives the table `buckets` zeroed buckets (a power of two).
  void Allocate(std::size_t buckets);
  // Grows the table or, at its largest, spills it.
  void Full();
  // Doubles the table, moving the taken buckets into the new one.
  void Grow();
  // Copies a record of the old table into its bucket of the new one.
  void Place(const char *record, uint64_t hash);
  // Moves the taken buckets to the front.
  void Compact();
  // Sorts the taken buckets and writes them as runs (two when parallel).
  void WriteSorted();
  void Spill();

  unsigned order_;
  std::size_t record_size_;
  bool parallel_;
  Runs runs_;
  // Asks for huge pages: the inserts land all over the table.
  util::scoped_memory memory_;
  char *table_;
  std::size_t mask_;
  std::size_t max_buckets_;
  std::size_t memory_bytes_;
  std::size_t entries_ = 0, max_entries_;
  Pending pending_[kPending];
  uint64_t added_ = 0;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_COUNTER_H
