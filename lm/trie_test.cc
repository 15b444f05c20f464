#include "lm/trie.hh"

#include "lm/config.hh"
#include "lm/highbit.hh"
#include "lm/quantize.hh"
#include "util/exception.hh"
#include "util/text_match_for_test.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace lm {
namespace ngram {
namespace trie {
namespace {

typedef BitPackedMiddle<DontHighbit> Middle;

constexpr uint64_t kLimit = uint64_t{1} << 57;

uint32_t Bits(float value) { return std::bit_cast<uint32_t>(value); }

TEST(BitPackedTest, BaseSize) {
  struct Case {
    uint64_t entries, unigram_count;
    uint8_t payload_bits;
    uint64_t bytes;
  };
  const Case cases[] = {
      {0, 3, 0, 9},              // (1 * 2 + 7) / 8 + 8
      {10, 1000, 31, 65},        // (11 * 41 + 7) / 8 + 8
      {0, 0, 0, 8},              // only the spare bytes
      {7, 1, 0, 9},              // 8 one-bit slots fill one byte
      {8, 1, 0, 10},             // a ninth starts another
      {3, uint64_t{1} << 32, 94, 8 + (4 * 127 + 7) / 8},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.bytes, BitPacked::BaseSize(c.entries, c.unigram_count, c.payload_bits))
        << c.entries << " " << c.unigram_count << " " << unsigned{c.payload_bits};
  }
}

// Checks the fixed parts of a limit error: where it was thrown and its text.
template <class Throwing> void ExpectLimitError(Throwing throwing, const std::string &message) {
  try {
    throwing();
    ADD_FAILURE() << "nothing thrown";
  } catch (const util::Exception &e) {
    const std::string text = e.what();
    EXPECT_TRUE(text.starts_with("lm/trie:")) << text;
    EXPECT_TRUE(util::EndsWith(text, " threw util::Exception.\n" + message)) << text;
  }
}

TEST(BitPackedTest, WordFieldLimit) {
  BitPackedLongest array;
  EXPECT_NO_THROW(array.BaseInit(nullptr, 0, kLimit - 1, 31));
  ExpectLimitError([&] { array.BaseInit(nullptr, 0, kLimit, 31); },
                   "Sorry, word indices more than 144115188075855872 are not implemented.  Edit util/bit_packing and "
                   "fix the bit packing functions.");
}

TEST(BitPackedTest, MiddleCountLimits) {
  const Config config;
  BitPackedLongest next;
  uint8_t memory[16] = {};
  // The constructor only places the array; nothing is written.
  EXPECT_NO_THROW(Middle(memory, 63, kLimit - 2, 10, kLimit - 1, next, config));
  const std::string message =
      "Sorry, this does not support more than 144115188075855872 n-grams of a particular order.  Edit "
      "util/bit_packing and fix the bit packing functions.";
  ExpectLimitError([&] { Middle(memory, 63, kLimit - 1, 10, 5, next, config); }, message);
  ExpectLimitError([&] { Middle(memory, 63, 5, 10, kLimit, next, config); }, message);
}

// Records of one middle order and the highest order, built the way the trie
// builder does: depth first, weights written right after each insertion.
// Record i of the middle order has weights (MiddleProb(i), MiddleBackoff(i))
// and record j of the highest order probability LongestProb(j).
class TwoOrders {
 public:
  // `children[i]` are the words extending middle record i, ascending.
  TwoOrders(uint64_t unigram_count, const std::vector<WordIndex> &middle_words,
            const std::vector<std::vector<WordIndex>> &children)
      : unigram_count_(unigram_count),
        longest_count_(CountChildren(children)),
        memory_(MiddleSize(middle_words.size()) + BitPacked::BaseSize(longest_count_, unigram_count, 31)),
        middle_(memory_.data(), 63, middle_words.size(), unigram_count, longest_count_, longest_, config_) {
    longest_.BaseInit(memory_.data() + MiddleSize(middle_words.size()), longest_count_, unigram_count, 31);
    for (std::size_t i = 0; i < middle_words.size(); ++i) {
      DontQuantize::MiddlePointer(quant_, 0, middle_.Insert(middle_words[i])).Write(MiddleProb(i), MiddleBackoff(i));
      for (WordIndex child : children[i]) {
        const uint64_t j = longest_.InsertIndex();
        DontQuantize::LongestPointer(quant_, longest_.Insert(child)).Write(LongestProb(j));
      }
    }
    middle_.FinishedLoading(longest_.InsertIndex(), config_);
  }

  static float MiddleProb(uint64_t i) { return -0.25f * static_cast<float>(i); }
  // Both zeros among ordinary values, to show that their signs survive.
  static float MiddleBackoff(uint64_t i) {
    const float kBackoffs[] = {-0.0f, 0.0f, -1.5f, 0.75f};
    return kBackoffs[i % 4];
  }
  static float LongestProb(uint64_t j) { return -0.5f * static_cast<float>(j) - 0.125f; }

