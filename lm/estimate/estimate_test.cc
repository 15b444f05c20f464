#include "lm/estimate/estimate.hh"

#include "lm/config.hh"
#include "lm/enumerate_vocab.hh"
#include "lm/estimate/memory_lines_for_test.hh"
#include "lm/model.hh"
#include "lm/state.hh"
#include "util/exception.hh"
#include "util/tokenize_piece.hh"
#include "util/file_piece.hh"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <sys/resource.h>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace estimate {
namespace {

// A directory of its own for every test, which must be empty (but for the
// files a test names) when the test ends.
class ScratchDirectory {
 public:
  ScratchDirectory() : path_("/tmp/quarn_estimate_XXXXXX") { EXPECT_TRUE(mkdtemp(path_.data())); }
  ~ScratchDirectory() { rmdir(path_.c_str()); }
  const std::string &Path() const { return path_; }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    DIR *dir = opendir(path_.c_str());
    while (dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
  }

 private:
  std::string path_;
};

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// Estimates from `lines` into a scratch directory and returns the ARPA text.
std::string EstimateText(const std::vector<std::string> &lines, const EstimateOptions &options) {
  ScratchDirectory dir;
  const std::string out = dir.Path() + "/model.arpa";
  MemoryLines text(lines);
  Estimate(text, options, out);
  EXPECT_EQ(std::vector<std::string>{"model.arpa"}, dir.Entries());
  std::string arpa = ReadFile(out);
  std::remove(out.c_str());
  return arpa;
}

// A text of `count` lines over `vocab` words, the same on every run: each
// word mostly follows from the one before among a few choices, otherwise it
// is drawn from a skewed distribution, so that n-grams of every order repeat.
std::vector<std::string> GeneratedText(std::size_t count, unsigned vocab, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<double> weights;
  for (unsigned i = 1; i <= vocab; ++i) weights.push_back(1.0 / i);
  std::discrete_distribution<unsigned> fresh(weights.begin(), weights.end());
  std::uniform_int_distribution<unsigned> length(1, 12), choice(0, 3), percent(0, 99);
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < count; ++i) {
    std::string line;
    unsigned word = fresh(random);
    for (unsigned j = length(random); j; --j) {
      line += " w" + std::to_string(word);
      word = percent(random) < 80 ? (word * 7 + choice(random)) % vocab : fresh(random);
    }
    lines.push_back(line);
  }
  return lines;
}

class CollectWords : public EnumerateVocab {
 public:
  void Add(WordIndex index, const StringPiece &) override { indices.push_back(index); }
  std::vector<WordIndex> indices;
};

// Loads the ARPA text with every complaint an error and checks that the
// distribution after every prefix of every line sums to one over the
// vocabulary without <s>.
void ExpectSumsToOne(const std::string &arpa, const std::vector<std::string> &lines) {
  ScratchDirectory dir;
  const std::string path = dir.Path() + "/model.arpa";
  std::ofstream(path) << arpa;
  ngram::Config config;
  config.message_stream = nullptr;
  config.missing_unk_action = THROW_ERROR;
  config.missing_marker_action = THROW_ERROR;
  config.positive_log_probability = THROW_ERROR;
  CollectWords words;
  config.enumerate_vocab = &words;
  std::unique_ptr<base::Model> model(ngram::LoadVirtual(path.c_str(), config));
  std::remove(path.c_str());
  const base::Vocabulary &vocab = model->VocabularyView();
  ngram::State state, ignored;
  auto expect_one = [&](const std::string &where) {
    double sum = 0;
    for (WordIndex w : words.indices) {
      if (w != vocab.BeginSentenceIndex()) sum += std::pow(10.0, model->BaseScore(&state, w, &ignored));
    }
    EXPECT_NEAR(1.0, sum, 1e-4) << "after " << where;
  };
  model->NullContextWrite(&state);
  expect_one("nothing");
  for (const std::string &line : lines) {
    model->BeginSentenceWrite(&state);
    std::string where = "<s>";
    expect_one(where);
    for (util::TokenIter<util::BoolCharacter, true> word(line, util::BoolCharacter(util::kSpaces)); word; ++word) {
      ngram::State next;
      model->BaseScore(&state, vocab.Index(*word), &next);
      state = next;
      where.append(" ").append(word->data(), word->size());
      expect_one(where);
    }
  }
}

EstimateOptions Options(unsigned order) {
  EstimateOptions options;
  options.order = order;
  options.memory = 1 << 20;
  options.discount_fallback = true;
  return options;
}

const std::vector<std::vector<std::string>> kSmallTexts = {
    {"a b c", "a b", "b c a", "c"},
    {"the cat sat on the mat", "the dog sat on the log", "the cat ate the dog", "  ", "a cat"},
    {"x x x x x x", "x", "x x"},
    {"<unk> a <unk>", "a b <unk> b a"},
    {"one", "two", "one", "three", "one two three"},
};

