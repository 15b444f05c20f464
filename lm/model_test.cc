#include "lm/model.hh"

#include "lm/binary_format.hh"
#include "lm/lm_exception.hh"
#include "lm/vocab.hh"
#include "util/temp_file_for_test.hh"
#include "util/text_match_for_test.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace lm {
namespace ngram {
namespace {

using util::TempFileForTest;

// A trigram model small enough to score by hand.
const char kTrigram[] =
    "\\data\\\n"
    "ngram 1=5\n"
    "ngram 2=4\n"
    "ngram 3=2\n"
    "\n\\1-grams:\n"
    "-1.0\t<unk>\t0\n"
    "-0.5\t<s>\t-0.3\n"
    "-1.2\t</s>\n"
    "-0.7\ta\t-0.2\n"
    "-0.9\tb\t-0.4\n"
    "\n\\2-grams:\n"
    "-0.3\t<s> a\t-0.1\n"
    "-0.4\ta b\t-0.25\n"
    "-0.6\tb </s>\n"
    "-0.2\tb a\n"
    "\n\\3-grams:\n"
    "-0.05\t<s> a b\n"
    "-0.15\ta b </s>\n"
    "\n\\end\\\n";

Config Quiet() {
  Config config;
  config.message_stream = nullptr;
  return config;
}

struct Expected {
  const char *word;
  float prob;
  unsigned ngram_length;
  std::vector<const char *> state;  // most recent first
};

template <class M> void ExpectSentence(const M &model, const std::vector<Expected> &words) {
  const auto &vocab = model.GetVocabulary();
  State state = model.BeginSentenceState(), out;
  for (const Expected &expected : words) {
    SCOPED_TRACE(expected.word);
    FullScoreReturn ret = model.FullScore(state, vocab.Index(expected.word), out);
    EXPECT_NEAR(expected.prob, ret.prob, 1e-6);
    EXPECT_EQ(expected.ngram_length, ret.ngram_length);
    ASSERT_EQ(expected.state.size(), out.length);
    for (std::size_t i = 0; i < expected.state.size(); ++i) EXPECT_EQ(vocab.Index(expected.state[i]), out.words[i]);
    state = out;
  }
}

template <class M> void ExpectHandComputedScores() {
  TempFileForTest arpa(kTrigram);
  M model(arpa.Name(), Quiet());
  ExpectSentence(model, {{"a", -0.3f, 2, {"a", "<s>"}},
                         {"b", -0.05f, 3, {"b", "a"}},
                         {"</s>", -0.15f, 3, {}}});
  // Backing off charges <s>'s backoff, then b's.
  ExpectSentence(model, {{"b", -0.3f - 0.9f, 1, {"b"}},
                         {"b", -0.4f - 0.9f, 1, {"b"}},
                         {"</s>", -0.6f, 2, {}}});
  // An unknown word scores as <unk>; its zero backoff drops it from the state.
  ExpectSentence(model, {{"never-seen", -0.3f - 1.0f, 1, {}}, {"a", -0.7f, 1, {"a"}}});
}

TEST(Model, HandComputedScoresProbing) { ExpectHandComputedScores<ProbingModel>(); }
TEST(Model, HandComputedScoresRestProbing) { ExpectHandComputedScores<RestProbingModel>(); }
TEST(Model, HandComputedScoresTrie) { ExpectHandComputedScores<TrieModel>(); }
TEST(Model, HandComputedScoresArrayTrie) { ExpectHandComputedScores<ArrayTrieModel>(); }
// With far fewer values than bins, every value is its own centre.
TEST(Model, HandComputedScoresQuantTrie) { ExpectHandComputedScores<QuantTrieModel>(); }
TEST(Model, HandComputedScoresQuantArrayTrie) { ExpectHandComputedScores<QuantArrayTrieModel>(); }

TEST(Model, ReferenceStates) {
  TempFileForTest arpa(kTrigram);
  ProbingModel model(arpa.Name(), Quiet());
  EXPECT_EQ(1, model.BeginSentenceState().length);
  EXPECT_EQ(model.GetVocabulary().BeginSentenceIndex(), model.BeginSentenceState().words[0]);
  EXPECT_FLOAT_EQ(-0.3f, model.BeginSentenceState().backoff[0]);
  EXPECT_EQ(0, model.NullContextState().length);
  EXPECT_EQ(3, model.Order());
}

TEST(Model, GetStateMatchesScoringAndExtendLeftWithoutWordsChangesNothing) {
  TempFileForTest arpa(kTrigram);
  ProbingModel model(arpa.Name(), Quiet());
  const auto &vocab = model.GetVocabulary();
  const WordIndex context[] = {vocab.Index("a"), vocab.Index("<s>")};
  State state;
  model.GetState(context, context + 2, state);
  EXPECT_EQ(2, state.length);
  EXPECT_EQ(context[0], state.words[0]);
  EXPECT_EQ(context[1], state.words[1]);

  State out;
  FullScoreReturn ret = model.FullScore(model.BeginSentenceState(), vocab.Index("a"), out);
  ASSERT_EQ(2, ret.ngram_length);
  unsigned char useful = 9;
  float sink[2];
  FullScoreReturn extended =
      model.ExtendLeft(nullptr, nullptr, nullptr, ret.left_handle, ret.ngram_length, sink, useful);
  EXPECT_EQ(0.0f, extended.prob);
  EXPECT_EQ(0, useful);
}

// Loads `text` as ARPA through LoadVirtual and returns the error text.
template <class E> std::string LoadError(const std::string &text, Config config = Quiet(),
                                         ModelType type = PROBING) {
  TempFileForTest arpa(text);
  try {
    delete LoadVirtual(arpa.Name(), config, type);
  } catch (const E &e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception for\n" << text;
  return "";
}

std::string ArpaOfOrder(unsigned order) {
  std::string text = "\\data\\\n";
  for (unsigned n = 1; n <= order; ++n) text += "ngram " + std::to_string(n) + "=1\n";
  return text;
}

TEST(ModelErrors, OrderLimits) {
  const std::string max = std::to_string(QUARN_MAX_ORDER);
  const std::string above = std::to_string(QUARN_MAX_ORDER + 1);
  std::string seven = LoadError<FormatLoadException>(ArpaOfOrder(QUARN_MAX_ORDER + 1) + "\n");
  EXPECT_NE(std::string::npos,
            seven.find("This model has order " + above + " but Quarn was compiled to support up to " + max + ".  "));
  EXPECT_NE(std::string::npos, seven.find("counts.size() > " + max));
  EXPECT_NE(std::string::npos, seven.find("edit lm/max_order. Byte: "));

  std::string one = LoadError<FormatLoadException>(ArpaOfOrder(1) + "\n");
  EXPECT_NE(std::string::npos, one.find("This ngram implementation assumes at least a bigram model. Byte: 18"));
}

TEST(ModelErrors, ProbingMultiplierMustExceedOne) {
  Config config = Quiet();
  config.probing_multiplier = 1.0f;
  std::string what = LoadError<ConfigException>(kTrigram, config);
  EXPECT_NE(std::string::npos, what.find("probing multiplier must be > 1.0 Byte: "));
}

TEST(ModelErrors, UnknownLoadMethod) {
  Config config = Quiet();
  config.load_method = static_cast<util::LoadMethod>(7);
  EXPECT_NE(std::string::npos, LoadError<ConfigException>(kTrigram, config).find("Unknown load method 7"));
}

TEST(ModelErrors, MissingFileFailsWhileRecognizing) {
  try {
    delete LoadVirtual("/nonexistent/quarn/model.arpa", Quiet());
    FAIL();
  } catch (const util::ErrnoException &e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("while opening /nonexistent/quarn/model.arpa"));
  }
}

TEST(ModelErrors, UnknownModelTypeIsRefused) {
  EXPECT_NE(std::string::npos,
            LoadError<FormatLoadException>(kTrigram, Quiet(), static_cast<ModelType>(9)).find("Confused by model type 9"));
}

TEST(ModelErrors, MissingSentenceMarkerThrowsByDefault) {
  std::string text = kTrigram;
  text.replace(text.find("-0.5\t<s>"), 8, "-0.5\t<q>");
  text.replace(text.find("<s> a\t"), 4, "<q> ");
  text.replace(text.find("<s> a b"), 4, "<q> ");
  std::string what = LoadError<SpecialWordMissingException>(text);
  EXPECT_NE(std::string::npos, what.find("The ARPA file is missing <s> and the model is configured to reject"));
}

// Writes kTrigram's binary file of `type` at `binary`.
void WriteBinary(const TempFileForTest &binary, ModelType type, bool keep_words = true) {
  TempFileForTest arpa(kTrigram);
  Config config = Quiet();
  config.binary_output_path = binary.Name();
  config.binary_keeps_words = keep_words;
  delete LoadVirtual(arpa.Name(), config, type);
}

template <class E> std::string BinaryLoadError(const TempFileForTest &binary, const Config &config = Quiet()) {
  try {
    delete LoadVirtual(binary.Name(), config);
  } catch (const E &e) {
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return "";
}

TEST(ModelBinary, LoadsAsTheRecordedType) {
  TempFileForTest binary, trie;
  WriteBinary(binary, REST_PROBING);
  ModelType recognized = PROBING;
  EXPECT_TRUE(RecognizeBinary(binary.Name(), recognized));
  EXPECT_EQ(REST_PROBING, recognized);
  std::unique_ptr<base::Model> model(LoadVirtual(binary.Name(), Quiet(), PROBING));
  EXPECT_NE(nullptr, dynamic_cast<RestProbingModel *>(model.get()));

  WriteBinary(trie, TRIE);
  model.reset(LoadVirtual(trie.Name(), Quiet(), PROBING));
  EXPECT_NE(nullptr, dynamic_cast<TrieModel *>(model.get()));
  try {
    ProbingModel wrong(trie.Name(), Quiet());
    FAIL();
  } catch (const FormatLoadException &e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("The binary file was built for trie but the inference "
                                                            "code is trying to load probing hash tables"));
  }

  try {
    ProbingModel wrong(binary.Name(), Quiet());
    FAIL();
  } catch (const FormatLoadException &e) {
    EXPECT_NE(std::string::npos,
              std::string(e.what()).find("The binary file was built for probing hash tables with rest costs but the "
                                         "inference code is trying to load probing hash tables"));
  }
}

TEST(ModelBinary, DefectiveFiles) {
  TempFileForTest binary;
  WriteBinary(binary, PROBING);
  const std::string good = binary.Read();

  std::string recorded_trie = good;
  recorded_trie[96] = TRIE;
  binary.Write(recorded_trie);
  EXPECT_NE(std::string::npos, BinaryLoadError<FormatLoadException>(binary).find("trie"));

  std::string unknown_type = good;
  unknown_type[96] = 7;
  binary.Write(unknown_type);
  EXPECT_NE(std::string::npos, BinaryLoadError<FormatLoadException>(binary).find("Confused by model type 7"));

  binary.Write(good.substr(0, good.size() / 2));
  EXPECT_NE(std::string::npos, BinaryLoadError<FormatLoadException>(binary).find("Binary file has size "));

  std::string incomplete = good;
  incomplete.replace(8 + 25, 20, " incomplete\n");
  binary.Write(incomplete);
  EXPECT_NE(std::string::npos,
            BinaryLoadError<FormatLoadException>(binary).find("This binary file did not finish building"));

  // A binary file whose magic is damaged is not binary: it reaches the ARPA
  // reader, which says what it is.
  std::string damaged_magic = good;
  damaged_magic[20] = 'X';
  binary.Write(damaged_magic);
  EXPECT_NE(std::string::npos, BinaryLoadError<FormatLoadException>(binary).find("first non-empty line was"));
}

class CollectWords : public EnumerateVocab {
 public:
  void Add(WordIndex index, const StringPiece &word) override { words.push_back(std::to_string(index) + word.as_string()); }
  std::vector<std::string> words;
};

TEST(ModelBinary, VocabularyStrings) {
  TempFileForTest with_words, without_words;
  WriteBinary(with_words, PROBING, true);
  WriteBinary(without_words, PROBING, false);

  CollectWords collect;
  Config config = Quiet();
  config.enumerate_vocab = &collect;
  ProbingModel model(with_words.Name(), config);
  EXPECT_EQ((std::vector<std::string>{"0<unk>", "1<s>", "2</s>", "3a", "4b"}), collect.words);

  // The trie numbers words by hash; the list follows its identifiers.
  TempFileForTest trie;
  WriteBinary(trie, TRIE, true);
  CollectWords trie_words;
  config.enumerate_vocab = &trie_words;
  TrieModel trie_model(trie.Name(), config);
  ASSERT_EQ(5u, trie_words.words.size());
  for (const char *word : {"<unk>", "<s>", "</s>", "a", "b"})
    EXPECT_EQ(std::to_string(trie_model.GetVocabulary().Index(word)) + word,
              trie_words.words[trie_model.GetVocabulary().Index(word)]);

  EXPECT_NE(std::string::npos,
            BinaryLoadError<FormatLoadException>(without_words, config)
                .find("The decoder requested all the vocabulary strings, but this binary file does not have them."));
}

// A word that begins with a compression signature, chosen so that it is the
// first word of the stored list after <unk> in both vocabularies: first
// after <unk> in the ARPA file (the probing order) and lowest in hash (the
// trie's order).
std::string FirstStoredWord(const std::string &signature) {
  const uint64_t markers = std::min(detail::HashForVocab("<s>", 3), detail::HashForVocab("</s>", 4));
  for (uint64_t suffix = 0;; ++suffix) {
    const std::string word = signature + std::to_string(suffix);
    if (detail::HashForVocab(word) < markers) return word;
  }
}

TEST(ModelBinary, WordListStartingWithACompressionSignatureReadsBack) {
  // gzip, bzip2 and xz: the word's NUL completes the xz signature.
  const std::string signatures[] = {"\x1f\x8b", "BZh91", std::string("\xfd" "7zXZ")};
  for (const std::string &signature : signatures) {
    const std::string word = FirstStoredWord(signature);
    const TempFileForTest arpa("\\data\\\nngram 1=4\nngram 2=1\n\n\\1-grams:\n-1.0\t<unk>\n-0.5\t" + word +
                               "\t-0.3\n-99\t<s>\t-0.2\n-1.2\t</s>\n\n\\2-grams:\n-0.3\t<s> " + word +
                               "\n\n\\end\\\n");
    for (ModelType type : {PROBING, TRIE}) {
      SCOPED_TRACE(word + " " + std::to_string(type));
      TempFileForTest binary;
      Config config = Quiet();
      config.binary_output_path = binary.Name();
      delete LoadVirtual(arpa.Name(), config, type);
      CollectWords collect;
      config = Quiet();
      config.enumerate_vocab = &collect;
      std::unique_ptr<base::Model> model(LoadVirtual(binary.Name(), config));
      ASSERT_EQ(4u, collect.words.size());
      EXPECT_EQ("1" + word, collect.words[1]);
    }
  }
}

// CheckBuildConfig refuses what building refuses, and only that.
TEST(ModelBuild, CheckBuildConfigAgreesWithBuilding) {
  const struct {
    float multiplier;
    uint8_t prob_bits, backoff_bits;
    ModelType type;
    const char *refusal;  // null: accepted
  } cases[] = {
      {1.5f, 8, 8, PROBING, nullptr},
      {1.0f, 8, 8, PROBING, "probing multiplier must be > 1.0"},
      {0.5f, 8, 8, TRIE, "probing multiplier must be > 1.0"},
      {300.0f, 8, 8, REST_PROBING, "probing multiplier must be at most 256"},
      {1.5f, 40, 8, TRIE, nullptr},
      {1.5f, 40, 8, QUANT_TRIE, "quantizing probability supports at most 25 bits"},
      {1.5f, 8, 0, QUANT_ARRAY_TRIE, "You can't quantize backoff to zero"},
      {1.5f, 25, 25, QUANT_ARRAY_TRIE, nullptr},
  };
  const TempFileForTest arpa(kTrigram);
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.multiplier) + " " + std::to_string(c.type));
    Config config = Quiet();
    config.probing_multiplier = c.multiplier;
    config.quant_prob_bits = c.prob_bits;
    config.quant_backoff_bits = c.backoff_bits;
    std::string checked, built;
    try {
      CheckBuildConfig(config, c.type);
    } catch (const ConfigException &e) {
      checked = e.what();
    }
    try {
      delete LoadVirtual(arpa.Name(), config, c.type);
    } catch (const ConfigException &e) {
      built = e.what();
    }
    if (!c.refusal) {
      EXPECT_EQ("", checked);
      EXPECT_EQ("", built);
      continue;
    }
    EXPECT_NE(std::string::npos, checked.find(c.refusal)) << checked;
    EXPECT_NE(std::string::npos, built.find(c.refusal)) << built;
  }
}

