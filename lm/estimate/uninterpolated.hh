// Uninterpolated: the uninterpolated probabilities of one order and the
// backoffs of its contexts.
//
// The input is every n-gram of order n with its adjusted count (n words and
// a uint64_t, RecordSizeWith<uint64_t>(n) bytes) in PrefixOrder, so that the
// n-grams of a context c (their first n - 1 words) are contiguous.  For each
// context: A(c) = sum of a(c x), N_k(c) the number of x with a(c x) = k
// (N_3: a >= 3),
//   u(c w) = (a(c w) - D(a(c w))) / A(c),
//   g(c)   = (D1 N1 + D2 N2 + D3 N3 + sum over pruned c x of (a(c x) - D(a(c x)))) / A(c),
// where the pruned n-grams are those whose payload carries kPrunedFlag.
// Through
//   ngram(const WordId *words, const Uninterp &weights)   every kept n-gram,
//                                                          with u and g(its
//                                                          context)
//   context(const WordId *words, double gamma)             every context with a
//                                                          kept n-gram (n - 1
//                                                          words; none for n = 1)
// in PrefixOrder.  The group of one context is held in memory.
#ifndef LM_ESTIMATE_UNINTERPOLATED_H
#define LM_ESTIMATE_UNINTERPOLATED_H

#include "lm/estimate/discount.hh"
#include "lm/estimate/ngram_record.hh"
#include "lm/estimate/prune.hh"

#include <cstdint>
#include <cstring>
#include <vector>

namespace lm {
namespace estimate {

// The payload of an n-gram once the uninterpolated values are known.
struct Uninterp {
  double u;
  double gamma;  // g of the n-gram's context
};

template <class Stream, class NGram, class Context>
void Uninterpolated(Stream &in, unsigned order, const Discounts &discounts, NGram &&ngram, Context &&context);

// ---- Implementation ----

namespace detail {

template <class NGram, class Context> class ContextGroups {
 public:
  ContextGroups(unsigned order, const Discounts &discounts, NGram &ngram, Context &context)
      : order_(order), size_(RecordSizeWith<uint64_t>(order)), discounts_(discounts), ngram_(ngram), context_(context) {}

  void Add(const void *record) {
    if (!group_.empty() && !SameWords(Words(group_.data()), Words(record), order_ - 1)) Flush();
    const std::size_t at = group_.size();
    group_.resize(at + size_ / 8);
    CopyRecord(&group_[at], record, size_);
  }

  void Flush() {
    if (group_.empty()) return;
    double total = 0, mass = 0, pruned = 0;
    bool kept = false;
    for (std::size_t i = 0; i < group_.size(); i += size_ / 8) {
      const uint64_t payload = Payload<uint64_t>(&group_[i], order_), a = AdjustedOf(payload);
      total += static_cast<double>(a);
      mass += Discount(discounts_, a);
      if (IsPruned(payload)) {
        pruned += static_cast<double>(a) - Discount(discounts_, a);
      } else {
        kept = true;
      }
    }
    const double gamma = (mass + pruned) / total;
    for (std::size_t i = 0; i < group_.size(); i += size_ / 8) {
      const uint64_t payload = Payload<uint64_t>(&group_[i], order_), a = AdjustedOf(payload);
      if (IsPruned(payload)) continue;
      ngram_(Words(&group_[i]), Uninterp{(static_cast<double>(a) - Discount(discounts_, a)) / total, gamma});
    }
    if (kept) context_(Words(group_.data()), gamma);
    group_.clear();
  }

 private:
  unsigned order_;
  std::size_t size_;
  const Discounts &discounts_;
  NGram &ngram_;
  Context &context_;
  std::vector<uint64_t> group_;
};

}  // namespace detail

template <class Stream, class NGram, class Context>
void Uninterpolated(Stream &in, unsigned order, const Discounts &discounts, NGram &&ngram, Context &&context) {
  detail::ContextGroups<NGram, Context> groups(order, discounts, ngram, context);
  for (; in; ++in) groups.Add(in.Get());
  groups.Flush();
}

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_UNINTERPOLATED_H
