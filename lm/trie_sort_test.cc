#include "lm/trie_sort.hh"

#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/read_arpa.hh"
#include "lm/sorted_vocab.hh"
#include "lm/weights.hh"
#include "util/file.hh"
#include "util/file_piece.hh"
#include "util/temp_file_for_test.hh"
#include "util/text_match_for_test.hh"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace ngram {
namespace trie {
namespace {

Config QuietConfig() {
  Config config;
  config.message_stream = nullptr;
  return config;
}

// A fresh directory for the temporary files, removed with its contents.
class TempDirectory {
 public:
  TempDirectory() {
    char name[] = "/tmp/quarn_sort_XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDirectory() { std::filesystem::remove_all(path_); }

  std::string Prefix() const { return path_ + "/sort"; }
  bool Empty() const { return std::filesystem::is_empty(path_); }

 private:
  std::string path_;
};

// The ARPA text in a file, its counts and a sorted vocabulary over zeroed
// memory: everything SortedFiles needs.  Build() sorts the rest of the text.
class SortFixture {
 public:
  explicit SortFixture(const std::string &arpa, Config config = QuietConfig())
      : config_(config), file_(arpa), reader_(file_.Name()) {
    ReadARPACounts(reader_, counts);
    vocab_memory_.resize(SortedVocabulary::Size(counts[0], config_) / sizeof(uint64_t), 0);
    vocab.SetupMemory(vocab_memory_.data(), vocab_memory_.size() * sizeof(uint64_t), counts[0], config_);
  }

  SortedFiles &Build(std::size_t buffer = 1 << 20) { return Build(buffer, directory_.Prefix()); }
  SortedFiles &Build(std::size_t buffer, const std::string &prefix) {
    files_.reset(new SortedFiles(config_, reader_, counts, buffer, prefix, vocab));
    return *files_;
  }

  // The identifiers of `text`'s words, most recent first, as records hold them.
  std::vector<WordIndex> Reversed(const std::string &text) const {
    std::istringstream words(text);
    std::vector<WordIndex> ret;
    for (std::string word; words >> word;) ret.insert(ret.begin(), vocab.Index(word));
    return ret;
  }

  const TempDirectory &Directory() const { return directory_; }

  std::vector<uint64_t> counts;
  SortedVocabulary vocab;

 private:
  Config config_;
  TempDirectory directory_;
  util::TempFileForTest file_;
  util::FilePiece reader_;
  std::vector<uint64_t> vocab_memory_;
  std::unique_ptr<SortedFiles> files_;
};

// The whole contents of a stream (null: nothing).
std::string Contents(std::FILE *file) {
  std::string ret;
  if (!file) return ret;
  std::rewind(file);
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof(buffer), file));) ret.append(buffer, got);
  return ret;
}

std::string Contents(int fd) {
  util::scoped_fd owned(fd);
  std::string ret(util::SizeOrThrow(fd), '\0');
  util::ErsatzPRead(fd, ret.data(), ret.size(), 0);
  return ret;
}

template <class T> std::string Bytes(const T &value) {
  return std::string(reinterpret_cast<const char *>(&value), sizeof(T));
}

std::string Bytes(const std::vector<WordIndex> &words) {
  return std::string(reinterpret_cast<const char *>(words.data()), words.size() * sizeof(WordIndex));
}

const char kBigrams[] =
    "\\data\\\n"
    "ngram 1=7\n"
    "ngram 2=3\n"
    "\n"
    "\\1-grams:\n"
    "-2.0\t<unk>\n"
    "-1.0\t<s>\t-0.5\n"
    "-1.5\t</s>\n"
    "-1.25\ta\t-0.25\n"
    "-1.75\tb\n"
    "-2.25\tc\t-0.75\n"
    "-2.5\td\n"
    "\n"
    "\\2-grams:\n"
    "-0.1\ta b\n"
    "-0.2\tc b\n"
    "-0.3\ta d\n"
    "\n"
    "\\end\\\n";