TEST(ModelBuild, RefusesABinaryOutputThatIsTheInput) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("quarn_same_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path arpa = dir / "model.arpa";
  { std::ofstream(arpa) << kTrigram; }
  std::filesystem::create_symlink(arpa, dir / "link");
  std::filesystem::create_hard_link(arpa, dir / "hard");
  for (const std::filesystem::path &output : {arpa, dir / "link", dir / "hard", dir / "." / "model.arpa"}) {
    for (ModelType type : {PROBING, TRIE}) {
      for (Config::WriteMethod method : {Config::WRITE_WHEN_DONE, Config::WRITE_IN_PLACE}) {
        SCOPED_TRACE(output.string() + " " + std::to_string(type) + " " + std::to_string(method));
        Config config = Quiet();
        config.binary_output_path = output.c_str();
        config.binary_write_mode = method;
        try {
          delete LoadVirtual(arpa.c_str(), config, type);
          ADD_FAILURE() << "no exception";
        } catch (const ConfigException &e) {
          EXPECT_NE(std::string::npos, std::string(e.what()).find("is the ARPA file " + arpa.string() + " being read"));
        }
        std::ifstream in(arpa);
        EXPECT_EQ(kTrigram, std::string(std::istreambuf_iterator<char>(in), {}));
      }
    }
  }
  std::filesystem::remove_all(dir);
}

