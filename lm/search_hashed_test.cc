#include "lm/search_hashed.hh"

#include "lm/binary_format.hh"
#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/read_arpa.hh"
#include "lm/value.hh"
#include "lm/vocab.hh"
#include "util/file_piece.hh"

#include "util/standard_error_for_test.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace ngram {
namespace detail {
namespace {

constexpr uint32_t kNegativeZeroBits = 0x80000000;

uint32_t Bits(float value) { return std::bit_cast<uint32_t>(value); }

// A file holding `text`, removed when the object goes.
typedef util::TempFileForTest TempFile;

// Silent, with room in the tables for the blanks that pruned files need.
Config TestConfig() {
  Config config;
  config.show_progress = false;
  config.message_stream = nullptr;
  config.probing_multiplier = 4.0f;
  return config;
}

// A search built from ARPA text the way a model builds it, with a heap region
// and no output file; lookups by words in text order.
template <class Value> class Built {
 public:
  typedef typename Value::Pointer Pointer;

  Built(const std::string &arpa, const Config &config) : file_(arpa), backing_(config) {
    util::FilePiece f(file_.Name());
    std::vector<uint64_t> counts;
    ReadARPACounts(f, counts);
    const uint64_t vocab_size = ProbingVocabulary::Size(counts[0], config);
    vocab_.SetupMemory(backing_.SetupJustVocab(vocab_size, static_cast<uint8_t>(counts.size())), vocab_size,
                       counts[0], config);
    vocab_.ConfigureEnumerate(nullptr, counts[0]);
    search_.InitializeFromARPA(file_.Name(), f, counts, config, vocab_, backing_);
  }

  const HashedSearch<Value> &Search() const { return search_; }
  WordIndex Id(const char *word) const { return vocab_.Index(word); }

  // The 1-gram or middle-order entry of `words`.
  Pointer Find(const std::vector<const char *> &words) const {
    uint64_t node;
    return Walk(words, words.size(), node);
  }

  // The highest-order entry of `words`.
  LongestPointer FindLongest(const std::vector<const char *> &words) const {
    uint64_t node;
    if (!Walk(words, words.size() - 1, node).IsFound()) return LongestPointer();
    return search_.LookupLongest(Id(words.front()), node);
  }

 private:
  // Looks up the last `length` words, from the predicted word leftwards.
  Pointer Walk(const std::vector<const char *> &words, std::size_t length, uint64_t &node) const {
    bool left_closed;
    uint64_t handle;
    Pointer ret = search_.LookupUnigram(Id(words.back()), node, left_closed, handle);
    for (std::size_t i = 1; i < length && ret.IsFound(); ++i)
      ret = search_.LookupMiddle(static_cast<unsigned char>(i - 1), Id(words[words.size() - 1 - i]), node,
                                 left_closed, handle);
    return ret;
  }

  TempFile file_;
  BinaryFormat backing_;
  ProbingVocabulary vocab_;
  HashedSearch<Value> search_;
};

// The text of the exception of type E that building `arpa` throws.
template <class Value, class E> std::string BuildError(const std::string &arpa, const Config &config) {
  try {
    Built<Value> built(arpa, config);
  } catch (const E &e) {
    return e.what();
  }
  ADD_FAILURE() << "building did not throw";
  return "";
}

TEST(CombineWordHashTest, ExampleValues) {
  EXPECT_EQ(0x959e48455f4a2e90ULL, CombineWordHash(1, 2));
  EXPECT_EQ(0x8fb01f959e07cb0cULL, CombineWordHash(CombineWordHash(3, 2), 1));
  EXPECT_EQ(0xf8574e1221634907ULL, CombineWordHash(0, 0));
  // The increment wraps in 32 bits, so the largest identifier adds nothing.
  EXPECT_EQ(5 * 0x7c9ba2733b63f585ULL, CombineWordHash(5, 4294967295U));
}

TEST(HashedSearchTest, SizeSumsUnigramsMiddleAndLongest) {
  Config config;
  config.probing_multiplier = 1.5f;
  // 6 unigram records, 15 buckets of 2-grams, max(4, trunc(4.5)) of 3-grams.
  EXPECT_EQ(336U, HashedSearch<BackoffValue>::Size({5, 10, 3}, config));
  EXPECT_EQ(420U, HashedSearch<RestValue>::Size({5, 10, 3}, config));
}

TEST(HashedSearchTest, OrderTwoHasNoMiddleTables) {
  Config config;
  const std::vector<uint64_t> counts = {3, 4};
  std::vector<uint8_t> memory(HashedSearch<BackoffValue>::Size(counts, config));
  HashedSearch<BackoffValue> search;
  EXPECT_EQ(memory.data() + 4 * 8 + 6 * 12, search.SetupMemory(memory.data(), counts, config));
  EXPECT_EQ(2, search.Order());
}

// Entries written by hand at the offsets the layout prescribes, read back
// through the lookups.
class HandWrittenRegion : public testing::Test {
 protected:
  // counts (3, 2, 1), multiplier 1.5: 4 unigram records (32 bytes), 3 buckets
  // of 2-grams (48 bytes), 2 buckets of 3-grams (24 bytes).
  HandWrittenRegion() : memory_(104), bigram_key_(CombineWordHash(1, 2)) {
    const std::vector<uint64_t> counts = {3, 2, 1};
    Config config;
    EXPECT_EQ(memory_.size(), HashedSearch<BackoffValue>::Size(counts, config));
    EXPECT_EQ(memory_.data() + memory_.size(), search_.SetupMemory(memory_.data(), counts, config));

    // Word 1: probability -1.5 stored with the sign bit clear (extended).
    const ProbBackoff unigram = {1.5f, -0.25f};
    std::memcpy(&memory_[1 * 8], &unigram, sizeof(unigram));
    // "2 1": probability -0.5 stored as +0.5, backoff +0.
    const BackoffValue::ProbingEntry bigram = {bigram_key_, {0.5f, 0.0f}};
    std::memcpy(&memory_[32 + (bigram_key_ % 3) * 16], &bigram, sizeof(bigram));
    // "3 2 1": -0.75.
    const uint64_t trigram_key = CombineWordHash(bigram_key_, 3);
    const ProbEntry trigram = {trigram_key, {-0.75f}};
    std::memcpy(&memory_[80 + (trigram_key % 2) * 12], &trigram, sizeof(trigram));
  }

