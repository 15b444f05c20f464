#include "lm/estimate/discount.hh"

#include <gtest/gtest.h>

#include <sstream>

namespace lm {
namespace estimate {
namespace {

OrderSummary WithCounts(uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4) {
  OrderSummary summary;
  summary.count_of_counts[0] = t1;
  summary.count_of_counts[1] = t2;
  summary.count_of_counts[2] = t3;
  summary.count_of_counts[3] = t4;
  return summary;
}

TEST(Discount, FromCountOfCounts) {
  // Y = 100 / (100 + 2 * 40) = 5/9.
  OrderSummary summary = WithCounts(100, 40, 20, 10);
  ComputeDiscounts(2, EstimateOptions(), summary);
  const double y = 100.0 / 180.0;
  EXPECT_DOUBLE_EQ(1 - 2 * y * 40 / 100, summary.discounts.amount[0]);
  EXPECT_DOUBLE_EQ(2 - 3 * y * 20 / 40, summary.discounts.amount[1]);
  EXPECT_DOUBLE_EQ(3 - 4 * y * 10 / 20, summary.discounts.amount[2]);
  EXPECT_FALSE(summary.fallback_used);
}

TEST(Discount, OutOfRangeThrowsOrFallsBack) {
  // A zero count-of-counts, and counts whose D2 comes out negative.
  for (OrderSummary bad : {WithCounts(5, 3, 0, 1), WithCounts(10, 1, 30, 1)}) {
    EstimateOptions options;
    try {
      ComputeDiscounts(4, options, bad);
      ADD_FAILURE() << "no error";
    } catch (const DiscountException &e) {
      const std::string what = e.what();
      const std::string t = "t1=" + std::to_string(bad.count_of_counts[0]) +
                            " t2=" + std::to_string(bad.count_of_counts[1]) +
                            " t3=" + std::to_string(bad.count_of_counts[2]) + " t4=1";
      EXPECT_NE(std::string::npos, what.find("the discounts of order 4 are out of range")) << what;
      EXPECT_NE(std::string::npos, what.find(t)) << what;
      EXPECT_NE(std::string::npos, what.find("--discount-fallback")) << what;
    }
    std::ostringstream warnings;
    options.discount_fallback = true;
    options.fallback = Discounts{{0.25, 0.75, 2.5}};
    options.messages = &warnings;
    ComputeDiscounts(4, options, bad);
    EXPECT_TRUE(bad.fallback_used);
    EXPECT_EQ(0.75, bad.discounts.amount[1]);
    EXPECT_NE(std::string::npos, warnings.str().find("using the fallback D1=0.25 D2=0.75 D3=2.5")) << warnings.str();
  }
}

}  // namespace
}  // namespace estimate
}  // namespace lm