TEST(ModelNotices, ArpaComplaint) {
  struct Case {
    Config::ARPALoadComplain complain;
    ModelType type;
    bool writing;
    const char *expected;
  } cases[] = {
      {Config::ALL, PROBING, false, "Loading the LM will be faster if you build a binary file.\n"},
      {Config::ALL, PROBING, true, ""},
      {Config::EXPENSIVE, PROBING, false, ""},
      {Config::EXPENSIVE, TRIE, false, "Building trie from ARPA is expensive.  Save time by building a binary format.\n"},
      {Config::EXPENSIVE, TRIE, true, ""},
      {Config::NONE, REST_PROBING, false, ""},
  };
  TempFileForTest arpa(kTrigram), binary;
  for (const Case &c : cases) {
    std::ostringstream messages;
    Config config;
    config.show_progress = false;
    config.message_stream = &messages;
    config.arpa_complain = c.complain;
    if (c.writing) config.binary_output_path = binary.Name();
    delete LoadVirtual(arpa.Name(), config, c.type);
    EXPECT_EQ(c.expected, messages.str());
  }
}

TEST(ModelNotices, MissingUnknownGetsConfiguredProbability) {
  std::string text = kTrigram;
  text.replace(text.find("ngram 1=5"), 9, "ngram 1=4");
  text.erase(text.find("-1.0\t<unk>\t0\n"), 12);
  std::ostringstream messages;
  Config config;
  config.show_progress = false;
  config.arpa_complain = Config::NONE;
  config.message_stream = &messages;
  config.missing_unk_log_prob = -42.0f;
  TempFileForTest arpa(text);
  ProbingModel model(arpa.Name(), config);
  EXPECT_EQ("The ARPA file is missing <unk>.  Substituting log10 probability -42.\n", messages.str());
  State out;
  FullScoreReturn ret = model.FullScore(model.NullContextState(), 0, out);
  EXPECT_EQ(-42.0f, ret.prob);
  EXPECT_EQ(0.0f, out.backoff[0]);
}

