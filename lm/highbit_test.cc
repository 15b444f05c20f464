#include "lm/highbit.hh"

#include "lm/binary_file_for_test.hh"
#include "lm/binary_format.hh"
#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/model_type.hh"
#include "lm/trie.hh"
#include "util/bit_packing.hh"
#include "util/exception.hh"
#include "util/file.hh"
#include "util/temp_file_for_test.hh"
#include "util/text_match_for_test.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace lm {
namespace ngram {
namespace trie {
namespace {

Config PointerConfig(uint8_t array_pointer_bits) {
  Config config;
  config.array_pointer_bits = array_pointer_bits;
  return config;
}

TEST(ArrayHighbitTest, ChoosesTheCheapestChop) {
  const struct {
    uint64_t slots, next_count;
    uint8_t array_pointer_bits;
    uint8_t inline_bits;
    uint64_t size;
  } kCases[] = {
      {1001, 5000, 22, 8, 175},  // chop 5, 20 table entries
      {1001, 5000, 3, 10, 55},   // chop 3 at most, 5 entries
      {1001, 5000, 0, 13, 23},   // no chop allowed
      {11, 7, 22, 3, 23},        // every chop costs more than it saves
      {200, 7, 2, 1, 47},        // chop 2, 4 entries
      {128, 8, 22, 2, 39},       // chops 2 and 3 cost the same: the smaller wins
      {5, 0, 22, 0, 23},         // nothing to point at
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << c.slots << " slots, next count " << c.next_count << ", "
                                    << unsigned{c.array_pointer_bits} << " array pointer bits");
    const Config config = PointerConfig(c.array_pointer_bits);
    EXPECT_EQ(c.inline_bits, ArrayHighbit::InlineBits(c.slots, c.next_count, config));
    EXPECT_EQ(c.size, ArrayHighbit::Size(c.slots, c.next_count, config));
    std::vector<uint64_t> region(c.size / 8 + 1);
    EXPECT_EQ(c.inline_bits, ArrayHighbit(region.data(), c.slots, c.next_count, config).InlineBits());
  }
}

// A bigram array of 199 records over a region that starts 3 bytes after a
// multiple of 8.  Record 0 has 3 children, records 1 to 197 none and record
// 198 the last 4: child pointers 0, 3, ..., 3 and the final 7.
class MisalignedMiddle : public testing::Test {
 protected:
  static constexpr uint64_t kEntries = 199;
  static constexpr uint64_t kUnigrams = 200;
  static constexpr uint64_t kNext = 7;
  static constexpr std::size_t kMisalign = 3;

  MisalignedMiddle()
      : config_(PointerConfig(2)),
        size_(BitPackedMiddle<ArrayHighbit>::Size(0, kEntries, kUnigrams, kNext, config_)),
        memory_(size_ / 8 + 2),
        longest_memory_(BitPacked::BaseSize(kNext, kUnigrams, 0)),
        middle_(Start(), 0, kEntries, kUnigrams, kNext, longest_, config_) {
    longest_.BaseInit(longest_memory_.data(), kNext, kUnigrams, 0);
    for (WordIndex word = 0; word < kEntries; ++word) {
      middle_.Insert(word);
      const int children = word == 0 ? 3 : word == kEntries - 1 ? 4 : 0;
      for (int i = 0; i < children; ++i) longest_.Insert(static_cast<WordIndex>(i));
    }
    middle_.FinishedLoading(longest_.InsertIndex(), config_);
  }

  uint8_t *Aligned() { return reinterpret_cast<uint8_t *>(memory_.data()); }
  uint8_t *Start() { return Aligned() + kMisalign; }

  NodeRange ChildrenOf(WordIndex word) const {
    NodeRange range{0, kEntries};
    uint64_t pointer;
    EXPECT_NE(nullptr, middle_.Find(word, range, pointer).base) << word;
    EXPECT_EQ(word, pointer);
    return range;
  }