  std::vector<uint8_t> memory_;
  const uint64_t bigram_key_;
  HashedSearch<BackoffValue> search_;
};

TEST_F(HandWrittenRegion, SignBitIsTheLeftClosedFlag) {
  uint64_t node, handle;
  bool left_closed = true;
  BackoffValue::Pointer unigram = search_.LookupUnigram(1, node, left_closed, handle);
  EXPECT_FLOAT_EQ(-1.5f, unigram.GetProb());
  EXPECT_FLOAT_EQ(-0.25f, unigram.GetBackoff());
  EXPECT_FALSE(left_closed);
  EXPECT_EQ(1U, node);
  EXPECT_EQ(1U, handle);

  left_closed = true;
  BackoffValue::Pointer bigram = search_.LookupMiddle(0, 2, node, left_closed, handle);
  ASSERT_TRUE(bigram.IsFound());
  EXPECT_FLOAT_EQ(-0.5f, bigram.GetProb());
  EXPECT_FLOAT_EQ(-0.5f, bigram.GetRest());
  EXPECT_EQ(0U, Bits(bigram.GetBackoff()));
  EXPECT_FALSE(left_closed);
  EXPECT_EQ(bigram_key_, node);
  EXPECT_EQ(bigram_key_, handle);

  LongestPointer trigram = search_.LookupLongest(3, node);
  ASSERT_TRUE(trigram.IsFound());
  EXPECT_FLOAT_EQ(-0.75f, trigram.GetProb());
  EXPECT_FALSE(search_.LookupLongest(2, node).IsFound());
}

TEST_F(HandWrittenRegion, AbsentMiddleSetsLeftClosedAndStillAdvances) {
  uint64_t node = 1, handle = 77;
  bool left_closed = false;
  EXPECT_FALSE(search_.LookupMiddle(0, 3, node, left_closed, handle).IsFound());
  EXPECT_TRUE(left_closed);
  EXPECT_EQ(CombineWordHash(1, 3), node);
  EXPECT_EQ(77U, handle);
}

TEST_F(HandWrittenRegion, FastMakeNodeAndUnpack) {
  const WordIndex words[] = {1, 2};
  uint64_t node = 0;
  EXPECT_TRUE(search_.FastMakeNode(words, words + 2, node));
  EXPECT_EQ(bigram_key_, node);

  node = 0;
  BackoffValue::Pointer unpacked = search_.Unpack(bigram_key_, 2, node);
  ASSERT_TRUE(unpacked.IsFound());
  EXPECT_FLOAT_EQ(-0.5f, unpacked.GetProb());
  EXPECT_EQ(bigram_key_, node);
  // A key that was never stored ends at a free bucket instead of looping.
  EXPECT_FALSE(search_.Unpack(CombineWordHash(1, 3), 2, node).IsFound());
}

const char kOrderTwo[] =
    "\\data\\\n"
    "ngram 1=5\n"
    "ngram 2=3\n"
    "\n"
    "\\1-grams:\n"
    "-1\t<unk>\n"
    "-2\t<s>\t-0.5\n"
    "-1.5\t</s>\n"
    "-1.25\ta\t0\n"
    "-1.75\tb\t-0.25\n"
    "\n"
    "\\2-grams:\n"
    "-0.25\t<s> a\n"
    "-0.5\ta b\n"
    "-0.75\tb </s>\n"
    "\n"
    "\\end\\\n";

TEST(HashedBuildTest, OrderTwoSetsFlagsOnUnigrams) {
  Built<BackoffValue> built(kOrderTwo, TestConfig());
  EXPECT_EQ(2, built.Search().Order());

  struct Case {
    const char *word;
    float prob;
    uint32_t backoff_bits;
    bool left_closed;
  };
  const Case cases[] = {
      {"<unk>", -1.0f, kNegativeZeroBits, true},  // neither context nor suffix
      {"<s>", -2.0f, Bits(-0.5f), true},          // context only
      {"</s>", -1.5f, kNegativeZeroBits, false},  // suffix only
      {"a", -1.25f, 0, false},                    // zero backoff of a context becomes +0
      {"b", -1.75f, Bits(-0.25f), false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.word);
    BackoffValue::Pointer unigram = built.Find({c.word});
    EXPECT_FLOAT_EQ(c.prob, unigram.GetProb());
    EXPECT_EQ(c.backoff_bits, Bits(unigram.GetBackoff()));
    EXPECT_EQ(c.left_closed, unigram.LeftClosed());
  }
  EXPECT_FLOAT_EQ(-0.5f, built.FindLongest({"a", "b"}).GetProb());
  EXPECT_FLOAT_EQ(-0.75f, built.FindLongest({"b", "</s>"}).GetProb());
  EXPECT_FALSE(built.FindLongest({"b", "a"}).IsFound());
}

// "a b c" without its suffix "b c"; `b_backoff` is b's backoff field.  The
// 2-gram "<s> a" has probability 0.
std::string PrunedTrigram(const std::string &b_backoff) {
  return "\\data\\\n"
         "ngram 1=6\n"
         "ngram 2=2\n"
         "ngram 3=1\n"
         "\n"
         "\\1-grams:\n"
         "-1\t<unk>\n"
         "-2\t<s>\t-0.5\n"
         "-1.5\t</s>\n"
         "-1.25\ta\t-0.125\n"
         "-1.75\tb" +
         b_backoff +
         "\n"
         "-1.5\tc\n"
         "\n"
         "\\2-grams:\n"
         "0\t<s> a\n"
         "-0.5\ta b\t-0.3\n"
         "\n"
         "\\3-grams:\n"
         "-0.1\ta b c\n"
         "\n"
         "\\end\\\n";
}

TEST(HashedBuildTest, PrunedSuffixGetsBackedOffBlank) {
  struct Case {
    const char *b_backoff;
    float blank_prob;
    uint32_t b_backoff_bits;
  };
  const Case cases[] = {
      {"\t0", -1.5f, 0},                      // zero becomes +0: extended, adds nothing
      {"", -1.5f, 0},                         // absent likewise
      {"\t-0.25", -1.5f + -0.25f, Bits(-0.25f)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.b_backoff);
    Built<BackoffValue> built(PrunedTrigram(c.b_backoff), TestConfig());
    BackoffValue::Pointer blank = built.Find({"b", "c"});
    ASSERT_TRUE(blank.IsFound());
    EXPECT_EQ(Bits(c.blank_prob), Bits(blank.GetProb()));
    EXPECT_EQ(kNegativeZeroBits, Bits(blank.GetBackoff()));
    EXPECT_FALSE(blank.LeftClosed());
    EXPECT_EQ(c.b_backoff_bits, Bits(built.Find({"b"}).GetBackoff()));
    EXPECT_FALSE(built.Find({"c"}).LeftClosed());
    EXPECT_TRUE(built.Find({"a", "b"}).LeftClosed());
    // A probability of 0 read as +0 still starts out left-closed.
    EXPECT_TRUE(built.Find({"<s>", "a"}).LeftClosed());
    EXPECT_EQ(kNegativeZeroBits, Bits(built.Find({"<s>", "a"}).GetProb()));
    EXPECT_FLOAT_EQ(-0.1f, built.FindLongest({"a", "b", "c"}).GetProb());
  }
}

const char kFourGramTwoMissingSuffixes[] =
    "\\data\\\n"
    "ngram 1=7\n"
    "ngram 2=2\n"
    "ngram 3=1\n"
    "ngram 4=1\n"
    "\n"
    "\\1-grams:\n"
    "-1\t<unk>\n"
    "-2\t<s>\t-0.5\n"
    "-1.5\t</s>\n"
    "-1.25\ta\t-0.125\n"
    "-1.75\tb\t-0.25\n"
    "-1.5\tc\t-0.75\n"
    "-1.125\td\n"
    "\n"
    "\\2-grams:\n"
    "-0.5\ta b\t-0.3\n"
    "-0.375\tb c\t-0.2\n"
    "\n"
    "\\3-grams:\n"
    "-0.25\ta b c\t-0.15\n"
    "\n"
    "\\4-grams:\n"
    "-0.05\ta b c d\n"
    "\n"
    "\\end\\\n";

TEST(HashedBuildTest, FourGramFillsTwoBlanksFromTheUnigram) {
  Built<BackoffValue> built(kFourGramTwoMissingSuffixes, TestConfig());
  // p(d) + backoff(c), then + backoff(b c).
  const float c_d = -1.125f + -0.75f;
  const float b_c_d = c_d + -0.2f;
  BackoffValue::Pointer shorter = built.Find({"c", "d"});
  BackoffValue::Pointer longer = built.Find({"b", "c", "d"});
  ASSERT_TRUE(shorter.IsFound());
  ASSERT_TRUE(longer.IsFound());
  EXPECT_EQ(Bits(c_d), Bits(shorter.GetProb()));
  EXPECT_EQ(Bits(b_c_d), Bits(longer.GetProb()));
  EXPECT_EQ(kNegativeZeroBits, Bits(shorter.GetBackoff()));
  EXPECT_EQ(kNegativeZeroBits, Bits(longer.GetBackoff()));
  EXPECT_FALSE(shorter.LeftClosed());
  EXPECT_FALSE(longer.LeftClosed());
  EXPECT_FALSE(built.Find({"d"}).LeftClosed());
  // Nothing stored extends "a b c" on the left; "a b c" extends "b c".
  EXPECT_TRUE(built.Find({"a", "b", "c"}).LeftClosed());
  EXPECT_FALSE(built.Find({"b", "c"}).LeftClosed());
  EXPECT_EQ(Bits(-0.2f), Bits(built.Find({"b", "c"}).GetBackoff()));
  EXPECT_FLOAT_EQ(-0.05f, built.FindLongest({"a", "b", "c", "d"}).GetProb());
}

TEST(HashedBuildTest, MissingContextIsRefused) {
  const char arpa[] =
      "\\data\\\n"
      "ngram 1=6\n"
      "ngram 2=1\n"
      "ngram 3=1\n"
      "\n"
      "\\1-grams:\n"
      "-1\t<unk>\n"
      "-2\t<s>\n"
      "-1.5\t</s>\n"
      "-1.25\ta\n"
      "-1.75\tb\n"
      "-1.5\tc\n"
      "\n"
      "\\2-grams:\n"
      "-0.5\tb c\n"
      "\n"
      "\\3-grams:\n"
      "-0.1\ta b c\n"
      "\n"
      "\\end\\\n";
  const std::string what = BuildError<BackoffValue, FormatLoadException>(arpa, TestConfig());
  EXPECT_TRUE(what.starts_with("lm/search_hashed:")) << what;
  EXPECT_TRUE(what.ends_with("The context of every 3-gram should appear as a 2-gram")) << what;
}

TEST(HashedBuildTest, OverfullTableAsksForLargerMultiplier) {
  // Three 3-grams "a b x" whose suffixes "b x" are all missing: the 2-gram
  // table of 3 buckets already holds 2 entries.
  const char arpa[] =
      "\\data\\\n"
      "ngram 1=8\n"
      "ngram 2=2\n"
      "ngram 3=3\n"
      "\n"
      "\\1-grams:\n"
      "-1\t<unk>\n"
      "-2\t<s>\n"
      "-1.5\t</s>\n"
      "-1.25\ta\n"
      "-1.75\tb\n"
      "-1.5\tc\n"
      "-1.5\td\n"
      "-1.5\te\n"
      "\n"
      "\\2-grams:\n"
      "-0.5\ta b\t-0.3\n"
      "-0.5\tb c\n"
      "\n"
      "\\3-grams:\n"
      "-0.1\ta b c\n"
      "-0.1\ta b d\n"
      "-0.1\ta b e\n"
      "\n"
      "\\end\\\n";
  Config config = TestConfig();
  config.probing_multiplier = 1.01f;
  const std::string what = BuildError<BackoffValue, util::ProbingSizeException>(arpa, config);
  EXPECT_TRUE(what.starts_with("lm/search_hashed:")) << what;
  // The header ends the first line; the caught table-full text is dropped.
  EXPECT_TRUE(what.ends_with(
      " threw util::ProbingSizeException.\n"
      "Avoid pruning n-grams like \"bar baz quux\" when \"foo bar baz quux\" is still in the model.  Quarn will "
      "work when this pruning happens, but the probing model assumes these events are rare enough that using blank "
      "space in the probing hash table will cover all of them.  Increase probing_multiplier (-p to packmodel) to "
      "add more blank spaces.\n"))
      << what;
}

const char kMaxRest[] =
    "\\data\\\n"
    "ngram 1=6\n"
    "ngram 2=4\n"
    "ngram 3=2\n"
    "\n"
    "\\1-grams:\n"
    "-1\t<unk>\n"
    "-2\t<s>\t-0.5\n"
    "-1.5\t</s>\n"
    "-1.25\ta\t-0.125\n"
    "-1.75\tb\t-0.25\n"
    "-1.5\tc\t-0.5\n"
    "\n"
    "\\2-grams:\n"
    "-0.25\t<s> a\t-0.1\n"
    "-0.5\ta b\t-0.3\n"
    "-0.875\tb c\t-0.2\n"
    "-0.625\ta c\n"
    "\n"
    "\\3-grams:\n"
    "-0.125\ta b c\n"
    "-0.75\t<s> a b\n"
    "\n"
    "\\end\\\n";

TEST(HashedBuildTest, MaxRestIsBestProbabilityOfAnyExtension) {
  Config config = TestConfig();
  config.rest_kind = Config::REST_FROM_MAX;
  Built<RestValue> built(kMaxRest, config);
  struct Case {
    std::vector<const char *> words;
    float prob;
    float rest;  // max probability over the stored n-grams ending in `words`
  };
  const Case cases[] = {
      {{"<unk>"}, -1.0f, -1.0f},
      {{"<s>"}, -2.0f, -2.0f},
      {{"a"}, -1.25f, -0.25f},      // "<s> a"
      {{"b"}, -1.75f, -0.5f},       // "a b"; "<s> a b" is worse
      {{"c"}, -1.5f, -0.125f},      // "a b c", through "b c"
      {{"b", "c"}, -0.875f, -0.125f},
      {{"a", "b"}, -0.5f, -0.5f},   // not lowered by "<s> a b"
      {{"a", "c"}, -0.625f, -0.625f},
      {{"<s>", "a"}, -0.25f, -0.25f},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words.size() == 1 ? c.words[0] : c.words[1]);
    RestValue::Pointer found = built.Find(c.words);
    ASSERT_TRUE(found.IsFound());
    EXPECT_FLOAT_EQ(c.prob, found.GetProb());
    EXPECT_FLOAT_EQ(c.rest, found.GetRest());
  }
}

TEST(HashedBuildTest, MaxRestReachesTheHighestIdentifierWithoutUnk) {
  // Without <unk> the words take identifiers 1 .. count.
  const char arpa[] =
      "\\data\\\n"
      "ngram 1=3\n"
      "ngram 2=1\n"
      "\n"
      "\\1-grams:\n"
      "-2\t<s>\t-0.5\n"
      "-1.5\t</s>\n"
      "-1.25\tc\n"
      "\n"
      "\\2-grams:\n"
      "-0.25\t<s> </s>\n"
      "\n"
      "\\end\\\n";
  Config config = TestConfig();
  config.missing_unk_action = SILENT;
  Built<RestValue> built(arpa, config);
  ASSERT_EQ(3U, built.Id("c"));
  EXPECT_FLOAT_EQ(-1.25f, built.Find({"c"}).GetRest());
  EXPECT_FLOAT_EQ(-0.25f, built.Find({"</s>"}).GetRest());
}

const char kLowerMain[] =
    "\\data\\\n"
    "ngram 1=5\n"
    "ngram 2=2\n"
    "ngram 3=1\n"
    "\n"
    "\\1-grams:\n"
    "-1\t<unk>\n"
    "-2\t<s>\t-0.5\n"
    "-1.5\t</s>\n"
    "-1.25\ta\t-0.125\n"
    "-1.75\tb\t-0.25\n"
    "\n"
    "\\2-grams:\n"
    "-0.5\t<s> a\t-0.3\n"
    "-0.625\ta b\t-0.2\n"
    "\n"
    "\\3-grams:\n"
    "-0.125\t<s> a b\n"
    "\n"
    "\\end\\\n";

const char kLowerBigram[] =
    "\\data\\\n"
    "ngram 1=5\n"
    "ngram 2=1\n"
    "\n"
    "\\1-grams:\n"
    "-1\t<unk>\n"
    "-2\t<s>\t-0.75\n"
    "-1.5\t</s>\n"
    "-1.25\ta\t-0.0625\n"
    "-1.75\tb\n"
    "\n"
    "\\2-grams:\n"
    "-0.375\t<s> a\n"
    "\n"
    "\\end\\\n";

// A 1-gram ARPA file over `unigrams` ("prob\tword\n" lines).
std::string UnigramFile(unsigned int count, const std::string &unigrams) {
  return "\\data\\\nngram 1=" + std::to_string(count) + "\n\n\\1-grams:\n" + unigrams + "\n\\end\\\n";
}

Config LowerConfig(const std::vector<std::string> &files) {
  Config config = TestConfig();
  config.rest_kind = Config::REST_FROM_LOWER;
  config.rest_lower_files = files;
  return config;
}

TEST(HashedBuildTest, RestFromLowerOrderModels) {
  TempFile unigrams(UnigramFile(5, "-1.5\t<unk>\n-2.5\t<s>\n-1.25\t</s>\n-1.125\ta\n-1.375\tb\n"));
  TempFile bigrams(kLowerBigram);
  Built<RestValue> built(kLowerMain, LowerConfig({unigrams.Name(), bigrams.Name()}));
  struct Case {
    std::vector<const char *> words;
    float prob;
    float rest;
  };
  const Case cases[] = {
      {{"<unk>"}, -1.0f, -1.5f},
      {{"<s>"}, -2.0f, -2.5f},
      {{"</s>"}, -1.5f, -1.25f},
      {{"a"}, -1.25f, -1.125f},
      {{"b"}, -1.75f, -1.375f},
      {{"<s>", "a"}, -0.5f, -0.375f},            // stored in the lower model
      {{"a", "b"}, -0.625f, -1.75f + -0.0625f},  // backed off: p(b) + backoff(a)
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words.size() == 1 ? c.words[0] : c.words[1]);
    RestValue::Pointer found = built.Find(c.words);
    ASSERT_TRUE(found.IsFound());
    EXPECT_FLOAT_EQ(c.prob, found.GetProb());
    EXPECT_FLOAT_EQ(c.rest, found.GetRest());
  }
  EXPECT_FLOAT_EQ(-0.125f, built.FindLongest({"<s>", "a", "b"}).GetProb());
}

