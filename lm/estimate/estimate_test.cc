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
#include <cstdlib>
#include <dirent.h>
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

}  // namespace
}  // namespace estimate
}  // namespace lm