  const Config config_;
  const uint64_t size_;
  std::vector<uint64_t> memory_;
  std::vector<uint8_t> longest_memory_;
  BitPackedLongest longest_;
  BitPackedMiddle<ArrayHighbit> middle_;
};

TEST_F(MisalignedMiddle, ReadsBackTheChildRanges) {
  const struct {
    WordIndex word;
    uint64_t begin, end;
  } kCases[] = {{0, 0, 3}, {1, 3, 3}, {100, 3, 3}, {197, 3, 3}, {198, 3, 7}};
  for (const auto &c : kCases) {
    const NodeRange range = ChildrenOf(c.word);
    EXPECT_EQ(c.begin, range.begin) << c.word;
    EXPECT_EQ(c.end, range.end) << c.word;
  }
}

TEST_F(MisalignedMiddle, RegionLayout) {
  ASSERT_EQ(47u, size_ - BitPacked::BaseSize(kEntries, kUnigrams, 1));
  // Header bytes in the alignment gap: version 0 and the array_pointer_bits.
  EXPECT_EQ(0, Start()[0]);
  EXPECT_EQ(2, Start()[1]);
  // The table begins 8 bytes after the next multiple of 8.
  uint64_t table[4];
  std::memcpy(table, Aligned() + 16, sizeof(table));
  EXPECT_EQ(0u, table[0]);
  EXPECT_EQ(1u, table[1]);
  EXPECT_EQ(199u, table[2]);
  EXPECT_EQ(199u, table[3]);
  // Everything else in the region is zero.
  for (std::size_t at = 2; at < 47; ++at) {
    if (Start() + at >= Aligned() + 16 && Start() + at < Aligned() + 48) continue;
    EXPECT_EQ(0, Start()[at]) << "region byte " << at;
  }
  // The records follow at the region's start plus its size: 8 word bits and
  // 1 pointer bit each.
  const uint8_t *records = Start() + 47;
  for (uint64_t record : {0, 1, 57, 198}) EXPECT_EQ(record, util::ReadBits64(records, record * 9, 0xFF));
}

// The policy alone over a region `misalign` bytes after a multiple of 8,
// followed by slots whose pointer fields lie between a set bit on either
// side and clear bits beyond, so that a pointer leaking out of its field, or
// a read taking in a neighbour, shows.
class PointerSlots {
 public:
  static constexpr uint8_t kLead = 5, kTrail = 2;
  static constexpr uint64_t kLeadBits = 1 << (kLead - 1), kTrailBits = 1;

  PointerSlots(uint64_t slots, uint64_t next_count, const Config &config, std::size_t misalign)
      : slots_(slots),
        region_size_(ArrayHighbit::Size(slots, next_count, config)),
        memory_((misalign + region_size_ + slots * 64 / 8) / 8 + 2),
        start_(reinterpret_cast<uint8_t *>(memory_.data()) + misalign),
        policy_(start_, slots, next_count, config),
        entry_width_(static_cast<uint8_t>(kLead + policy_.InlineBits() + kTrail)) {
    for (uint64_t i = 0; i < slots; ++i) {
      util::WriteBits64(Records(), i * entry_width_, kLeadBits);
      util::WriteBits64(Records(), PointerBit(i) + policy_.InlineBits(), kTrailBits);
    }
  }

  ArrayHighbit &policy() { return policy_; }

  void WriteAll(const std::vector<uint64_t> &pointers, const Config &config) {
    for (uint64_t i = 0; i < slots_; ++i) policy_.WriteChildPointer(Records(), PointerBit(i), i, pointers[i]);
    policy_.FinishedLoading(config);
  }

  NodeRange Range(uint64_t index) const {
    NodeRange range;
    policy_.ReadChildRange(Records(), PointerBit(index), index, entry_width_, range);
    return range;
  }

  // Whether every slot's neighbouring bits are still exactly as set.
  bool NeighboursIntact() const {
    for (uint64_t i = 0; i < slots_; ++i) {
      if (util::ReadBits64(Records(), i * entry_width_, (1 << kLead) - 1) != kLeadBits) return false;
      if (util::ReadBits64(Records(), PointerBit(i) + policy_.InlineBits(), (1 << kTrail) - 1) != kTrailBits)
        return false;
    }
    return true;
  }

  const uint8_t *Start() const { return start_; }

 private:
  uint8_t *Records() const { return start_ + region_size_; }
  uint64_t PointerBit(uint64_t index) const { return index * entry_width_ + kLead; }