TEST(SortedFiles, SortsRecordsNewestWordFirstAndListsEachContextOnce) {
  SortFixture fixture(kBigrams);
  SortedFiles &files = fixture.Build();

  // Records (b, a), (b, c), (d, a) in identifier order; ties on the newest
  // word are broken by the older one.
  struct Record {
    std::vector<WordIndex> words;
    float prob;
  };
  std::vector<Record> records = {
      {fixture.Reversed("a b"), -0.1f}, {fixture.Reversed("c b"), -0.2f}, {fixture.Reversed("a d"), -0.3f}};
  std::sort(records.begin(), records.end(), [](const Record &x, const Record &y) { return x.words < y.words; });
  std::string expected;
  for (const Record &record : records) expected += Bytes(record.words) + Bytes(Prob{record.prob});
  EXPECT_EQ(expected, Contents(files.FullFile(2)));

  std::vector<WordIndex> contexts = {fixture.vocab.Index("a"), fixture.vocab.Index("c")};
  std::sort(contexts.begin(), contexts.end());
  EXPECT_EQ(Bytes(contexts), Contents(files.ContextFile(2)));

  EXPECT_EQ(7u, fixture.counts[0]) << "the text has <unk>";
  const std::string unigrams = Contents(files.TakeUnigramFile());
  ASSERT_EQ(8u * 8u, unigrams.size());
  EXPECT_EQ(Bytes(ProbBackoff{-2.0f, -0.0f}), unigrams.substr(0, 8));
  EXPECT_EQ(Bytes(ProbBackoff{-1.25f, -0.25f}), unigrams.substr(8 * fixture.vocab.Index("a"), 8));
  EXPECT_EQ(Bytes(ProbBackoff{-2.5f, -0.0f}), unigrams.substr(8 * fixture.vocab.Index("d"), 8));
}

// An ARPA text of order 4 over `words` words "w0", "w1", ... with
// `per_order` (fewer than words squared) distinct n-grams in each higher
// order, in random order, and the files those n-grams should sort into.
// Probabilities and backoffs are all different.
class GeneratedModel {
 public:
  static constexpr unsigned char kOrder = 4;

  GeneratedModel(unsigned words, std::size_t per_order) {
    std::mt19937 generator(42);
    std::uniform_int_distribution<unsigned> word(0, words - 1);
    std::ostringstream out;
    out << "\\data\\\nngram 1=" << words + 3 << '\n';
    for (int n = 2; n <= kOrder; ++n) out << "ngram " << n << '=' << per_order << '\n';
    out << "\n\\1-grams:\n-1\t<unk>\n-1\t<s>\t-1\n-1\t</s>\n";
    for (unsigned w = 0; w < words; ++w) out << "-1\tw" << w << "\t-0.5\n";
    // Quarters print exactly.
    float weight = 0.0f;
    for (int n = 2; n <= kOrder; ++n) {
      out << "\n\\" << n << "-grams:\n";
      std::set<std::vector<unsigned>> seen;
      while (seen.size() < per_order) {
        std::vector<unsigned> gram;
        for (int i = 0; i < n; ++i) gram.push_back(word(generator));
        if (!seen.insert(gram).second) continue;
        std::string text;
        for (unsigned w : gram) text += " w" + std::to_string(w);
        const ProbBackoff weights{weight -= 0.25f, weight -= 0.25f};
        out << weights.prob << text;
        if (n < kOrder) out << '\t' << weights.backoff;
        out << '\n';
        grams_[n - 2].push_back({text, weights});
      }
    }
    out << "\n\\end\\\n";
    text_ = out.str();
  }

  const std::string &Text() const { return text_; }

  // The full file of order n: records sorted by their words.
  std::string Full(const SortFixture &fixture, unsigned char n) const {
    std::vector<std::pair<std::vector<WordIndex>, ProbBackoff>> records;
    for (const Gram &gram : grams_[n - 2]) records.push_back({fixture.Reversed(gram.text), gram.weights});
    std::sort(records.begin(), records.end(), [](const auto &x, const auto &y) { return x.first < y.first; });
    std::string ret;
    for (const auto &[words, weights] : records)
      ret += Bytes(words) + (n == kOrder ? Bytes(Prob{weights.prob}) : Bytes(weights));
    return ret;
  }

  // The context file of order n: distinct contexts in identifier order.
  std::string Contexts(const SortFixture &fixture, unsigned char n) const {
    std::set<std::vector<WordIndex>> contexts;
    for (const Gram &gram : grams_[n - 2]) {
      const std::vector<WordIndex> words = fixture.Reversed(gram.text);
      contexts.emplace(words.begin() + 1, words.end());
    }
    std::string ret;
    for (const std::vector<WordIndex> &context : contexts) ret += Bytes(context);
    return ret;
  }

 private:
  struct Gram {
    std::string text;
    ProbBackoff weights;
  };

  std::string text_;
  std::vector<Gram> grams_[kOrder - 1];
};

class RunsTest : public testing::TestWithParam<std::size_t> {};

// 1 MiB holds every order in one run; 64 bytes hold three or four records,
// which makes about a hundred runs per order to merge.
INSTANTIATE_TEST_SUITE_P(Buffers, RunsTest, testing::Values(std::size_t(1) << 20, std::size_t(64)));

