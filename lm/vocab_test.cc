#include "lm/vocab.hh"

#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/weights.hh"
#include "util/file.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace lm {
namespace ngram {
namespace {

typedef std::vector<std::pair<WordIndex, std::string>> Calls;

// Records every Add.
class Recorder : public EnumerateVocab {
 public:
  void Add(WordIndex index, const StringPiece &str) override { calls.emplace_back(index, str.as_string()); }
  Calls calls;
};

// Zero-filled, 8-byte aligned memory for one vocabulary part.
struct Region {
  explicit Region(uint64_t bytes) : words((bytes + 7) / 8), size(bytes) {}
  void *get() { return words.data(); }
  const uint8_t *bytes() const { return reinterpret_cast<const uint8_t *>(words.data()); }
  uint32_t U32At(std::size_t offset) const {
    uint32_t ret;
    std::memcpy(&ret, bytes() + offset, sizeof(ret));
    return ret;
  }
  std::vector<uint64_t> words;
  std::size_t size;
};

// A vocabulary over its own region, sized for `entries` words.
struct Built {
  explicit Built(uint64_t entries, float multiplier = 1.5f) : region(ProbingVocabulary::Size(entries, multiplier)) {
    vocab.SetupMemory(region.get(), region.size);
  }
  Region region;
  ProbingVocabulary vocab;
};

// Expects `run` to throw Ex with the location header of lm/vocab naming
// `class_name` and `condition` (null: unconditional), followed by exactly
// `message`.
template <class Ex>
void ExpectThrowText(const std::function<void()> &run, const char *class_name, const char *condition,
                     const std::string &message) {
  try {
    run();
    ADD_FAILURE() << "nothing thrown";
  } catch (const Ex &e) {
    const std::string text = e.what();
    EXPECT_EQ(0u, text.find("lm/vocab:")) << text;
    std::string tail = std::string(" threw ") + class_name;
    if (condition) tail += std::string(" because `") + condition + "'";
    tail += ".\n" + message;
    ASSERT_GE(text.size(), tail.size()) << text;
    EXPECT_EQ(tail, text.substr(text.size() - tail.size())) << text;
  }
}

TEST(VocabTest, HashForVocabIsMurmurHash64AWithSeedZero) {
  // Value of the published MurmurHash64A for "The", seed 0.
  EXPECT_EQ(0x27ba74c43db50f9fULL, HashForVocab("The", 3));
  const std::string with_nul("a\0b", 3);
  EXPECT_EQ(util::MurmurHash64A(with_nul.data(), 3, 0), detail::HashForVocab(StringPiece(with_nul)));
  EXPECT_EQ(util::MurmurHash64A("", 0, 0), HashForVocab(StringPiece()));
}

TEST(VocabTest, SizeCountsHeaderAndBuckets) {
  struct Case {
    uint64_t entries;
    float multiplier;
    uint64_t bytes;
  } const cases[] = {
      {0, 1.5f, 20}, {1000, 1.5f, 8 + 12 * 1500}, {1000, 1.0f, 8 + 12 * 1001}, {10, 1.5f, 8 + 12 * 15},
      {3, 1.2f, 8 + 12 * 4},  // 3.6 truncates to 3, below the floor of 4
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.bytes, ProbingVocabulary::Size(c.entries, c.multiplier)) << c.entries << " x " << c.multiplier;
    Config config;
    config.probing_multiplier = c.multiplier;
    EXPECT_EQ(c.bytes, ProbingVocabulary::Size(c.entries, config));
  }
}

TEST(VocabTest, UnknownSpellingsAreNeverEntered) {
  Built b(4);
  Recorder recorder;
  b.vocab.ConfigureEnumerate(&recorder, 4);
  EXPECT_FALSE(b.vocab.SawUnk());
  EXPECT_EQ(0u, b.vocab.Insert("<UNK>"));
  EXPECT_TRUE(b.vocab.SawUnk());
  EXPECT_EQ(0u, b.vocab.Insert("<unk>"));
  EXPECT_EQ(1u, b.vocab.Bound());
  EXPECT_EQ((Calls{{0, "<unk>"}}), recorder.calls);
  for (const char *word : {"<unk>", "<UNK>", "never", "<Unk>", ""}) EXPECT_EQ(0u, b.vocab.Index(word)) << word;
}

TEST(VocabTest, InsertNumbersInOrderAndReportsEachWordOnce) {
  Built b(5);
  Recorder recorder;
  b.vocab.ConfigureEnumerate(&recorder, 5);
  EXPECT_EQ((Calls{{0, "<unk>"}}), recorder.calls);
  EXPECT_EQ(1u, b.vocab.Insert("a"));
  EXPECT_EQ(2u, b.vocab.Insert("<s>"));
  EXPECT_EQ(0u, b.vocab.Insert("<unk>"));
  EXPECT_EQ(3u, b.vocab.Insert(StringPiece("b\0c", 3)));
  EXPECT_EQ((Calls{{0, "<unk>"}, {1, "a"}, {2, "<s>"}, {3, std::string("b\0c", 3)}}), recorder.calls);

  EXPECT_EQ(1u, b.vocab.Index("a"));
  EXPECT_EQ(2u, b.vocab.Index(std::string("<s>")));
  EXPECT_EQ(3u, b.vocab.Index(StringPiece("b\0c", 3)));
  EXPECT_EQ(0u, b.vocab.Index("b"));
  // Through the base interface, whose C-string form stops at the NUL.
  const base::Vocabulary &as_base = b.vocab;
  EXPECT_EQ(1u, as_base.Index("a"));
  EXPECT_EQ(0u, as_base.Index("b\0c"));
}

TEST(VocabTest, DuplicateGetsNewIdentifierButLookupFindsFirst) {
  Built b(3);
  EXPECT_EQ(1u, b.vocab.Insert("x"));
  EXPECT_EQ(2u, b.vocab.Insert("x"));
  EXPECT_EQ(1u, b.vocab.Index("x"));
}

TEST(VocabTest, FullTableThrows) {
  // Size(1, 1.0) has 2 buckets: one word fits, the second fills the last one.
  Built b(1, 1.0f);
  b.vocab.Insert("one");
  EXPECT_THROW(b.vocab.Insert("two"), util::ProbingSizeException);
}

TEST(VocabTest, BucketOfWordIsHashModuloBucketCount) {
  // The stored layout: a word sits at 8 + 12 * (hash % buckets) when its
  // bucket is free, with the hash and then the identifier.
  Built b(10);
  const uint64_t buckets = (b.region.size - 8) / 12;
  ASSERT_EQ(15u, buckets);
  b.vocab.Insert("alpha");
  const uint64_t hash = HashForVocab("alpha", 5);
  const std::size_t at = 8 + 12 * (hash % buckets);
  uint64_t key;
  std::memcpy(&key, b.region.bytes() + at, 8);
  EXPECT_EQ(hash, key);
  EXPECT_EQ(1u, b.region.U32At(at + 8));
}

TEST(VocabTest, FinishedLoadingWritesHeaderAndSpecials) {
  Built b(4);
  for (const char *word : {"</s>", "x", "<unk>", "<s>"}) b.vocab.Insert(word);
  b.vocab.FinishedLoading(static_cast<ProbBackoff *>(nullptr));
  EXPECT_EQ(kProbingVocabularyVersion, b.region.U32At(0));
  EXPECT_EQ(4u, b.region.U32At(4));
  EXPECT_EQ(3u, b.vocab.BeginSentenceIndex());
  EXPECT_EQ(1u, b.vocab.EndSentenceIndex());
  EXPECT_EQ(0u, b.vocab.UnknownIndex());
}

TEST(VocabTest, MissingMarkersHaveIndexZero) {
  Built b(1);
  b.vocab.Insert("x");
  b.vocab.FinishedLoading(static_cast<ProbBackoff *>(nullptr));
  EXPECT_EQ(0u, b.vocab.BeginSentenceIndex());
  EXPECT_EQ(0u, b.vocab.EndSentenceIndex());
  EXPECT_EQ(2u, b.region.U32At(4));
}

TEST(VocabTest, RelocateFollowsMovedRegion) {
  Built b(3);
  b.vocab.Insert("a");
  b.vocab.Insert("b");
  Region moved(b.region.size);
  std::memcpy(moved.get(), b.region.get(), b.region.size);
  std::memset(b.region.get(), 0, b.region.size);
  b.vocab.Relocate(moved.get());
  EXPECT_EQ(2u, b.vocab.Index("b"));
  b.vocab.FinishedLoading(static_cast<ProbBackoff *>(nullptr));
  EXPECT_EQ(3u, moved.U32At(4));
  EXPECT_EQ(0u, b.region.U32At(4));
}

TEST(VocabTest, WriteWordsWrapperCollectsListAndPassesCallsOn) {
  Recorder inner;
  WriteWordsWrapper wrapper(&inner);
  Built b(2);
  b.vocab.ConfigureEnumerate(&wrapper, 2);
  b.vocab.Insert("w1");
  b.vocab.Insert("<unk>");
  b.vocab.Insert("w2");
  EXPECT_EQ(std::string("<unk>\0w1\0w2\0", 12), wrapper.Buffer());
  EXPECT_EQ((Calls{{0, "<unk>"}, {1, "w1"}, {2, "w2"}}), inner.calls);

  WriteWordsWrapper alone(nullptr);
  alone.Add(0, "<unk>");
  alone.Add(1, StringPiece("a\0b", 3));
  EXPECT_EQ(std::string("<unk>\0a\0b\0", 10), alone.Buffer());
}

// A built vocabulary's region loaded back as a binary file's bytes, with a
// word list at `kListOffset` of a temporary file.
class LoadedBinaryTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kListOffset = 37;

