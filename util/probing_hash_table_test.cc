#include "util/probing_hash_table.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace util {
namespace {

// Shaped like the model's 12-byte buckets: a 64-bit key, then a float, packed
// to 4-byte alignment.
#pragma pack(push, 4)
struct Entry {
  typedef uint64_t Key;
  uint64_t key;
  float value;
  Key GetKey() const { return key; }
  void SetKey(Key to) { key = to; }
};
#pragma pack(pop)
static_assert(sizeof(Entry) == 12);

typedef ProbingHashTable<Entry, IdentityHash> Table;

Entry Make(uint64_t key, float value) { return Entry{key, value}; }

// Zero-filled buckets and a table over them.
struct Fixture {
  explicit Fixture(std::size_t buckets) : memory(buckets), table(memory.data(), buckets * sizeof(Entry)) {}
  std::vector<Entry> memory;
  Table table;
};

TEST(ProbingHashTableTest, SizeTakesSinglePrecisionProductWithOneSpareBucket) {
  struct Case {
    uint64_t entries;
    float multiplier;
    uint64_t buckets;
  };
  const Case cases[] = {
      {0, 1.5f, 1},
      {10, 1.5f, 15},
      {10, 1.0f, 11},
      {10, 0.5f, 11},
      {7, 1.5f, 10},  // 10.5 truncates
      // 2^24 + 1 becomes 2^24 as a float: 25165824 rather than the 25165825
      // of a double-precision product.
      {16777217, 1.5f, 25165824},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.entries) + " x " + std::to_string(c.multiplier));
    EXPECT_EQ(c.buckets * sizeof(Entry), Table::Size(c.entries, c.multiplier));
  }
}

TEST(ProbingHashTableTest, BucketCountIsBytesOverEntrySize) {
  std::vector<Entry> memory(6);
  Table table(memory.data(), 5 * sizeof(Entry) + sizeof(Entry) - 1);
  EXPECT_EQ(5u, table.Buckets());
  EXPECT_EQ(memory.data() + 5, table.end());
  EXPECT_EQ(0u, table.Entries());
}

// Every probe starts at a bucket, so a region without one is refused.
TEST(ProbingHashTableTest, RegionWithoutABucketIsRefused) {
  Entry entry;
  EXPECT_THROW(Table(&entry, sizeof(Entry) - 1), ProbingSizeException);
  EXPECT_THROW(Table(&entry, 0), ProbingSizeException);
  EXPECT_EQ(1u, Table(&entry, sizeof(Entry)).Buckets());
}

TEST(ProbingHashTableTest, LastFreeBucketIsNeverFilled) {
  const std::size_t kBuckets = 7;
  for (bool use_find_or_insert : {false, true}) {
    SCOPED_TRACE(use_find_or_insert ? "FindOrInsert" : "Insert");
    Fixture f(kBuckets);
    Table::MutableIterator out;
    for (uint64_t key = 1; key < kBuckets; ++key) {
      if (use_find_or_insert) {
        EXPECT_FALSE(f.table.FindOrInsert(Make(key, 0.0f), out));
      } else {
        f.table.Insert(Make(key, 0.0f));
      }
    }
    const std::vector<Entry> before = f.memory;
    try {
      if (use_find_or_insert) {
        f.table.FindOrInsert(Make(kBuckets, 0.0f), out);
      } else {
        f.table.Insert(Make(kBuckets, 0.0f));
      }
      FAIL() << "no exception for the last free bucket";
    } catch (const ProbingSizeException &e) {
      const std::string what = e.what();
      EXPECT_EQ(0u, what.find("util/probing_hash_table:")) << what;
      EXPECT_NE(std::string::npos, what.find(" threw ProbingSizeException because `++entries_ >= buckets_'.\n"
                                             "Hash table with 7 buckets is full."))
          << what;
      EXPECT_EQ(what.size(), what.find("full.") + 5) << what;
    }
    EXPECT_EQ(0, std::memcmp(before.data(), f.memory.data(), kBuckets * sizeof(Entry)));
    // A present key is still found in the full table.
    EXPECT_TRUE(f.table.FindOrInsert(Make(3, 9.0f), out));
    EXPECT_EQ(3u, out->GetKey());
  }
}

