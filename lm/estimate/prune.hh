// Pruning by count: the thresholds of the orders and the mark a pruned
// n-gram carries between the pipeline's passes.
//
// Whether an n-gram is kept depends on the n-grams of the order above (the
// definition in lm/estimate/estimate.hh), so the pipeline marks the orders
// from the highest down before it computes any value: order n's n-grams in
// PrefixOrder are joined with the sorted n-grams that the kept n-grams of
// order n + 1 need (their contexts and suffixes); each record keeps its
// adjusted count, with kPrunedFlag set when it is pruned.  Adjusted counts
// never come near 2^63, so the flag takes no room of its own.
#ifndef LM_ESTIMATE_PRUNE_H
#define LM_ESTIMATE_PRUNE_H

#include "lm/estimate/ngram_record.hh"

#include <cstdint>
#include <vector>

namespace lm {
namespace estimate {

constexpr uint64_t kPrunedFlag = uint64_t(1) << 63;

inline uint64_t AdjustedOf(uint64_t payload) { return payload & ~kPrunedFlag; }
inline bool IsPruned(uint64_t payload) { return payload & kPrunedFlag; }

// Throws util::Exception when `prune` holds more than order - 1 thresholds
// or one below the one before.
void CheckPruneThresholds(const std::vector<uint64_t> &prune, unsigned order);

// Whether some threshold is positive, so that anything may be pruned.
bool Prunes(const std::vector<uint64_t> &prune);

// T_n for an order n >= 2: the last threshold for orders beyond those given.
uint64_t PruneThreshold(const std::vector<uint64_t> &prune, unsigned order);

// Finds, for a rising sequence of keys in PrefixOrder, whether a stream of
// records of the same order in PrefixOrder (null: none) holds each.
template <class Stream> class NeededJoin {
 public:
  NeededJoin(Stream *stream, unsigned order) : stream_(stream), compare_(order), order_(order) {}

  bool Has(const WordId *words) {
    if (!stream_) return false;
    while (*stream_ && compare_(stream_->Get(), words)) ++*stream_;
    return *stream_ && SameWords(Words(stream_->Get()), words, order_);
  }

 private:
  Stream *stream_;
  PrefixOrder compare_;
  unsigned order_;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_PRUNE_H
