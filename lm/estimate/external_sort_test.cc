#include "lm/estimate/external_sort.hh"

#include "lm/estimate/counter.hh"
#include "lm/estimate/key_order_for_test.hh"
#include "lm/estimate/ngram_record.hh"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace lm {
namespace estimate {
namespace {

// Many keys, each several times, through a buffer far too small: many runs,
// intermediate merges, and equal keys combined within and across runs.
TEST(ExternalSort, ManyRunsCombined) {
  for (unsigned order : {1u, 3u, 12u}) {
    const std::size_t size = RecordSizeWith<uint64_t>(order);
    std::map<Key, uint64_t, ReversedLess> expected;
    std::mt19937 random(order);
    std::uniform_int_distribution<WordId> word(0, order == 1 ? 2000 : 6);
    Sorter<SuffixOrder, SumCounts> sorter(size, 50 * size, "/tmp/quarn_sort_", SuffixOrder(order), SumCounts(order));
    for (unsigned i = 0; i < 20000; ++i) {
      Key key(order);
      for (WordId &w : key) w = word(random);
      const uint64_t count = 1 + i % 3;
      expected[key] += count;
      void *record = sorter.Add();
      std::copy(key.begin(), key.end(), Words(record));
      Payload<uint64_t>(record, order) = count;
    }
    sorter.Finish();
    // A fan-in of two at most: merging takes several passes.
    MergeStream<SuffixOrder, SumCounts> merged = sorter.Merge(2 * 4096);
    auto want = expected.begin();
    for (; merged; ++merged, ++want) {
      ASSERT_NE(expected.end(), want);
      EXPECT_EQ(want->first, Key(Words(merged.Get()), Words(merged.Get()) + order));
      EXPECT_EQ(want->second, Payload<uint64_t>(merged.Get(), order));
    }
    EXPECT_EQ(expected.end(), want) << "order " << order;
  }
}

TEST(ExternalSort, NothingAdded) {
  Sorter<PrefixOrder, NoCombine> sorter(8, 1024, "/tmp/quarn_sort_", PrefixOrder(2));
  sorter.Finish();
  EXPECT_FALSE(sorter.Merge(4096));
}

}  // namespace
}  // namespace estimate
}  // namespace lm