TEST(ProbingHashTableTest, ProbeWrapsFromLastBucketToFirst) {
  Fixture f(5);
  f.table.Insert(Make(4, 1.0f));
  Table::MutableIterator second = f.table.Insert(Make(9, 2.0f));
  EXPECT_EQ(f.memory.data(), second);
  Table::MutableIterator third;
  EXPECT_FALSE(f.table.FindOrInsert(Make(14, 3.0f), third));
  EXPECT_EQ(f.memory.data() + 1, third);

  const Table &table = f.table;
  Table::ConstIterator found;
  ASSERT_TRUE(table.Find(9, found));
  EXPECT_EQ(2.0f, found->value);
  ASSERT_TRUE(table.Find(14, found));
  EXPECT_EQ(3.0f, found->value);
  EXPECT_FALSE(table.Find(19, found));
}

TEST(ProbingHashTableTest, FindOfAbsentKeyStopsAtTheOneFreeBucket) {
  const std::size_t kBuckets = 6;
  Fixture f(kBuckets);
  // All six keys start at bucket 0, so the probe runs over the whole table.
  for (uint64_t i = 1; i < kBuckets; ++i) f.table.Insert(Make(i * kBuckets, static_cast<float>(i)));
  const Table &table = f.table;
  Table::ConstIterator found;
  for (uint64_t start = 0; start < kBuckets; ++start) {
    SCOPED_TRACE(start);
    EXPECT_FALSE(table.Find(1000 * kBuckets + start, found));
  }
}

TEST(ProbingHashTableTest, DuplicateInsertIsStoredButFindReturnsTheFirst) {
  Fixture f(7);
  Table::MutableIterator first = f.table.Insert(Make(3, 1.0f));
  Table::MutableIterator second = f.table.Insert(Make(3, 2.0f));
  EXPECT_NE(first, second);
  EXPECT_EQ(2u, f.table.Entries());
  Table::MutableIterator found;
  ASSERT_TRUE(f.table.Find(3, found));
  EXPECT_EQ(first, found);
  EXPECT_EQ(1.0f, found->value);
}

TEST(ProbingHashTableTest, FindOrInsertOfPresentKeyWritesNothing) {
  Fixture f(7);
  f.table.Insert(Make(10, 1.0f));
  f.table.Insert(Make(3, 2.0f));  // starts at 3, taken by 10: lands in 4
  const std::vector<Entry> before = f.memory;
  for (uint64_t key : {10, 3}) {
    Table::MutableIterator out;
    EXPECT_TRUE(f.table.FindOrInsert(Make(key, 5.0f), out));
    EXPECT_EQ(key, out->GetKey());
    EXPECT_NE(5.0f, out->value);
  }
  EXPECT_EQ(2u, f.table.Entries());
  EXPECT_EQ(0, std::memcmp(before.data(), f.memory.data(), before.size() * sizeof(Entry)));
}

TEST(ProbingHashTableTest, MutableFindWritesThroughToTheBucket) {
  Fixture f(7);
  f.table.Insert(Make(8, 1.0f));
  Table::MutableIterator found;
  ASSERT_TRUE(f.table.Find(8, found));
  found->value = 4.0f;
  Table::ConstIterator again;
  ASSERT_TRUE(static_cast<const Table &>(f.table).Find(8, again));
  EXPECT_EQ(4.0f, again->value);
}

TEST(ProbingHashTableTest, SavedBucketsServeAsATableAgain) {
  Fixture built(11);
  for (uint64_t key : {5, 16, 27, 8}) built.table.Insert(Make(key, static_cast<float>(key)));
  std::vector<Entry> copy = built.memory;
  const Table reread(copy.data(), copy.size() * sizeof(Entry));
  Table::ConstIterator found;
  for (uint64_t key : {5, 16, 27, 8}) {
    ASSERT_TRUE(reread.Find(key, found)) << key;
    EXPECT_EQ(static_cast<float>(key), found->value);
  }
  EXPECT_FALSE(reread.Find(38, found));
}