TEST(Estimate, SmallModelsSumToOne) {
  for (unsigned order = 2; order <= 5; ++order) {
    for (const std::vector<std::string> &text : kSmallTexts) {
      SCOPED_TRACE("order " + std::to_string(order) + ", first line \"" + text[0] + "\"");
      ExpectSumsToOne(EstimateText(text, Options(order)), text);
    }
  }
}

TEST(Estimate, GeneratedModelsSumToOne) {
  const std::vector<std::string> text = GeneratedText(2000, 1000, 7);
  for (unsigned order = 2; order <= 5; ++order) {
    EstimateOptions options = Options(order);
    options.discount_fallback = false;
    SCOPED_TRACE("order " + std::to_string(order));
    // The contexts of the first lines are plenty (and quick to check).
    ExpectSumsToOne(EstimateText(text, options), std::vector<std::string>(text.begin(), text.begin() + 150));
  }
}

TEST(Estimate, SameBytesWhateverMemoryAndThreads) {
  const std::vector<std::string> text = GeneratedText(3000, 500, 11);
  for (unsigned order : {1u, 3u, 5u}) {
    EstimateOptions large = Options(order);
    large.memory = 64 << 20;
    large.threads = 1;
    const std::string expected = EstimateText(text, large);
    for (unsigned threads : {1u, 2u}) {
      for (uint64_t memory : {uint64_t(1) << 14, uint64_t(100000), uint64_t(64) << 20}) {
        EstimateOptions options = large;
        options.threads = threads;
        options.memory = memory;
        EXPECT_EQ(expected, EstimateText(text, options))
            << "order " << order << ", " << threads << " threads, memory " << memory;
      }
    }
  }
}

// Estimates into a scratch directory, expecting failure with a message
// holding `expected`, and no file left behind.
void ExpectFailure(const std::vector<std::string> &lines, EstimateOptions options, const std::string &expected,
                   const std::string &output_name = "model.arpa") {
  ScratchDirectory dir;
  if (options.temp_prefix == "scratch") options.temp_prefix = dir.Path() + "/";
  MemoryLines text(lines, "corpus.txt");
  try {
    Estimate(text, options, dir.Path() + "/" + output_name);
    ADD_FAILURE() << "no error; expected " << expected;
  } catch (const util::Exception &e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(expected)) << e.what();
  }
  EXPECT_EQ(std::vector<std::string>(), dir.Entries());
}

TEST(Estimate, RefusesBadTextAndOptions) {
  const EstimateOptions good = Options(3);
  ExpectFailure({"a b", "a <s> b"}, good, "corpus.txt line 2: <s> and </s> may not appear");
  ExpectFailure({"a b", "c", "</s>"}, good, "corpus.txt line 3: <s> and </s> may not appear");
  ExpectFailure({"a", std::string("b\0c", 3)}, good, "corpus.txt line 2: the text holds a NUL byte");
  ExpectFailure({}, good, "corpus.txt holds no word");
  ExpectFailure({"", " \t "}, good, "corpus.txt holds no word");
  for (unsigned order : {0u, 13u}) {
    EstimateOptions options = good;
    options.order = order;
    ExpectFailure({"a"}, options, "the order must be 1 to 12, not " + std::to_string(order));
  }
  EstimateOptions fallback = good;
  fallback.fallback.amount[1] = 2.0;
  ExpectFailure({"a"}, fallback, "the fallback discount D2=2 is not strictly between 0 and 2");
  EstimateOptions strict = good;
  strict.discount_fallback = false;
  ExpectFailure({"a b c", "a b"}, strict, "the discounts of order 1 are out of range: count-of-counts t1=");
  ExpectFailure({"a b c", "a b"}, strict, "--discount-fallback");
}

TEST(Estimate, TemporaryAndOutputFailures) {
  EstimateOptions options = Options(3);
  options.temp_prefix = "/nonexistent/quarn/";
  ExpectFailure({"a b"}, options, "/nonexistent/quarn/");
  ExpectFailure({"a b"}, Options(3), "cannot create a file beside", "missing/model.arpa");
}

// A disk that fills up: every file write beyond a limit fails.
TEST(Estimate, FullDiskLeavesNothing) {
  const std::vector<std::string> text = GeneratedText(3000, 500, 3);
  rlimit old;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &old));
  void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 20000;
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
  EstimateOptions options = Options(4);
  options.memory = 1 << 14;
  options.temp_prefix = "scratch";
  ExpectFailure(text, options, "while writing");
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
}

}  // namespace
}  // namespace estimate
}  // namespace lm