  LoadedBinaryTest() : built_(3) {
    for (const char *word : {"<s>", "mid", "</s>"}) built_.vocab.Insert(word);
    built_.vocab.FinishedLoading(static_cast<ProbBackoff *>(nullptr));
  }

  // Writes junk up to kListOffset, then `list`.
  void WriteList(const std::string &list) {
    file_.reset(util::MakeTemp(util::DefaultTempDirectory() + "vocab_test"));
    const std::string junk(kListOffset, 'j');
    util::WriteOrThrow(file_.get(), junk.data(), junk.size());
    util::WriteOrThrow(file_.get(), list.data(), list.size());
  }

  // A second vocabulary over a copy of the built bytes.
  void Load(bool have_words, EnumerateVocab *to) {
    loaded_region_.reset(new Region(built_.region.size));
    std::memcpy(loaded_region_->get(), built_.region.get(), built_.region.size);
    loaded_.reset(new ProbingVocabulary());
    loaded_->SetupMemory(loaded_region_->get(), loaded_region_->size);
    loaded_->LoadedBinary(have_words, file_.get(), to, kListOffset);
  }

  static std::string GoodList() { return std::string("<unk>\0<s>\0mid\0</s>\0", 19); }

  Built built_;
  util::scoped_fd file_;
  std::unique_ptr<Region> loaded_region_;
  std::unique_ptr<ProbingVocabulary> loaded_;
};

