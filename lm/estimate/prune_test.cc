#include "lm/estimate/prune.hh"

#include "util/exception.hh"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lm {
namespace estimate {
namespace {

TEST(Prune, Thresholds) {
  struct Case {
    unsigned order;
    std::vector<uint64_t> prune;
    const char *refusal;  // null: accepted
  } cases[] = {
      {1, {}, nullptr},
      {3, {}, nullptr},
      {3, {0, 1}, nullptr},
      {5, {1, 1, 2, 2}, nullptr},
      {5, {1}, nullptr},
      {1, {0}, "a model of order 1 takes at most 0 pruning thresholds (orders 2 to 1), not 1"},
      {3, {0, 1, 2}, "a model of order 3 takes at most 2 pruning thresholds (orders 2 to 3), not 3"},
      {4, {0, 2, 1}, "pruning thresholds must not decrease with the order, but order 4 has 1 after 2 for order 3"},
      {3, {1, 0}, "order 3 has 0 after 1 for order 2"},
  };
  for (const Case &test : cases) {
    SCOPED_TRACE(::testing::PrintToString(test.prune) + " at order " + std::to_string(test.order));
    if (!test.refusal) {
      EXPECT_NO_THROW(CheckPruneThresholds(test.prune, test.order));
      continue;
    }
    try {
      CheckPruneThresholds(test.prune, test.order);
      ADD_FAILURE() << "accepted";
    } catch (const util::Exception &e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(test.refusal)) << e.what();
    }
  }
}

TEST(Prune, LastThresholdRepeats) {
  const std::vector<uint64_t> prune = {0, 1, 3};
  EXPECT_EQ(0u, PruneThreshold(prune, 2));
  EXPECT_EQ(1u, PruneThreshold(prune, 3));
  EXPECT_EQ(3u, PruneThreshold(prune, 4));
  EXPECT_EQ(3u, PruneThreshold(prune, 7));
  EXPECT_EQ(0u, PruneThreshold({}, 3));
  EXPECT_FALSE(Prunes({}));
  EXPECT_FALSE(Prunes({0, 0}));
  EXPECT_TRUE(Prunes({0, 2}));
}

}  // namespace
}  // namespace estimate
}  // namespace lm
