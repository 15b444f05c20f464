#include "lm/estimate/discount.hh"

#include <ostream>

namespace lm {
namespace estimate {
namespace {

// The discounts from t1..t4; true when they are usable.
bool FromCounts(const uint64_t *t, Discounts &discounts) {
  for (unsigned k = 0; k < 4; ++k) {
    if (!t[k]) {
      for (double &d : discounts.amount) d = 0;
      return false;
    }
  }
  const double y = static_cast<double>(t[0]) / (static_cast<double>(t[0]) + 2.0 * static_cast<double>(t[1]));
  bool usable = true;
  for (unsigned k = 1; k <= 3; ++k) {
    const double d = k - (k + 1) * y * static_cast<double>(t[k]) / static_cast<double>(t[k - 1]);
    discounts.amount[k - 1] = d;
    if (!(d > 0.0 && d < k)) usable = false;
  }
  return usable;
}

template <class Stream> void Describe(Stream &to, unsigned order, const OrderSummary &summary) {
  const uint64_t *t = summary.count_of_counts;
  to << "the discounts of order " << order << " are out of range: count-of-counts t1=" << t[0] << " t2=" << t[1]
     << " t3=" << t[2] << " t4=" << t[3];
  if (!t[0] || !t[1] || !t[2] || !t[3]) {
    to << " (a count-of-counts of 0 leaves them undefined)";
  } else {
    to << " give D1=" << summary.discounts.amount[0] << " D2=" << summary.discounts.amount[1]
       << " D3=" << summary.discounts.amount[2];
  }
}

}  // namespace

void ComputeDiscounts(unsigned order, const EstimateOptions &options, OrderSummary &summary) {
  summary.fallback_used = false;
  if (FromCounts(summary.count_of_counts, summary.discounts)) return;
  if (!options.discount_fallback) {
    DiscountException e;
    Describe(e, order, summary);
    e << " (each D_k must lie strictly between 0 and k).  The text may be too small or too repetitive; "
         "--discount-fallback uses fixed discounts instead.";
    throw e;
  }
  if (options.messages) {
    *options.messages << "Warning: ";
    Describe(*options.messages, order, summary);
    *options.messages << "; using the fallback D1=" << options.fallback.amount[0]
                      << " D2=" << options.fallback.amount[1] << " D3=" << options.fallback.amount[2] << '\n';
  }
  summary.discounts = options.fallback;
  summary.fallback_used = true;
}

}  // namespace estimate
}  // namespace lm
