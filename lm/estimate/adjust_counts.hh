// AdjustCounts: the adjusted counts of every order from the counting stream.
//
// The input is every distinct counting record (order N words, left-padded
// with kNoWord when it starts at <s> and is shorter than N, and its count) in
// SuffixOrder.  The occurrences of any n-gram are the records that end in it,
// and those are contiguous; so one pass finds, for every n-gram s of every
// order n, a(s): the summed count when n == N or s begins with <s>, else the
// number of distinct words that precede s (distinct (n+1)-word suffixes of
// the group).  Each order's n-grams come out in SuffixOrder through
//   emit(unsigned n, const WordId *words, uint64_t adjusted)
// and the summaries get the n-gram numbers and count-of-counts t1..t4.
#ifndef LM_ESTIMATE_ADJUST_COUNTS_H
#define LM_ESTIMATE_ADJUST_COUNTS_H

#include "lm/estimate/estimate.hh"
#include "lm/estimate/ngram_record.hh"

#include <cstdint>
#include <cstring>
#include <vector>

namespace lm {
namespace estimate {

template <class Stream, class Emit>
void AdjustCounts(Stream &in, unsigned order, std::vector<OrderSummary> &orders, Emit &&emit);

// ---- Implementation ----

namespace detail {

// The open groups of the pass: for every n, the adjusted count so far of the
// n-word suffix of the record last seen.
template <class Emit> class AdjustPass {
 public:
  AdjustPass(unsigned order, std::vector<OrderSummary> &orders, Emit &emit)
      : order_(order), orders_(orders), emit_(emit), open_(order + 1, false), adjusted_(order + 1, 0) {
    std::fill(previous_, previous_ + order, kNoWord);
  }

  void Add(const WordId *words, uint64_t count) {
    unsigned shared = 0;
    while (shared < order_ && words[order_ - 1 - shared] == previous_[order_ - 1 - shared]) ++shared;
    CloseAbove(shared);
    const unsigned real = RealLength(words);
    for (unsigned n = 1; n <= real; ++n) {
      const bool whole = n == order_ || words[order_ - n] == kBeginSentence;
      if (n <= shared) {
        adjusted_[n] += whole ? count : (n == shared);
      } else {
        open_[n] = true;
        adjusted_[n] = whole ? count : 1;
      }
    }
    CopyWords(previous_, words, order_);
  }

  void Finish() { CloseAbove(0); }

 private:
  unsigned RealLength(const WordId *words) const {
    unsigned pad = 0;
    while (words[pad] == kNoWord) ++pad;
    return order_ - pad;
  }

  void CloseAbove(unsigned shared) {
    for (unsigned n = order_; n > shared; --n) {
      if (!open_[n]) continue;
      open_[n] = false;
      const uint64_t a = adjusted_[n];
      OrderSummary &summary = orders_[n - 1];
      ++summary.ngrams;
      if (a <= 4) ++summary.count_of_counts[a - 1];
      emit_(n, previous_ + order_ - n, a);
    }
  }

  unsigned order_;
  std::vector<OrderSummary> &orders_;
  Emit &emit_;
  std::vector<bool> open_;
  std::vector<uint64_t> adjusted_;
  WordId previous_[kMaxEstimateOrder];
};

}  // namespace detail

template <class Stream, class Emit>
void AdjustCounts(Stream &in, unsigned order, std::vector<OrderSummary> &orders, Emit &&emit) {
  detail::AdjustPass<Emit> pass(order, orders, emit);
  for (; in; ++in) pass.Add(Words(in.Get()), Payload<uint64_t>(in.Get(), order));
  pass.Finish();
}

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_ADJUST_COUNTS_H
