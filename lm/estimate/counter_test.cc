#include "lm/estimate/counter.hh"

#include "lm/estimate/external_sort.hh"
#include "lm/estimate/key_order_for_test.hh"
#include "lm/estimate/ngram_record.hh"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace lm {
namespace estimate {
namespace {

struct Budget {
  // The table's largest size in buckets; 0: far more than the windows need.
  std::size_t buckets;
  const char *what;
};

// The same windows through budgets that make the table spill without
// growing, double by spilling first and then spill, grow and then double by
// spilling first, and only grow (many times, past its first size): the
// merged runs always hold every distinct window with its count.
TEST(NGramCounter, CountsDoNotDependOnGrowingOrSpilling) {
  const Budget budgets[] = {{1024, "small table, spills only"},
                            {1 << 17, "spills to double, then spills"},
                            {1 << 18, "grows, then spills to double"},
                            {0, "grows only"}};
  for (unsigned order : {1u, 3u, 5u}) {
    std::mt19937 random(order);
    std::uniform_int_distribution<WordId> word(0, 1000000);
    // A third of the windows repeat an earlier one.
    std::vector<Key> windows(300000, Key(order));
    for (std::size_t i = 0; i < windows.size(); ++i) {
      if (i % 3 == 2) {
        windows[i] = windows[std::uniform_int_distribution<std::size_t>(0, i - 1)(random)];
        continue;
      }
      for (WordId &w : windows[i]) w = word(random);
    }
    std::map<Key, uint64_t, ReversedLess> expected;
    for (const Key &window : windows) ++expected[window];
    for (const Budget &budget : budgets) {
      for (bool parallel : {false, true}) {
        const std::size_t memory =
            budget.buckets ? budget.buckets * RecordSizeWith<uint64_t>(order) : std::size_t(1) << 30;
        NGramCounter counter(order, memory, "/tmp/quarn_counter_", parallel);
        for (const Key &window : windows) counter.Add(window.data());
        counter.Finish();
        MergeStream<SuffixOrder, SumCounts> merged(counter.Result(), 1 << 20, SuffixOrder(order), SumCounts(order));
        auto want = expected.begin();
        for (; merged && want != expected.end(); ++merged, ++want) {
          ASSERT_EQ(want->first, Key(Words(merged.Get()), Words(merged.Get()) + order)) << budget.what;
          ASSERT_EQ(want->second, Payload<uint64_t>(merged.Get(), order)) << budget.what;
        }
        EXPECT_FALSE(merged) << budget.what << ", order " << order;
        EXPECT_EQ(expected.end(), want) << budget.what << ", order " << order;
      }
    }
  }
}

}  // namespace
}  // namespace estimate
}  // namespace lm