// Hostile input.  Each case below once crashed, hung, read or wrote outside
// its memory, or answered wrongly; now it fails with a library exception or
// answers right.

TEST(ModelHostile, ImpossibleCountsAreRefusedByEveryType) {
  const struct {
    std::string text;
    const char *message;
  } kCases[] = {
      // A sign once wrapped to an enormous count.
      {"\\data\\\nngram 1=2\nngram 2=-8\n\n", "Bad count -8"},
      {"\\data\\\nngram 1=2\nngram 2=100000000000000000\n\n",
       "The model claims 100000000000000000 2-grams but at most 17592186044416 are supported"},
      // More entries than the file has bytes for.
      {"\\data\\\nngram 1=100000000\nngram 2=1\n\n",
       "The ARPA header claims 100000001 n-grams, more than a file of 36 bytes can hold"},
  };
  for (const auto &c : kCases) {
    for (ModelType type : kAllModelTypes) {
      SCOPED_TRACE(std::string(kModelNames[type]) + ": " + c.text);
      EXPECT_NE(std::string::npos, LoadError<FormatLoadException>(c.text, Quiet(), type).find(c.message));
    }
  }
}

// The header of a binary file of `type` with one field replaced.
std::string PatchedBinary(ModelType type, std::size_t offset, const void *value, std::size_t size) {
  TempFileForTest binary;
  WriteBinary(binary, type);
  std::string bytes = binary.Read();
  bytes.replace(offset, size, static_cast<const char *>(value), size);
  return bytes;
}