TEST_F(LoadedBinaryTest, EnumeratesListInOrderAndRestoresIdentifiers) {
  WriteList(GoodList());
  Recorder recorder;
  Load(true, &recorder);
  EXPECT_EQ((Calls{{0, "<unk>"}, {1, "<s>"}, {2, "mid"}, {3, "</s>"}}), recorder.calls);
  EXPECT_EQ(4u, loaded_->Bound());
  EXPECT_EQ(1u, loaded_->BeginSentenceIndex());
  EXPECT_EQ(3u, loaded_->EndSentenceIndex());
  EXPECT_EQ(2u, loaded_->Index("mid"));
}

TEST_F(LoadedBinaryTest, WithoutWordsReadsNothing) {
  Recorder recorder;
  // No file at all: the descriptor is never touched.
  Load(false, &recorder);
  EXPECT_TRUE(recorder.calls.empty());
  EXPECT_EQ(4u, loaded_->Bound());
  EXPECT_EQ(1u, loaded_->BeginSentenceIndex());
}

TEST_F(LoadedBinaryTest, RefusesOtherVersion) {
  WriteList(GoodList());
  const uint32_t version = 1;
  std::memcpy(built_.region.get(), &version, sizeof(version));
  ExpectThrowText<FormatLoadException>(
      [this] { Load(true, nullptr); }, "FormatLoadException", "header_->version != kProbingVocabularyVersion",
      "The binary file has probing version 1 but the code expects version 0.  Please rerun packmodel using the "
      "same version of the code.");
}

TEST_F(LoadedBinaryTest, RefusesListNotStartingWithUnk) {
  const std::string wrong_place =
      "Vocabulary words are in the wrong place.  This could be because the binary file was built with stale gcc "
      "and old quarn.  Stale gcc, including the gcc distributed with RedHat and OS X, has a bug that ignores "
      "pragma pack for template-dependent types.  New quarn works around this, so you'll save memory but have to "
      "rebuild any binary files using the probing data structure.";
  for (const std::string &list : {std::string("<UNK>\0<s>\0mid\0</s>\0", 19), std::string("<unk>x", 6)}) {
    WriteList(list);
    Recorder recorder;
    for (EnumerateVocab *to : {static_cast<EnumerateVocab *>(nullptr), static_cast<EnumerateVocab *>(&recorder)}) {
      ExpectThrowText<FormatLoadException>([&] { Load(true, to); }, "FormatLoadException",
                                           "memcmp(check_unk, \"<unk>\", 6)", wrong_place);
    }
  }
}