TEST_P(RunsTest, FilesHoldTheSortedRecordsAndDistinctContexts) {
  const GeneratedModel model(40, 300);
  SortFixture fixture(model.Text());
  SortedFiles &files = fixture.Build(GetParam());
  for (unsigned char n = 2; n <= GeneratedModel::kOrder; ++n) {
    EXPECT_EQ(model.Full(fixture, n), Contents(files.FullFile(n))) << "order " << int(n);
    EXPECT_EQ(model.Contexts(fixture, n), Contents(files.ContextFile(n))) << "order " << int(n);
  }
  const std::string unigrams = Contents(files.TakeUnigramFile());
  ASSERT_EQ(44u * 8u, unigrams.size());
  EXPECT_EQ(Bytes(ProbBackoff{-1.0f, -0.5f}), unigrams.substr(8 * fixture.vocab.Index("w7"), 8));
}

TEST(SortedFiles, DuplicateIsRefusedWithItsIdentifiers) {
  const std::string text =
      "\\data\\\nngram 1=5\nngram 2=1\nngram 3=6\n\n"
      "\\1-grams:\n-1\t<s>\t-1\n-1\t</s>\n-1\ta\t-1\n-1\tb\t-1\n-1\tc\n\n"
      "\\2-grams:\n-1\ta b\t-1\n\n"
      "\\3-grams:\n-1\ta b c\n-1\tb a c\n-1\tc a b\n-1\tb b b\n-1\tc c c\n-1\ta b c\n\n"
      "\\end\\\n";
  // 16-byte trigram records: four to a 64-byte batch put the two copies of
  // "a b c" in different runs; 1 MiB puts them in one batch.
  for (std::size_t buffer : {std::size_t(64), std::size_t(1) << 20}) {
    SortFixture fixture(text);
    try {
      fixture.Build(buffer);
      ADD_FAILURE() << "the duplicate was not detected with a buffer of " << buffer;
    } catch (const FormatLoadException &e) {
      std::ostringstream expected;
      expected << "Duplicate n-gram detected with vocab ids";
      for (WordIndex id : fixture.Reversed("a b c")) expected << ' ' << id;
      EXPECT_EQ(expected.str(), e.what());
    }
    EXPECT_TRUE(fixture.Directory().Empty());
  }
}

TEST(SortedFiles, TextWithoutUnknownLeavesRecordZeroBlankAndCountsIt) {
  SortFixture fixture(
      "\\data\\\nngram 1=3\nngram 2=1\n\n"
      "\\1-grams:\n-1\t<s>\t-1\n-2\t</s>\n-3\ta\t-1\n\n"
      "\\2-grams:\n-1\t<s> a\n\n"
      "\\end\\\n");
  SortedFiles &files = fixture.Build();
  EXPECT_EQ(4u, fixture.counts[0]);
  const std::string unigrams = Contents(files.TakeUnigramFile());
  ASSERT_EQ(4u * 8u, unigrams.size());
  EXPECT_EQ(std::string(8, '\0'), unigrams.substr(0, 8));
  EXPECT_EQ(Bytes(ProbBackoff{-3.0f, -1.0f}), unigrams.substr(8 * fixture.vocab.Index("a"), 8));
}

struct MissingWordCase {
  const char *unigrams;
  WarnPolicy Config::*policy;
  const char *message;
};

class MissingWordTest : public testing::TestWithParam<MissingWordCase> {};

INSTANTIATE_TEST_SUITE_P(
    Words, MissingWordTest,
    testing::Values(MissingWordCase{"-1\t<s>\n-1\t</s>\n", &Config::missing_unk_action, "missing <unk>"},
                    MissingWordCase{"-1\t<unk>\n-1\t</s>\n", &Config::missing_marker_action, "missing <s>"},
                    MissingWordCase{"-1\t<unk>\n-1\t<s>\n", &Config::missing_marker_action, "missing </s>"}));

TEST_P(MissingWordTest, PolicyThrowErrorRefusesTheText) {
  Config config = QuietConfig();
  config.*GetParam().policy = THROW_ERROR;
  SortFixture fixture(std::string("\\data\\\nngram 1=2\nngram 2=0\n\n\\1-grams:\n") + GetParam().unigrams +
                          "\n\\2-grams:\n\n\\end\\\n",
                      config);
  try {
    fixture.Build();
    FAIL() << "nothing thrown";
  } catch (const SpecialWordMissingException &e) {
    EXPECT_TRUE(util::Contains(e.what(), GetParam().message)) << e.what();
  }
}