TEST(ModelHostile, DamagedHeadersAreRefused) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), huge = 1e30f;
  const uint64_t enormous = uint64_t{1} << 60, large = uint64_t{1} << 40;
  const std::size_t multiplier = kFixedParametersOffset + offsetof(FixedParameters, probing_multiplier);
  const std::size_t bigrams = kCountsOffset + 8;
  const struct {
    std::size_t offset;
    const void *value;
    std::size_t size;
    const char *message;
  } kCases[] = {
      {multiplier, &nan, 4, "probing multiplier of NaN which is not a number of at most 256."},
      {multiplier, &huge, 4, "probing multiplier of 1e30 which is not a number of at most 256."},
      {bigrams, &enormous, 8, "The model claims 1152921504606846976 2-grams but at most 17592186044416"},
      // Sizes that fit the arithmetic meet the file-size check.
      {bigrams, &large, 8, "but the headers say it should be at least"},
  };
  TempFileForTest damaged;
  for (ModelType type : kAllModelTypes) {
    for (const auto &c : kCases) {
      SCOPED_TRACE(std::string(kModelNames[type]) + ": " + c.message);
      damaged.Write(PatchedBinary(type, c.offset, c.value, c.size));
      EXPECT_NE(std::string::npos, BinaryLoadError<FormatLoadException>(damaged).find(c.message));
    }
  }
}

