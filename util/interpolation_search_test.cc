#include "util/interpolation_search.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace util {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kBeforeFirst = kMax;  // Position 0 - 1.

// Reads keys from an array, failing the test on a read outside [begin, end)
// and counting the reads.
class CheckedKeys {
 public:
  CheckedKeys(const std::vector<uint64_t> &keys, uint64_t begin, uint64_t end)
      : keys_(keys), begin_(begin), end_(end) {}

  uint64_t operator()(uint64_t position) const {
    ++reads_;
    EXPECT_LE(begin_, position);
    EXPECT_LT(position, end_);
    return position < keys_.size() ? keys_[position] : 0;
  }

  unsigned Reads() const { return reads_; }

 private:
  const std::vector<uint64_t> &keys_;
  uint64_t begin_, end_;
  mutable unsigned reads_ = 0;
};

// Searches the whole array with the bounds the sorted vocabulary uses.
template <class Pivot> bool FindAll(const std::vector<uint64_t> &keys, uint64_t key, uint64_t &at,
                                    uint64_t after_value = kMax) {
  CheckedKeys accessor(keys, 0, keys.size());
  return InterpolationFind<Pivot>(accessor, kBeforeFirst, 0, static_cast<uint64_t>(keys.size()), after_value, key, at);
}

TEST(InterpolationSearchTest, EmptyRangeReadsNothing) {
  std::vector<uint64_t> keys = {1, 2, 3};
  CheckedKeys accessor(keys, 0, 0);
  uint64_t at = 42;
  EXPECT_FALSE(InterpolationFind<FloatPivot>(accessor, uint64_t(1), 0, uint64_t(2), kMax, 2, at));
  EXPECT_FALSE(InterpolationFind<IntegerPivot>(accessor, kBeforeFirst, 0, uint64_t(0), 10, 2, at));
  EXPECT_EQ(0u, accessor.Reads());
  EXPECT_EQ(42u, at);
}

TEST(InterpolationSearchTest, OneElement) {
  std::vector<uint64_t> keys = {7};
  uint64_t at = 42;
  EXPECT_TRUE(FindAll<FloatPivot>(keys, 7, at));
  EXPECT_EQ(0u, at);
  EXPECT_FALSE(FindAll<FloatPivot>(keys, 6, at));
  EXPECT_FALSE(FindAll<FloatPivot>(keys, 8, at));
  at = 42;
  EXPECT_TRUE(FindAll<IntegerPivot>(keys, 7, at, 9));
  EXPECT_EQ(0u, at);
  EXPECT_FALSE(FindAll<IntegerPivot>(keys, 0, at, 9));
  EXPECT_FALSE(FindAll<IntegerPivot>(keys, 9, at, 9));
}

TEST(InterpolationSearchTest, ThreeHashes) {
  std::vector<uint64_t> keys = {10, 20, 30};
  uint64_t at = 42;
  EXPECT_TRUE(FindAll<FloatPivot>(keys, 20, at));
  EXPECT_EQ(1u, at);
  EXPECT_TRUE(FindAll<FloatPivot>(keys, 10, at));
  EXPECT_EQ(0u, at);
  EXPECT_TRUE(FindAll<FloatPivot>(keys, 30, at));
  EXPECT_EQ(2u, at);
  at = 42;
  for (uint64_t missing : std::vector<uint64_t>{0, 5, 25, 31, kMax}) {
    EXPECT_FALSE(FindAll<FloatPivot>(keys, missing, at)) << missing;
  }
  EXPECT_EQ(42u, at);
}

TEST(InterpolationSearchTest, IntegerPivotFirstProbe) {
  std::vector<uint64_t> keys(1000);
  for (uint64_t i = 0; i < keys.size(); ++i) keys[i] = i;
  CheckedKeys accessor(keys, 0, keys.size());
  uint64_t at = 0;
  EXPECT_TRUE(InterpolationFind<IntegerPivot>(accessor, kBeforeFirst, 0, uint64_t(1000), 999, 500, at));
  EXPECT_EQ(500u, at);
  EXPECT_EQ(1u, accessor.Reads());
  EXPECT_EQ(500u, IntegerPivot::Offset(500, 999, 1001));
  // The divisor's + 1 keeps the largest key inside the range.
  EXPECT_EQ(999u, IntegerPivot::Offset(999, 999, 1001));
}

TEST(InterpolationSearchTest, FloatPivotClamps) {
  for (uint64_t width : std::vector<uint64_t>{2, 3, 10, 1000, (1ULL << 25) - 1, 1ULL << 40}) {
    EXPECT_EQ(width - 2, FloatPivot::Offset(kMax, kMax, width)) << width;
    // Both differences round to 2^64 in single precision.
    EXPECT_EQ(width - 2, FloatPivot::Offset(kMax - 1, kMax, width)) << width;
  }
  std::vector<uint64_t> keys = {5, 1ULL << 62, kMax - 1, kMax};
  uint64_t at = 0;
  EXPECT_TRUE(FindAll<FloatPivot>(keys, kMax, at));
  EXPECT_EQ(3u, at);
  EXPECT_TRUE(FindAll<FloatPivot>(keys, kMax - 1, at));
  EXPECT_EQ(2u, at);
}