TEST(HashedBuildTest, RestFromLowerNeedsOneFilePerLowerOrder) {
  TempFile unigrams(UnigramFile(1, "-1\t<unk>\n"));
  const std::string what = BuildError<RestValue, ConfigException>(kLowerMain, LowerConfig({unigrams.Name()}));
  EXPECT_TRUE(what.starts_with("lm/value_build:")) << what;
  EXPECT_TRUE(what.ends_with(" threw ConfigException because `config.rest_lower_files.size() != order - 1'.\n"
                             "This model has order 3 so there should be 2 lower-order models for rest cost purposes."))
      << what;
}

TEST(HashedBuildTest, RestFromLowerRefusesUnigramFilesThatMissWords) {
  struct Case {
    std::string unigrams;
    const char *message;
  };
  const Case cases[] = {
      // b (identifier 4) is beyond the 4 declared entries.
      {UnigramFile(4, "-1\t<unk>\n-2\t<s>\n-1\t</s>\n-1\ta\n"),
       "has 4 1-grams, too few for the model's word identifier 4"},
      {UnigramFile(2, "-2\t<s>\n-1\tb\n"), "declares 2 1-grams but lists a word with model identifier 4"},
  };
  TempFile bigrams(kLowerBigram);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    TempFile unigrams(c.unigrams);
    const std::string what =
        BuildError<RestValue, FormatLoadException>(kLowerMain, LowerConfig({unigrams.Name(), bigrams.Name()}));
    EXPECT_NE(std::string::npos, what.find(c.message)) << what;
  }
}