TEST(ModelHostile, EmptyWordIsUnknown) {
  TempFileForTest arpa(kTrigram), binary;
  for (ModelType type : kAllModelTypes) {
    SCOPED_TRACE(kModelNames[type]);
    std::unique_ptr<base::Model> model(LoadVirtual(arpa.Name(), Quiet(), type));
    EXPECT_EQ(0u, model->VocabularyView().Index(""));
  }
  // The empty word hashes to the key of a free bucket, so a free bucket's
  // identifier must be checked like every other.
  WriteBinary(binary, PROBING);
  std::string bytes = binary.Read();
  const std::size_t buckets = TotalHeaderSize(3) + sizeof(ProbingVocabularyHeader);
  std::size_t free_bucket = buckets;
  while (bytes.substr(free_bucket, 8) != std::string(8, '\0')) free_bucket += sizeof(ProbingVocabularyEntry);
  const WordIndex beyond = 1000;
  bytes.replace(free_bucket + 8, 4, reinterpret_cast<const char *>(&beyond), 4);
  binary.Write(bytes);
  EXPECT_NE(std::string::npos, BinaryLoadError<FormatLoadException>(binary).find(
                                   "The binary file's vocabulary is damaged: word identifier 1000 is not below the "
                                   "bound 5"));
}

TEST(ModelHostile, EndlessLinesAreRefusedWithShortMessages) {
  // A sparse file of zeros is mapped; /dev/zero is read.
  TempFileForTest zeros;
  {
    util::scoped_fd fd(util::CreateOrThrow(zeros.Name()));
    util::ResizeOrThrow(fd.get(), uint64_t{1} << 30);
  }
  for (const char *name : {zeros.Name(), "/dev/zero"}) {
    SCOPED_TRACE(name);
    try {
      ProbingModel model(name, Quiet());
      ADD_FAILURE() << "no exception";
    } catch (const util::Exception &e) {
      const std::string what = e.what();
      // The position is said once, by the load.
      EXPECT_TRUE(util::EndsWith(what, " is longer than 268435456 bytes Byte: 0")) << what;
      EXPECT_LT(what.size(), 1000u);
    }
  }
}

TEST(ModelHostile, UnusableFilesAreNamed) {
  char dir[] = "/tmp/quarn_test_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  TempFileForTest empty(""), text("hello world\n"), blank(" \n\n");
  const struct {
    const char *name;
    const char *message;
  } kCases[] = {
      {dir, " is a directory, not a language model file."},
      {empty.Name(), " is empty: it is neither an ARPA file nor a binary model."},
      {text.Name(), "first non-empty line was \"hello world\" not \\data\\. Byte: "},
      {blank.Name(), "The file has no \\data\\ line: it is neither an ARPA file nor a binary model."},
  };
  for (const auto &c : kCases) {
    for (ModelType type : {PROBING, TRIE}) {
      SCOPED_TRACE(c.message);
      try {
        delete LoadVirtual(c.name, Quiet(), type);
        ADD_FAILURE() << "no exception";
      } catch (const FormatLoadException &e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find(c.message)) << e.what();
      }
    }
  }
  rmdir(dir);
}