TEST(ProbingHashTableTest, OtherEmptyKey) {
  std::vector<Entry> memory(5);
  std::memset(memory.data(), 0xff, memory.size() * sizeof(Entry));
  Table table(memory.data(), memory.size() * sizeof(Entry), UINT64_MAX);
  Table::MutableIterator out;
  EXPECT_FALSE(table.FindOrInsert(Make(0, 1.0f), out));
  EXPECT_TRUE(table.FindOrInsert(Make(0, 2.0f), out));
  EXPECT_EQ(1.0f, out->value);
  EXPECT_FALSE(table.Find(5, out));
}

// Checks every operation against std::unordered_map on random keys, with
// small keys for long collision runs and full 64-bit keys as the models use.
TEST(ProbingHashTableTest, AgreesWithUnorderedMap) {
  std::mt19937_64 random(1234);
  for (uint64_t key_range : {uint64_t{300}, UINT64_MAX}) {
    SCOPED_TRACE(key_range);
    const uint64_t kExpected = 200;
    std::vector<Entry> memory(Table::Size(kExpected, 1.2f) / sizeof(Entry));
    Table table(memory.data(), memory.size() * sizeof(Entry));
    std::unordered_map<uint64_t, float> truth;
    std::uniform_int_distribution<uint64_t> keys(1, key_range);
    while (truth.size() < kExpected) {
      const uint64_t key = keys(random);
      const float value = static_cast<float>(truth.size());
      Table::MutableIterator out;
      const bool present = truth.count(key);
      ASSERT_EQ(present, table.FindOrInsert(Make(key, value), out)) << key;
      if (!present) truth[key] = value;
      ASSERT_EQ(key, out->GetKey());
      ASSERT_EQ(truth[key], out->value);
    }
    EXPECT_EQ(kExpected, table.Entries());
    const Table &view = table;
    Table::ConstIterator found = nullptr;
    for (const auto &[key, value] : truth) {
      ASSERT_TRUE(view.Find(key, found)) << key;
      EXPECT_EQ(value, found->value);
    }
    for (int i = 0; i < 2000; ++i) {
      const uint64_t key = keys(random);
      auto expected = truth.find(key);
      ASSERT_EQ(expected != truth.end(), view.Find(key, found)) << key;
      if (expected != truth.end()) {
        EXPECT_EQ(expected->second, found->value);
      }
    }
    std::size_t occupied = 0;
    for (const Entry &bucket : view) occupied += bucket.key != 0;
    EXPECT_EQ(kExpected, occupied);
  }
}

// DivMod finds the start bucket by multiplying instead of dividing; it must
// give hash % buckets for every bucket count (1, powers of two, counts near
// 2^32 and 2^64) and every hash, the extremes included.
TEST(ProbingHashTableTest, DivModIsTheRemainder) {
  std::vector<uint64_t> counts = {1,  2,  3,  7,  16,  17, 1000, 1001, 19267, (uint64_t(1) << 32) - 1,
                                  uint64_t(1) << 32, (uint64_t(1) << 32) + 1, uint64_t(1) << 63,
                                  (uint64_t(1) << 63) + 1, ~uint64_t(0) - 1, ~uint64_t(0)};
  std::mt19937_64 random(11);
  for (int i = 0; i < 200; ++i) counts.push_back((random() >> (random() % 64)) | 1);
  for (uint64_t count : counts) {
    SCOPED_TRACE(count);
    const DivMod mod(count);
    std::vector<uint64_t> hashes = {0, 1, count - 1, count, count + 1, 2 * count - 1, ~uint64_t(0),
                                    ~uint64_t(0) - 1, ~uint64_t(0) / count * count, ~uint64_t(0) / count * count - 1};
    for (int i = 0; i < 500; ++i) hashes.push_back(random() >> (random() % 64));
    for (uint64_t hash : hashes) ASSERT_EQ(hash % count, mod(hash)) << hash;
  }
}

}  // namespace
}  // namespace util