// A sub-range [begin, end) of a larger array with signed positions, as the
// trie searches the children of one context.
TEST(InterpolationSearchTest, SignedPositionsInSubRange) {
  std::vector<uint64_t> keys = {50, 60, 3, 8, 9, 40, 41, 1, 2};
  const int64_t begin = 2, end = 7;
  auto accessor = [&keys, begin, end](int64_t position) {
    EXPECT_LE(begin, position);
    EXPECT_LT(position, end);
    return keys[static_cast<std::size_t>(position)];
  };
  for (int64_t i = begin; i < end; ++i) {
    int64_t at = -5;
    uint64_t key = keys[static_cast<std::size_t>(i)];
    EXPECT_TRUE(InterpolationFind<IntegerPivot>(accessor, begin - 1, 0, end, 63, key, at));
    EXPECT_EQ(i, at);
  }
  int64_t at = -5;
  for (uint64_t missing : {0, 4, 10, 39, 42, 63}) {
    EXPECT_FALSE(InterpolationFind<IntegerPivot>(accessor, begin - 1, 0, end, 63, missing, at)) << missing;
  }
}

// Compares against std::binary_search on random sorted arrays, uniform and
// skewed (clustered near 0), sparse and dense (many duplicate keys).
template <class Pivot> void CompareWithBinarySearch(uint64_t key_bound) {
  std::mt19937_64 random(12345);
  for (unsigned round = 0; round < 300; ++round) {
    std::size_t size = random() % 200;
    std::vector<uint64_t> keys(size);
    bool skewed = round % 3 == 0;
    bool dense = round % 5 == 0;
    uint64_t bound = dense ? std::min<uint64_t>(key_bound, size + 3) : key_bound;
    for (uint64_t &key : keys) {
      key = random() % bound + (bound == kMax ? random() % 2 : 0);
      if (skewed) key >>= random() % 40;
    }
    std::sort(keys.begin(), keys.end());
    std::vector<uint64_t> probes(keys);
    for (unsigned i = 0; i < 50; ++i) probes.push_back(random() % bound);
    probes.push_back(0);
    probes.push_back(key_bound);
    for (uint64_t key : probes) {
      uint64_t at = kMax;
      bool found = FindAll<Pivot>(keys, key, at, key_bound);
      ASSERT_EQ(std::binary_search(keys.begin(), keys.end(), key), found) << "round " << round << " key " << key;
      if (found) {
        ASSERT_EQ(key, keys[at]);
      } else {
        ASSERT_EQ(kMax, at);
      }
    }
  }
}

// The seek, stepped by hand, reads exactly the position Probe named before
// each step, and holds no result until the search ends.
TEST(InterpolationSearchTest, SeekNamesEachProbeBeforeReadingIt) {
  std::vector<uint64_t> keys;
  for (uint64_t i = 0; i < 500; ++i) keys.push_back(i * i);
  for (uint64_t key : std::vector<uint64_t>{0, 1, 2, 4900, 4901, 249001, 250000}) {
    InterpolationSeek<IntegerPivot, uint64_t> seek(kBeforeFirst, 0, keys.size(), 250000, key);
    uint64_t read = kMax, at = kMax;
    auto accessor = [&keys, &read](uint64_t position) {
      read = position;
      return keys[position];
    };
    unsigned steps = 0;
    while (seek.Open()) {
      EXPECT_FALSE(seek.Found(at));
      const uint64_t named = seek.Probe();
      seek.Step(accessor, key);
      EXPECT_EQ(named, read) << key;
      ++steps;
    }
    uint64_t expected = kMax;
    CheckedKeys counted(keys, 0, keys.size());
    const bool found = InterpolationFind<IntegerPivot>(counted, kBeforeFirst, 0, uint64_t(keys.size()), 250000, key, expected);
    EXPECT_EQ(found, seek.Found(at)) << key;
    EXPECT_EQ(expected, at) << key;
    EXPECT_EQ(counted.Reads(), steps) << key;
  }
}

TEST(InterpolationSearchTest, FloatPivotMatchesBinarySearch) { CompareWithBinarySearch<FloatPivot>(kMax); }

TEST(InterpolationSearchTest, IntegerPivotMatchesBinarySearch) {
  CompareWithBinarySearch<IntegerPivot>(std::numeric_limits<uint32_t>::max());
  CompareWithBinarySearch<IntegerPivot>(1000);
}

}  // namespace
}  // namespace util