TEST(ModelHostile, EmptyContextMayBeNullPointers) {
  TempFileForTest arpa(kTrigram);
  TrieModel model(arpa.Name(), Quiet());
  State forgot, scored;
  const WordIndex a = model.GetVocabulary().Index("a");
  const FullScoreReturn ret = model.FullScoreForgotState(nullptr, nullptr, a, forgot);
  EXPECT_EQ(model.FullScore(model.NullContextState(), a, scored).prob, ret.prob);
  EXPECT_EQ(scored, forgot);
  State got;
  model.GetState(nullptr, nullptr, got);
  EXPECT_EQ(0, got.length);
}

// Text without the unigram <unk> may still hold n-grams that end in it; the
// substituted <unk> must not hide them.
TEST(ModelHostile, MissingUnknownKeepsNGramsEndingInIt) {
  std::string text = kTrigram;
  text.replace(text.find("ngram 1=5"), 9, "ngram 1=4");
  text.replace(text.find("ngram 2=4"), 9, "ngram 2=5");
  text.erase(text.find("-1.0\t<unk>\t0\n"), 12);
  text.insert(text.find("\\3-grams:") - 1, "-0.25\t<s> <unk>\n");
  TempFileForTest arpa(text);
  for (ModelType type : kAllModelTypes) {
    SCOPED_TRACE(kModelNames[type]);
    std::unique_ptr<base::Model> model(LoadVirtual(arpa.Name(), Quiet(), type));
    State out;
    const FullScoreReturn ret = model->BaseFullScore(model->BeginSentenceRecord(), 0, &out);
    EXPECT_EQ(2, ret.ngram_length);
    if (!IsQuantized(type)) {
      EXPECT_EQ(-0.25f, ret.prob);
    }
  }
}

// The inputs the fuzz targets once failed on (fuzz/regressions), loaded as
// every type here too, so that the sanitizer builds of the suite see them.
TEST(ModelHostile, FuzzFindingsLoadOrFailCleanly) {
  std::size_t replayed = 0;
  for (const char *kind : {"fuzz/regressions/arpa", "fuzz/regressions/binary"}) {
    for (const auto &entry : std::filesystem::directory_iterator(kind)) {
      if (!entry.is_regular_file() || entry.file_size() == 0) continue;
      ++replayed;
      for (ModelType type : kAllModelTypes) {
        SCOPED_TRACE(entry.path().string() + " as " + kModelNames[type]);
        try {
          std::unique_ptr<base::Model> model(LoadVirtual(entry.path().c_str(), Quiet(), type));
          State state, out;
          model->BeginSentenceWrite(&state);
          for (const char *word : {"a", "b", "c", "d", "<unk>", "", "</s>"}) {
            model->BaseFullScore(&state, model->VocabularyView().Index(word), &out);
            state = out;
          }
        } catch (const util::Exception &) {
        }
      }
    }
  }
  EXPECT_GE(replayed, 2u);
}

// Damaged models must load or fail with a library exception: never crash,
// hang, or read outside the model.
TEST(ModelRobustness, DamagedFilesFailCleanly) {
  TempFileForTest binary, damaged;
  WriteBinary(binary, PROBING);
  const std::string sources[] = {kTrigram, binary.Read()};
  std::mt19937 rng(5);
  for (const std::string &source : sources) {
    for (int trial = 0; trial < 300; ++trial) {
      std::string bytes = source;
      if (trial % 3 == 0) {
        bytes.resize(std::uniform_int_distribution<std::size_t>(0, bytes.size())(rng));
      } else {
        for (int flips = 0; flips < 3; ++flips)
          bytes[std::uniform_int_distribution<std::size_t>(0, bytes.size() - 1)(rng)] =
              static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
      }
      damaged.Write(bytes);
      try {
        std::unique_ptr<base::Model> model(LoadVirtual(damaged.Name(), Quiet()));
        const auto &vocab = model->VocabularyView();
        State state, out;
        model->BeginSentenceWrite(&state);
        for (const char *word : {"a", "b", "<s>", "zz", "</s>"}) {
          model->BaseScore(&state, vocab.Index(word), &out);
          state = out;
        }
      } catch (const util::Exception &) {
      }
    }
  }
}

}  // namespace
}  // namespace ngram
}  // namespace lm