  const uint64_t slots_;
  const uint64_t region_size_;
  std::vector<uint64_t> memory_;
  uint8_t *const start_;
  ArrayHighbit policy_;
  const uint8_t entry_width_;
};

// Non-decreasing pointers from a small start up to `next_count` in the last
// slot: mostly runs of equal values and small steps, sometimes a jump far
// enough to pass several high values at once.
std::vector<uint64_t> RandomPointers(uint64_t slots, uint64_t next_count, std::mt19937 &random) {
  std::vector<uint64_t> pointers(slots);
  uint64_t pointer = random() % 3;
  for (uint64_t i = 0; i + 1 < slots; ++i) {
    const unsigned roll = random() % 100;
    if (roll >= 95) {
      pointer += 10 + random() % 40;
    } else if (roll >= 60) {
      pointer += 1 + random() % 3;
    }
    pointers[i] = pointer = std::min(pointer, next_count);
  }
  pointers.back() = next_count;
  return pointers;
}

TEST(ArrayHighbitTest, RandomPointersReadBackExactlyAtEveryChop) {
  const struct {
    uint64_t slots, next_count;
  } kShapes[] = {{5000, 100}, {3000, 2000}};
  std::mt19937 random(42);
  std::set<unsigned> chops;
  for (const auto &shape : kShapes) {
    const uint8_t required = util::RequiredBits(shape.next_count);
    for (uint8_t bits = 0; bits <= required; ++bits) {
      SCOPED_TRACE(testing::Message() << shape.slots << " slots, next count " << shape.next_count << ", "
                                      << unsigned{bits} << " array pointer bits");
      const Config config = PointerConfig(bits);
      const std::vector<uint64_t> pointers = RandomPointers(shape.slots, shape.next_count, random);
      PointerSlots slots(shape.slots, shape.next_count, config, bits % 8);
      chops.insert(required - slots.policy().InlineBits());
      slots.WriteAll(pointers, config);
      EXPECT_TRUE(slots.NeighboursIntact());
      for (uint64_t i = 0; i + 1 < shape.slots; ++i) {
        const NodeRange range = slots.Range(i);
        ASSERT_EQ(pointers[i], range.begin) << "slot " << i;
        ASSERT_EQ(pointers[i + 1], range.end) << "slot " << i;
      }
    }
  }
  // The shapes drive the chop from none to every bit of the pointer.
  EXPECT_EQ((std::set<unsigned>{0, 1, 2, 3, 4, 5, 6, 7}), chops);
}

TEST(ArrayHighbitTest, IncompleteTableIsRefused) {
  const Config config = PointerConfig(2);
  PointerSlots slots(200, 7, config, 0);
  try {
    // The last pointer stops short of the next count, 7.
    slots.WriteAll(std::vector<uint64_t>(200, 3), config);
    ADD_FAILURE() << "nothing thrown";
  } catch (const util::Exception &e) {
    const std::string text = e.what();
    EXPECT_TRUE(text.starts_with("lm/highbit:")) << text;
    EXPECT_TRUE(util::EndsWith(text, " threw util::Exception.\nDid not get all the array entries that were expected."))
        << text;
  }
}

// The first middle region starts 40 bytes into the search region.
constexpr uint64_t kMiddleOffset = 40;

std::vector<uint8_t> SearchWithHeader(uint8_t version, uint8_t array_pointer_bits) {
  std::vector<uint8_t> search(kMiddleOffset + 16, 0xAA);
  search[kMiddleOffset] = version;
  search[kMiddleOffset + 1] = array_pointer_bits;
  return search;
}

TEST(ArrayHighbitTest, BinaryFileRestoresArrayPointerBits) {
  BinaryFileForTest file(ARRAY_TRIE, SearchWithHeader(0, 17));
  Config config;
  ArrayHighbit::UpdateConfigFromBinary(file.format(), BinaryFileForTest::kVocabBytes + kMiddleOffset, config);
  EXPECT_EQ(17, config.array_pointer_bits);
}

TEST(ArrayHighbitTest, BinaryFileOfAnotherVersionIsRefused) {
  BinaryFileForTest file(ARRAY_TRIE, SearchWithHeader(1, 17));
  Config config;
  try {
    ArrayHighbit::UpdateConfigFromBinary(file.format(), BinaryFileForTest::kVocabBytes + kMiddleOffset, config);
    ADD_FAILURE() << "nothing thrown";
  } catch (const FormatLoadException &e) {
    const std::string text = e.what();
    EXPECT_TRUE(text.starts_with("lm/highbit:")) << text;
    EXPECT_TRUE(util::EndsWith(text, " threw FormatLoadException.\nThis file has sorted array compression version 1 "
                                     "but the code expects version 0"))
        << text;
  }
  EXPECT_EQ(22, config.array_pointer_bits);
}

}  // namespace
}  // namespace trie
}  // namespace ngram
}  // namespace lm
