// Modified Kneser-Ney discounts of one order from its count-of-counts.
//
// From t1..t4: Y = t1 / (t1 + 2 t2), D_k = k - (k + 1) Y t_{k+1} / t_k for
// k = 1, 2, 3.  ComputeDiscounts gives them, or the fallback (with a warning
// on `messages`) when some t_k is 0 or some D_k is not strictly between 0
// and k and the fallback is allowed; otherwise it throws
// lm::estimate::DiscountException naming the order, t1..t4 and the
// discounts and suggesting --discount-fallback.
#ifndef LM_ESTIMATE_DISCOUNT_H
#define LM_ESTIMATE_DISCOUNT_H

#include "lm/estimate/estimate.hh"
#include "util/exception.hh"

#include <cstdint>
#include <iosfwd>

namespace lm {
namespace estimate {

class DiscountException : public util::Exception {
 public:
  DiscountException() noexcept {}
  ~DiscountException() noexcept override {}
};

// Fills summary.discounts and summary.fallback_used for `order` from
// summary.count_of_counts.
void ComputeDiscounts(unsigned order, const EstimateOptions &options, OrderSummary &summary);

// The discount of an adjusted count.
inline double Discount(const Discounts &discounts, uint64_t adjusted) {
  return discounts.amount[adjusted >= 3 ? 2 : adjusted - 1];
}

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_DISCOUNT_H