// A trigram model large enough for many blocks of parsed n-grams: words w0
// .. w199 and x0 .. x9 (1-grams only), every 2-gram wi wj with j < 100, and
// the 3-grams wi wj wk with i, j < 100 and k < 3.  `replace` swaps the
// 3-gram at a position for a line of its own.
class ManyTrigrams {
 public:
  static constexpr std::size_t kTrigrams = 100 * 100 * 3;

  explicit ManyTrigrams(const std::map<std::size_t, std::string> &replace = {}) {
    text_ = "\\data\\\nngram 1=213\nngram 2=20000\nngram 3=" + std::to_string(kTrigrams) + "\n\n\\1-grams:\n";
    text_ += "-1\t<unk>\n-2\t<s>\t-0.5\n-1.5\t</s>\n";
    for (int i = 0; i < 200; ++i) text_ += "-2.5\tw" + std::to_string(i) + "\t-0.25\n";
    for (int i = 0; i < 10; ++i) text_ += "-3\tx" + std::to_string(i) + "\n";
    text_ += "\n\\2-grams:\n";
    for (int i = 0; i < 200; ++i) {
      for (int j = 0; j < 100; ++j) text_ += "-1.25\tw" + std::to_string(i) + " w" + std::to_string(j) + "\t-0.5\n";
    }
    text_ += "\n\\3-grams:\n";
    std::size_t position = 0;
    for (int i = 0; i < 100; ++i) {
      for (int j = 0; j < 100; ++j) {
        for (int k = 0; k < 3; ++k, ++position) {
          const auto replaced = replace.find(position);
          if (replaced != replace.end()) {
            text_ += replaced->second;
          } else {
            text_ += "-0.75\tw" + std::to_string(i) + " w" + std::to_string(j) + " w" + std::to_string(k) + "\n";
          }
        }
      }
    }
    text_ += "\n\\end\\\n";
  }

