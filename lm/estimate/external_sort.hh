// A generic external merge sort of fixed-size records.
//
// Records are the 8-aligned, 8-multiple-sized records of ngram_record.hh (at
// most kMaxRecordBytes), ordered by a RecordOrder and merged, where keys are
// equal, by a RecordCombine (both below).  Runs holds sorted runs on temporary files (each combined already); a
// Sorter fills a buffer of records, sorting, combining and spilling it as a
// run whenever it is full; MergeStream reads the runs back as one sorted,
// combined stream, merging k at a time within a memory budget (runs beyond
// the fan-in are merged into new runs first, oldest first).  The merged
// stream is the same sequence whatever the buffer sizes, as long as keys
// that compare equal are combined or absent.
#ifndef LM_ESTIMATE_EXTERNAL_SORT_H
#define LM_ESTIMATE_EXTERNAL_SORT_H

#include "lm/estimate/estimate.hh"
#include "lm/estimate/ngram_record.hh"
#include "lm/estimate/record_file.hh"
#include "util/worker.hh"

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace lm {
namespace estimate {

// A strict weak order on record addresses.
template <class Compare>
concept RecordOrder = std::copy_constructible<Compare> && requires(const Compare compare, const void *a) {
  { compare(a, a) } -> std::convertible_to<bool>;
};

// Whether records with equal keys are merged (kCombines; false: the keys are
// unique) and how: operator() folds `from` into `into`.
template <class Combine>
concept RecordCombine = std::copy_constructible<Combine> && requires(const Combine combine, void *into, const void *from) {
  { Combine::kCombines } -> std::convertible_to<bool>;
  combine(into, from);
};

struct NoCombine {
  static constexpr bool kCombines = false;
  void operator()(void *, const void *) const {}
};

// Sorts `count` records of `record_size` bytes at `begin` in place.  A
// Compare with `template <unsigned N> using Fixed` (an equivalent order for
// records of N words: SuffixOrder, PrefixOrder) sorts the records of the
// pipeline with that.
template <class Compare> void SortRecords(void *begin, std::size_t count, std::size_t record_size, Compare compare);

// A sorted run: `bytes` bytes of a temporary file from `offset` on.
struct Run {
  std::shared_ptr<TempFile> file;
  uint64_t offset, bytes;
};

// Sorted runs of one record size.  The runs written here follow each other
// in one temporary file (so that many runs take one descriptor); the file
// goes away with the last run that refers to it.
class Runs {
 public:
  Runs(std::size_t record_size, const std::string &temp_prefix)
      : record_size_(record_size), temp_prefix_(temp_prefix) {}

  // Writes `count` sorted, combined records at `begin` as a new run.
  void Write(const void *begin, std::size_t count);

  std::size_t RecordSize() const { return record_size_; }
  const std::string &TempPrefix() const { return temp_prefix_; }
  std::vector<Run> &List() { return runs_; }

 private:
  std::size_t record_size_;
  std::string temp_prefix_;
  std::shared_ptr<TempFile> file_;
  std::vector<Run> runs_;
};

// The records of some runs in order, equal keys combined.  Takes the runs
// from the Runs, and about `memory` bytes of read buffers.
template <class Compare, class Combine> class MergeStream {
 public:
  static_assert(RecordOrder<Compare> && RecordCombine<Combine>);

  MergeStream(Runs &runs, std::size_t memory, Compare compare, Combine combine = Combine());

  explicit operator bool() const { return valid_; }
  // Without combining the record is read where the run's buffer holds it.
  const void *Get() const { return Combine::kCombines ? buffer_ : readers_[heap_.front()].Get(); }
  MergeStream &operator++();

  // Records read from the runs so far, and in all (before combining).
  uint64_t Consumed() const { return consumed_; }
  uint64_t Total() const { return total_; }

 private:
  // Restores the heap below position `at`.
  void SiftDown(std::size_t at);
  bool Less(std::size_t a, std::size_t b) const { return compare_(readers_[a].Get(), readers_[b].Get()); }
  // Moves past the smallest record.
  void Pop();

  std::vector<Run> runs_;
  std::vector<RecordReader> readers_;
  std::vector<std::size_t> heap_;  // reader indices, a min-heap
  std::size_t record_size_;
  Compare compare_;
  Combine combine_;
  uint64_t buffer_[kMaxRecordBytes / 8];
  bool valid_;
  uint64_t consumed_ = 0, total_ = 0;
};

// Collects records through a buffer of `memory` bytes into sorted runs.
// With a worker, the memory makes two buffers: one fills while the worker
// sorts and writes the other.
template <class Compare, class Combine> class Sorter {
 public:
  static_assert(RecordOrder<Compare> && RecordCombine<Combine>);

  Sorter(std::size_t record_size, std::size_t memory, const std::string &temp_prefix, Compare compare,
         Combine combine = Combine(), util::Worker *worker = nullptr);
  // Waits for a buffer the worker still holds (discarding its error).
  ~Sorter();

  // Room for the next record, to be filled before the next call.
  void *Add() {
    if (fill_ == end_) Spill();
    void *ret = fill_;
    fill_ += runs_.RecordSize();
    return ret;
  }

  // Spills what is buffered, waits for the worker and frees the buffers.
  void Finish();

  // The sorted records; call after Finish, once.
  MergeStream<Compare, Combine> Merge(std::size_t memory) {
    return MergeStream<Compare, Combine>(runs_, memory, compare_, combine_);
  }

 private:
  void Spill();
  void SortAndWrite(char *begin, std::size_t count);
  char *Buffer(unsigned which) { return reinterpret_cast<char *>(buffer_.get()) + which * buffer_bytes_; }

  Runs runs_;
  Compare compare_;
  Combine combine_;
  util::Worker *worker_;
  std::unique_ptr<uint64_t[]> buffer_;
  std::size_t buffer_bytes_;
  unsigned filling_ = 0;  // which buffer fills
  uint64_t pending_ = 0;  // the worker's ticket for the other one
  char *fill_, *end_;
};

// Folds runs of equal keys of the sorted records at `begin` into their first
// record; returns the number of records left.
template <class Compare, class Combine>
std::size_t CombineSorted(void *begin, std::size_t count, std::size_t record_size, Compare compare, Combine combine);

// ---- Implementation ----

namespace detail {

// A record as the sort moves it: of word identifiers, the type comparisons
// read it as, so that the compiler keeps the moves and reads in order.
template <std::size_t kWords> struct Block {
  WordId data[kWords * 8 / sizeof(WordId)];
};

// g++ cannot see that a comparison reads only the words a record has, and
// takes the sort's copies of a record for partly uninitialized.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
template <std::size_t kWords, class Compare> void SortBlocks(void *begin, std::size_t count, Compare compare) {
  Block<kWords> *first = static_cast<Block<kWords> *>(begin);
  std::sort(first, first + count,
            [&compare](const Block<kWords> &a, const Block<kWords> &b) { return compare(&a, &b); });
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Sorts with the comparison for `order` words fixed at compile time, when
// the records are those words and a payload of one or two 64-bit words;
// false when they are not (or the order is beyond the model's).
template <class Compare, unsigned N = 1>
bool SortFixed(void *begin, std::size_t count, std::size_t record_size, unsigned order) {
  if constexpr (N > kMaxEstimateOrder) {
    return false;
  } else {
    if (order != N) return SortFixed<Compare, N + 1>(begin, count, record_size, order);
    constexpr std::size_t kWordBlocks = (N + 1) / 2;
    typedef typename Compare::template Fixed<N> Fixed;
    if (record_size == 8 * (kWordBlocks + 1)) {
      SortBlocks<kWordBlocks + 1>(begin, count, Fixed());
    } else if (record_size == 8 * (kWordBlocks + 2)) {
      SortBlocks<kWordBlocks + 2>(begin, count, Fixed());
    } else {
      return false;
    }
    return true;
  }
}

// The smallest number of records a merge reads at a time from each run.
constexpr std::size_t kMinReadBytes = 1 << 12;

}  // namespace detail

template <class Compare> void SortRecords(void *begin, std::size_t count, std::size_t record_size, Compare compare) {
  if constexpr (requires { typename Compare::template Fixed<1>; }) {
    if (detail::SortFixed<Compare>(begin, count, record_size, compare.Order())) return;
  }
  switch (record_size / 8) {
    case 1: return detail::SortBlocks<1>(begin, count, compare);
    case 2: return detail::SortBlocks<2>(begin, count, compare);
    case 3: return detail::SortBlocks<3>(begin, count, compare);
    case 4: return detail::SortBlocks<4>(begin, count, compare);
    case 5: return detail::SortBlocks<5>(begin, count, compare);
    case 6: return detail::SortBlocks<6>(begin, count, compare);
    case 7: return detail::SortBlocks<7>(begin, count, compare);
    case 8: return detail::SortBlocks<8>(begin, count, compare);
  }
}

template <class Compare, class Combine>
std::size_t CombineSorted(void *begin, std::size_t count, std::size_t record_size, Compare compare, Combine combine) {
  if (!Combine::kCombines || !count) return count;
  char *base = static_cast<char *>(begin);
  char *kept = base;
  for (char *i = base + record_size; i != base + count * record_size; i += record_size) {
    if (compare(kept, i)) {
      kept += record_size;
      if (kept != i) CopyRecord(kept, i, record_size);
    } else {
      combine(kept, i);
    }
  }
  return (kept - base) / record_size + 1;
}

template <class Compare, class Combine>
MergeStream<Compare, Combine>::MergeStream(Runs &runs, std::size_t memory, Compare compare, Combine combine)
    : record_size_(runs.RecordSize()), compare_(compare), combine_(combine), valid_(false) {
  std::vector<Run> &runs_in = runs.List();
  const std::size_t fan_in = std::max<std::size_t>(2, memory / std::max(detail::kMinReadBytes, 8 * record_size_));
  // Merge the oldest runs into new ones, one after the other in one more
  // file, until the rest fit the fan-in.
  std::size_t first = 0;
  std::shared_ptr<TempFile> out;
  while (runs_in.size() - first > fan_in) {
    Runs part(record_size_, runs.TempPrefix());
    for (std::size_t i = 0; i < fan_in; ++i) part.List().push_back(std::move(runs_in[first + i]));
    first += fan_in;
    MergeStream merged(part, memory / 2, compare_, combine_);
    if (!out) out.reset(new TempFile(runs.TempPrefix()));
    const uint64_t start = out->bytes;
    RecordWriter writer(*out, memory / 2);
    for (; merged; ++merged) writer.Write(merged.Get(), record_size_);
    writer.Flush();
    runs_in.push_back(Run{out, start, out->bytes - start});
  }
  for (std::size_t i = first; i < runs_in.size(); ++i) runs_.push_back(std::move(runs_in[i]));
  runs_in.clear();
  const std::size_t per_run = memory / std::max<std::size_t>(1, runs_.size());
  readers_.reserve(runs_.size());
  for (const Run &run : runs_) {
    total_ += run.bytes / record_size_;
    readers_.emplace_back(run.file.get(), record_size_, per_run, run.offset, run.bytes);
    if (readers_.back()) heap_.push_back(readers_.size() - 1);
  }
  for (std::size_t i = heap_.size() / 2; i-- > 0;) SiftDown(i);
  ++*this;
}

template <class Compare, class Combine> void MergeStream<Compare, Combine>::SiftDown(std::size_t at) {
  const std::size_t size = heap_.size();
  while (true) {
    std::size_t child = 2 * at + 1;
    if (child >= size) return;
    if (child + 1 < size && Less(heap_[child + 1], heap_[child])) ++child;
    if (!Less(heap_[child], heap_[at])) return;
    std::swap(heap_[child], heap_[at]);
    at = child;
  }
}

template <class Compare, class Combine> void MergeStream<Compare, Combine>::Pop() {
  ++consumed_;
  if (!++readers_[heap_.front()]) {
    heap_.front() = heap_.back();
    heap_.pop_back();
  }
  if (heap_.size() > 1) SiftDown(0);
}

template <class Compare, class Combine> MergeStream<Compare, Combine> &MergeStream<Compare, Combine>::operator++() {
  if (!Combine::kCombines) {
    // The record handed out last is still at the top, unless this is the
    // first step.
    if (valid_) Pop();
    valid_ = !heap_.empty();
    return *this;
  }
  valid_ = !heap_.empty();
  if (!valid_) return *this;
  CopyRecord(buffer_, readers_[heap_.front()].Get(), record_size_);
  Pop();
  while (!heap_.empty() && !compare_(buffer_, readers_[heap_.front()].Get())) {
    combine_(buffer_, readers_[heap_.front()].Get());
    Pop();
  }
  return *this;
}

template <class Compare, class Combine>
Sorter<Compare, Combine>::Sorter(std::size_t record_size, std::size_t memory, const std::string &temp_prefix,
                                 Compare compare, Combine combine, util::Worker *worker)
    : runs_(record_size, temp_prefix), compare_(compare), combine_(combine), worker_(worker) {
  const unsigned buffers = worker_ ? 2 : 1;
  const std::size_t records = std::max<std::size_t>(1, memory / buffers / record_size);
  buffer_bytes_ = records * record_size;
  buffer_.reset(new uint64_t[buffers * buffer_bytes_ / 8]);
  fill_ = Buffer(0);
  end_ = fill_ + buffer_bytes_;
}

template <class Compare, class Combine> Sorter<Compare, Combine>::~Sorter() {
  if (!worker_) return;
  try {
    worker_->WaitFor(pending_);
  } catch (...) {
  }
}

template <class Compare, class Combine> void Sorter<Compare, Combine>::SortAndWrite(char *begin, std::size_t count) {
  const std::size_t size = runs_.RecordSize();
  SortRecords(begin, count, size, compare_);
  runs_.Write(begin, CombineSorted(begin, count, size, compare_, combine_));
}

template <class Compare, class Combine> void Sorter<Compare, Combine>::Spill() {
  char *begin = Buffer(filling_);
  const std::size_t count = (fill_ - begin) / runs_.RecordSize();
  if (!worker_) {
    if (count) SortAndWrite(begin, count);
    fill_ = begin;
    return;
  }
  worker_->WaitFor(pending_);
  if (count) pending_ = worker_->Submit([this, begin, count] { SortAndWrite(begin, count); });
  filling_ ^= 1;
  fill_ = Buffer(filling_);
  end_ = fill_ + buffer_bytes_;
}

template <class Compare, class Combine> void Sorter<Compare, Combine>::Finish() {
  if (buffer_ && worker_) {
    // The last buffer is sorted here while the worker may still sort the
    // one before; runs are written one at a time.
    char *begin = Buffer(filling_);
    const std::size_t size = runs_.RecordSize();
    std::size_t count = (fill_ - begin) / size;
    SortRecords(begin, count, size, compare_);
    count = CombineSorted(begin, count, size, compare_, combine_);
    worker_->WaitFor(pending_);
    if (count) runs_.Write(begin, count);
  } else if (buffer_) {
    Spill();
  }
  buffer_.reset();
  fill_ = end_ = nullptr;
}

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_EXTERNAL_SORT_H