  const Middle &middle() const { return middle_; }
  const BitPackedLongest &longest() const { return longest_; }
  const DontQuantize &quant() const { return quant_; }

  // Finds `word` in `range` of the middle order and checks the record's
  // weights; returns the record index, or -1 when absent.
  int64_t FindMiddle(WordIndex word, NodeRange &range) const {
    uint64_t pointer = kUntouched;
    const NodeRange before = range;
    DontQuantize::MiddlePointer weights(quant_, 0, middle_.Find(word, range, pointer));
    if (!weights.IsFound()) {
      EXPECT_EQ(kUntouched, pointer);
      EXPECT_EQ(before.begin, range.begin);
      EXPECT_EQ(before.end, range.end);
      return -1;
    }
    EXPECT_EQ(Bits(MiddleProb(pointer)), Bits(weights.GetProb())) << pointer;
    EXPECT_EQ(Bits(MiddleBackoff(pointer)), Bits(weights.GetBackoff())) << pointer;
    return static_cast<int64_t>(pointer);
  }

 private:
  static constexpr uint64_t kUntouched = 12345;

  static uint64_t CountChildren(const std::vector<std::vector<WordIndex>> &children) {
    uint64_t count = 0;
    for (const std::vector<WordIndex> &run : children) count += run.size();
    return count;
  }

  uint64_t MiddleSize(uint64_t entries) const {
    return Middle::Size(63, entries, unigram_count_, longest_count_, config_);
  }