  const std::string &Text() const { return text_; }

 private:
  std::string text_;
};

Config WithThreads(Config config, unsigned int threads) {
  config.arpa_threads = threads;
  return config;
}

// Faults in the 3-gram section, found on the parsing side (bad text) or
// on the storing side (a context that is not stored), at the first line, at
// block boundaries, in the middle of a block and at the last line.  One
// thread and two give the same message.
TEST(HashedBuildTest, ThreadCountsGiveTheSameErrors) {
  const std::size_t last = ManyTrigrams::kTrigrams - 1;
  struct Case {
    std::size_t position;
    const char *line;
    const char *ends;
  } cases[] = {
      {0, "-0.75\tw0 w0 zz\n", "in the 3-gram at byte"},
      {0, "-0.75\tx1 w0 w0\n", "The context of every 3-gram should appear as a 2-gram"},
      {4095, "-0.75\tw0 w0 w0 w0\n", "in the 3-gram at byte"},
      {4096, "-0.75\tx2 w0 w0\n", "The context of every 3-gram should appear as a 2-gram"},
      {5000, "0.5\tw1 w2 w0\n", "in the 3-gram at byte"},
      {16384, "-0.75\tx3 w0 w0\n", "The context of every 3-gram should appear as a 2-gram"},
      {20001, "-0.75\tw1 w2 w0\tx\n", "in the 3-gram at byte"},
      {last, "-0.75\tw0 w0 zz\n", "in the 3-gram at byte"},
      {last, "-0.75\tx4 w0 w0\n", "The context of every 3-gram should appear as a 2-gram"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.position) + ": " + c.line);
    const ManyTrigrams arpa({{c.position, c.line}});
    const std::string one = BuildError<BackoffValue, util::Exception>(arpa.Text(), WithThreads(TestConfig(), 1));
    EXPECT_NE(std::string::npos, one.find(c.ends)) << one;
    EXPECT_EQ(one, (BuildError<BackoffValue, util::Exception>(arpa.Text(), WithThreads(TestConfig(), 2))));
    EXPECT_EQ((BuildError<RestValue, util::Exception>(arpa.Text(), WithThreads(TestConfig(), 1))),
              (BuildError<RestValue, util::Exception>(arpa.Text(), WithThreads(TestConfig(), 2))));
  }
}