TEST(SortedFiles, OrderWithoutNGramsHasNoFiles) {
  SortFixture fixture(
      "\\data\\\nngram 1=3\nngram 2=1\nngram 3=0\n\n"
      "\\1-grams:\n-1\t<s>\t-1\n-1\t</s>\n-1\t<unk>\t-1\n\n"
      "\\2-grams:\n-1\t<s> </s>\n\n"
      "\\3-grams:\n\n"
      "\\end\\\n");
  SortedFiles &files = fixture.Build();
  EXPECT_NE(nullptr, files.FullFile(2));
  EXPECT_NE(nullptr, files.ContextFile(2));
  EXPECT_EQ(nullptr, files.FullFile(3));
  EXPECT_EQ(nullptr, files.ContextFile(3));
}

TEST(SortedFiles, TemporaryFilesHaveNoNames) {
  SortFixture fixture(GeneratedModel(40, 50).Text());
  fixture.Build(64);
  EXPECT_TRUE(fixture.Directory().Empty());
}

TEST(SortedFiles, PrefixInMissingDirectoryIsRefused) {
  SortFixture fixture(kBigrams);
  const std::string prefix = fixture.Directory().Prefix() + "/no/such/dir/sort";
  try {
    fixture.Build(1 << 20, prefix);
    FAIL() << "nothing thrown";
  } catch (const util::ErrnoException &e) {
    EXPECT_TRUE(util::EndsWith(e.what(), "while making a temporary based on " + prefix)) << e.what();
  }
}

// Three records of three words.
class RecordFile {
 public:
  RecordFile() : file_(util::FMakeTemp("/tmp/quarn_records")) {
    for (WordIndex word = 1; word <= 9; ++word) util::WriteOrThrow(file_.get(), &word, sizeof(word));
  }
  std::FILE *get() { return file_.get(); }

 private:
  util::scoped_FILE file_;
};

std::vector<WordIndex> Words(const RecordReader &reader) {
  const WordIndex *words = static_cast<const WordIndex *>(reader.Data());
  return std::vector<WordIndex>(words, words + reader.EntrySize() / sizeof(WordIndex));
}

TEST(RecordReader, ReadsRecordsUntilTheEnd) {
  RecordFile file;
  RecordReader reader;
  reader.Init(file.get(), 12);
  std::vector<std::vector<WordIndex>> got;
  for (; reader; ++reader) got.push_back(Words(reader));
  EXPECT_EQ((std::vector<std::vector<WordIndex>>{{1, 2, 3}, {4, 5, 6}, {7, 8, 9}}), got);
  reader.Rewind();
  ASSERT_TRUE(reader);
  EXPECT_EQ((std::vector<WordIndex>{1, 2, 3}), Words(reader));

  reader.Init(nullptr, 12);
  EXPECT_FALSE(reader);
}

TEST(RecordReader, ReadErrorIsRefused) {
  util::TempFileForTest name("not records");
  util::scoped_FILE write_only(std::fopen(name.Name(), "w"));
  ASSERT_TRUE(write_only.get());
  RecordReader reader;
  try {
    reader.Init(write_only.get(), 12);
    ADD_FAILURE() << "nothing thrown";
  } catch (const util::ErrnoException &e) {
    const std::string text = e.what();
    EXPECT_TRUE(text.starts_with("lm/trie_sort:")) << text;
    EXPECT_TRUE(util::Contains(text, " threw util::ErrnoException because `ret < 0'.\n")) << text;
    EXPECT_TRUE(util::EndsWith(text, " Error reading temporary file")) << text;
  }
}

struct OverwriteCase {
  std::size_t word;   // first word rewritten
  std::size_t count;  // words rewritten
};

class OverwriteTest : public testing::TestWithParam<OverwriteCase> {};

INSTANTIATE_TEST_SUITE_P(Ranges, OverwriteTest,
                         testing::Values(OverwriteCase{2, 1}, OverwriteCase{0, 1}, OverwriteCase{1, 1},
                                         OverwriteCase{0, 3}));

TEST_P(OverwriteTest, RewritesTheCurrentRecordAndReadsOn) {
  RecordFile file;
  RecordReader reader;
  reader.Init(file.get(), 12);
  ++reader;
  WordIndex *words = static_cast<WordIndex *>(reader.Data());
  std::vector<WordIndex> expected = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  for (std::size_t i = GetParam().word; i < GetParam().word + GetParam().count; ++i) {
    words[i] = 100 + static_cast<WordIndex>(i);
    expected[3 + i] = words[i];
  }
  reader.Overwrite(words + GetParam().word, GetParam().count * sizeof(WordIndex));

  ++reader;
  ASSERT_TRUE(reader);
  EXPECT_EQ((std::vector<WordIndex>{7, 8, 9}), Words(reader));
  EXPECT_EQ(Bytes(expected), Contents(file.get()));
}

}  // namespace
}  // namespace trie
}  // namespace ngram
}  // namespace lm