TEST_F(LoadedBinaryTest, CountsWordsOnlyWithCallback) {
  const std::string wrong_count =
      "The binary file has the wrong number of words at the end.  This could be caused by a truncated binary file.";
  for (const std::string &list : {std::string("<unk>\0<s>\0mid\0", 14), GoodList() + std::string("more\0", 5)}) {
    WriteList(list);
    Load(true, nullptr);
    EXPECT_EQ(2u, loaded_->Index("mid"));
    Recorder recorder;
    ExpectThrowText<FormatLoadException>([&] { Load(true, &recorder); }, "FormatLoadException",
                                         "expected_count != index", wrong_count);
  }
}

// Words cross the reader's 1 MiB buffer, one is longer than it, and the
// last has no NUL: each comes back whole.
TEST(ReadWords, WordsOfAnyLengthAnywhere) {
  std::vector<std::string> words;
  for (std::size_t i = 0; i < 200000; ++i) words.push_back(std::to_string(i * 7919 % 100003) + "w");
  words.push_back(std::string(3 << 20, 'L'));
  words.push_back("");
  words.push_back("BZh91after");
  words.push_back("last");
  std::string list("<unk>\0", 6);
  for (const std::string &word : words) list += word + '\0';
  list.pop_back();
  util::scoped_fd file(util::MakeTemp(util::DefaultTempDirectory() + "vocab_test"));
  util::WriteOrThrow(file.get(), "junk", 4);
  util::WriteOrThrow(file.get(), list.data(), list.size());
  Recorder recorder;
  ReadWords(file.get(), &recorder, static_cast<WordIndex>(words.size() + 1), 4);
  ASSERT_EQ(words.size() + 1, recorder.calls.size());
  EXPECT_EQ((std::pair<WordIndex, std::string>(0, "<unk>")), recorder.calls[0]);
  for (std::size_t i = 0; i < words.size(); ++i) {
    ASSERT_EQ((std::pair<WordIndex, std::string>(static_cast<WordIndex>(i + 1), words[i])), recorder.calls[i + 1]);
  }
}

struct SpecialCase {
  WarnPolicy policy;
  bool stream;
  std::string expected;  // text written to the stream
};

TEST(VocabTest, MissingUnknownFollowsPolicy) {
  ExpectThrowText<SpecialWordMissingException>(
      [] {
        Config config;
        config.missing_unk_action = THROW_ERROR;
        MissingUnknown(config);
      },
      "SpecialWordMissingException", nullptr,
      "The ARPA file is missing <unk> and the model is configured to throw an exception.");

  const SpecialCase cases[] = {
      {COMPLAIN, true, "The ARPA file is missing <unk>.  Substituting log10 probability -100.\n"},
      {COMPLAIN, false, ""},
      {SILENT, true, ""},
  };
  for (const SpecialCase &c : cases) {
    std::ostringstream out;
    Config config;
    config.missing_unk_action = c.policy;
    config.message_stream = c.stream ? &out : nullptr;
    MissingUnknown(config);
    EXPECT_EQ(c.expected, out.str()) << c.policy;
  }

  std::ostringstream out;
  Config config;
  config.message_stream = &out;
  config.missing_unk_log_prob = -2.5f;
  MissingUnknown(config);
  EXPECT_EQ("The ARPA file is missing <unk>.  Substituting log10 probability -2.5.\n", out.str());
}

TEST(VocabTest, MissingSentenceMarkerFollowsPolicy) {
  ExpectThrowText<SpecialWordMissingException>(
      [] {
        Config config;
        config.missing_marker_action = THROW_ERROR;
        MissingSentenceMarker(config, "</s>");
      },
      "SpecialWordMissingException", nullptr,
      "The ARPA file is missing </s> and the model is configured to reject these models.  Run packmodel -s to "
      "disable this check.");

  const SpecialCase cases[] = {
      {COMPLAIN, true, "Missing special word <s>; will treat it as <unk>."},
      {COMPLAIN, false, ""},
      {SILENT, true, ""},
  };
  for (const SpecialCase &c : cases) {
    std::ostringstream out;
    Config config;
    config.missing_marker_action = c.policy;
    config.message_stream = c.stream ? &out : nullptr;
    MissingSentenceMarker(config, "<s>");
    EXPECT_EQ(c.expected, out.str()) << c.policy;
  }
}

}  // namespace
}  // namespace ngram
}  // namespace lm