// Of two faults the first in the file is reported, whichever side finds
// it, also when the parsing side has run ahead.
TEST(HashedBuildTest, FirstFaultInTheFileWins) {
  const char kUnstored[] = "-0.75\tx6 w0 w0\n", kUnknown[] = "-0.75\tw0 w0 zz\n";
  struct Case {
    std::size_t unstored, unknown;
    const char *ends;
  } cases[] = {{5000, 5001, "should appear as a 2-gram"},
               {5001, 5000, "in the 3-gram at byte"},
               {100, 29000, "should appear as a 2-gram"}};
  for (const Case &c : cases) {
    const ManyTrigrams arpa({{c.unstored, kUnstored}, {c.unknown, kUnknown}});
    for (unsigned int threads : {1u, 2u}) {
      SCOPED_TRACE(std::to_string(c.unstored) + " " + std::to_string(threads));
      const std::string what =
          BuildError<BackoffValue, FormatLoadException>(arpa.Text(), WithThreads(TestConfig(), threads));
      EXPECT_NE(std::string::npos, what.find(c.ends)) << what;
    }
  }
}

// The first positive probability is complained about in its turn: not when
// a fault before it ends the load, and before a fault after it.
TEST(HashedBuildTest, ComplaintComesInItsTurn) {
  const std::size_t kPositive = 9000;
  struct Case {
    std::size_t fault;
    bool complains;
  } cases[] = {{8999, false}, {9001, true}, {29000, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fault);
    const ManyTrigrams arpa({{kPositive, "0.5\tw1 w0 w0\n"}, {c.fault, "-0.75\tx5 w0 w0\n"}});
    std::string errors[2], complaints[2];
    for (unsigned int threads : {1u, 2u}) {
      Config config = WithThreads(TestConfig(), threads);
      config.positive_log_probability = COMPLAIN;
      complaints[threads - 1] =
          util::StandardErrorOf([&] { errors[threads - 1] = BuildError<BackoffValue, FormatLoadException>(arpa.Text(), config); });
    }
    EXPECT_TRUE(errors[0].ends_with("The context of every 3-gram should appear as a 2-gram")) << errors[0];
    EXPECT_EQ(errors[0], errors[1]);
    EXPECT_EQ(c.complains, complaints[0].starts_with("There's a positive log probability 0.5")) << complaints[0];
    EXPECT_EQ(complaints[0], complaints[1]);
  }
  // A line that is complained about and then refused.
  const ManyTrigrams arpa({{kPositive, "0.5\tw1 w0 zz\n"}});
  for (unsigned int threads : {1u, 2u}) {
    Config config = WithThreads(TestConfig(), threads);
    config.positive_log_probability = COMPLAIN;
    std::string error;
    const std::string complaint =
        util::StandardErrorOf([&] { error = BuildError<BackoffValue, FormatLoadException>(arpa.Text(), config); });
    EXPECT_TRUE(complaint.starts_with("There's a positive log probability 0.5")) << threads << complaint;
    EXPECT_NE(std::string::npos, error.find("in the 3-gram at byte")) << error;
  }
}

}  // namespace
}  // namespace detail
}  // namespace ngram
}  // namespace lm