  const Config config_;
  const DontQuantize quant_{};
  const uint64_t unigram_count_;
  const uint64_t longest_count_;
  std::vector<uint8_t> memory_;
  BitPackedLongest longest_;
  Middle middle_;
};

// Payload offset of record `index` of the highest order.
uint64_t LongestPayloadBit(uint64_t unigram_count, uint64_t index) {
  return index * (util::RequiredBits(unigram_count) + 31) + util::RequiredBits(unigram_count);
}

TEST(BitPackedMiddleTest, ChildRangesOfParentsWithAndWithoutChildren) {
  const TwoOrders trie(10, {2, 5, 9}, {{1, 3, 4}, {}, {0, 2, 6, 7}});
  const struct {
    WordIndex word;
    uint64_t pointer, begin, end;
  } expected[] = {{2, 0, 0, 3}, {5, 1, 3, 3}, {9, 2, 3, 7}};
  for (const auto &record : expected) {
    NodeRange range{0, 3};
    EXPECT_EQ(static_cast<int64_t>(record.pointer), trie.FindMiddle(record.word, range)) << record.word;
    EXPECT_EQ(record.begin, range.begin) << record.word;
    EXPECT_EQ(record.end, range.end) << record.word;

    NodeRange again{99, 99};
    const PackedAddress entry = trie.middle().ReadEntry(record.pointer, again);
    EXPECT_EQ(record.begin, again.begin);
    EXPECT_EQ(record.end, again.end);
    EXPECT_EQ(Bits(TwoOrders::MiddleBackoff(record.pointer)),
              Bits(DontQuantize::MiddlePointer(trie.quant(), 0, entry).GetBackoff()));
  }
}

TEST(BitPackedMiddleTest, MissesLeaveRangeAndPointerAlone) {
  const TwoOrders trie(10, {2, 5, 9}, {{1, 3, 4}, {}, {0, 2, 6, 7}});
  for (WordIndex absent : {0, 3, 6, 8}) {
    NodeRange range{0, 3};
    EXPECT_EQ(-1, trie.FindMiddle(absent, range)) << absent;
  }
  // Present in the array but outside the range searched.
  NodeRange first_two{0, 2};
  EXPECT_EQ(-1, trie.FindMiddle(9, first_two));
  // An empty range far past the array is not read (the sanitizer would see).
  NodeRange empty{1000000, 1000000};
  EXPECT_EQ(-1, trie.FindMiddle(2, empty));
}

TEST(BitPackedLongestTest, FindInsideChildRanges) {
  const TwoOrders trie(10, {2, 5, 9}, {{1, 3, 4}, {}, {0, 2, 6, 7}});
  const BitPackedLongest &longest = trie.longest();
  const NodeRange third{3, 7};
  // The word at the last record of the range yields that record.
  const PackedAddress last = longest.Find(7, third);
  ASSERT_NE(nullptr, last.base);
  EXPECT_EQ(LongestPayloadBit(10, 6), last.offset);
  EXPECT_EQ(Bits(TwoOrders::LongestProb(6)), Bits(DontQuantize::LongestPointer(trie.quant(), last).GetProb()));

  EXPECT_EQ(LongestPayloadBit(10, 3), longest.Find(0, third).offset);
  EXPECT_EQ(nullptr, longest.Find(1, third).base);  // Only in the first range.
  EXPECT_EQ(nullptr, longest.Find(5, third).base);
  EXPECT_EQ(nullptr, longest.Find(1, NodeRange{3, 3}).base);
  EXPECT_EQ(nullptr, longest.Find(1, NodeRange{1000000, 1000000}).base);
  EXPECT_EQ(0u, longest.Find(1, NodeRange{3, 3}).offset);
}

TEST(BitPackedLongestTest, WordsNearTheLargestIdentifier) {
  // 2^32 words need a 33-bit word field.
  const uint64_t unigram_count = uint64_t{1} << 32;
  const std::vector<WordIndex> words = {0, 1U << 31, kMaxWordIndex - 1, kMaxWordIndex};
  std::vector<uint8_t> memory(BitPacked::BaseSize(words.size(), unigram_count, 31));
  BitPackedLongest longest;
  longest.BaseInit(memory.data(), words.size(), unigram_count, 31);
  for (WordIndex word : words) longest.Insert(word);
  EXPECT_EQ(words.size(), longest.InsertIndex());

  const NodeRange all{0, words.size()};
  for (uint64_t i = 0; i < words.size(); ++i) {
    EXPECT_EQ(LongestPayloadBit(unigram_count, i), longest.Find(words[i], all).offset) << words[i];
  }
  EXPECT_EQ(nullptr, longest.Find(kMaxWordIndex - 2, all).base);
  EXPECT_EQ(nullptr, longest.Find(1, all).base);
}

TEST(BitPackedMiddleTest, RandomTrieFindsExactlyWhatWasInserted) {
  // Parents are the groups of middle records that extend one (imaginary)
  // unigram; every middle record has 0 to 5 children.
  constexpr WordIndex kUnigrams = 300;
  constexpr unsigned kParents = 20;
  std::mt19937 random(7);
  std::vector<WordIndex> middle_words;
  std::vector<NodeRange> parent_ranges;
  std::vector<std::vector<WordIndex>> children;
  std::vector<WordIndex> all_words(kUnigrams);
  for (WordIndex w = 0; w < kUnigrams; ++w) all_words[w] = w;
  auto sorted_sample = [&](unsigned count) {
    std::vector<WordIndex> sample;
    std::sample(all_words.begin(), all_words.end(), std::back_inserter(sample), count, random);
    return sample;
  };
  for (unsigned parent = 0; parent < kParents; ++parent) {
    // Some parents without records, some with every word.
    const unsigned count = parent == 0 ? 0 : parent == 1 ? kUnigrams : random() % 120;
    const uint64_t begin = middle_words.size();
    for (WordIndex word : sorted_sample(count)) {
      middle_words.push_back(word);
      children.push_back(sorted_sample(random() % 6));
    }
    parent_ranges.push_back(NodeRange{begin, middle_words.size()});
  }
  const TwoOrders trie(kUnigrams, middle_words, children);

  uint64_t next_child = 0;
  for (const NodeRange &parent : parent_ranges) {
    for (WordIndex word = 0; word < kUnigrams; ++word) {
      NodeRange range = parent;
      const int64_t found = trie.FindMiddle(word, range);
      const auto begin = middle_words.begin() + static_cast<int64_t>(parent.begin);
      const auto end = middle_words.begin() + static_cast<int64_t>(parent.end);
      const auto at = std::lower_bound(begin, end, word);
      if (at == end || *at != word) {
        EXPECT_EQ(-1, found) << word;
        continue;
      }
      ASSERT_EQ(at - middle_words.begin(), found) << word;
      const std::vector<WordIndex> &run = children[static_cast<std::size_t>(found)];
      ASSERT_EQ(next_child, range.begin);
      ASSERT_EQ(next_child + run.size(), range.end);
      for (WordIndex child = 0; child < kUnigrams; ++child) {
        const PackedAddress address = trie.longest().Find(child, range);
        const auto hit = std::lower_bound(run.begin(), run.end(), child);
        if (hit == run.end() || *hit != child) {
          EXPECT_EQ(nullptr, address.base) << word << " " << child;
          continue;
        }
        const uint64_t index = next_child + static_cast<uint64_t>(hit - run.begin());
        EXPECT_EQ(LongestPayloadBit(kUnigrams, index), address.offset);
        EXPECT_EQ(Bits(TwoOrders::LongestProb(index)),
                  Bits(DontQuantize::LongestPointer(trie.quant(), address).GetProb()));
      }
      next_child += run.size();
    }
  }
  EXPECT_EQ(trie.longest().InsertIndex(), next_child);
}

}  // namespace
}  // namespace trie
}  // namespace ngram
}  // namespace lm
