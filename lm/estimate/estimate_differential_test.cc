// Differential test of the streaming estimate against the naive estimator
// written straight from the model's definition.
//
// On a table of small texts (repeated lines, one-word lines, blank lines,
// <unk> present and absent, a text too small for any discount, random text)
// at orders 1 to 6, the ARPA file that Estimate writes holds the same n-grams
// with the same counts as the naive model, every log10 value within 1e-6,
// and backoffs exactly where the naive model has them; its report gives the
// same lines, tokens, |V|, count-of-counts, discounts and fallbacks; and
// every distribution of the file sums to one as quarn scores it.  Without
// the fallback, both refuse the same texts.  On Genesis and Exodus of the
// King James Version, a memory limit far below the counts forces the
// estimate to spill many sorted runs and merge them; the result still
// matches, and its bytes are those of an estimate with ample memory and
// another thread count.  A word list makes the words it lacks <unk> in
// both, alone and with pruning.
#include "lm/estimate/estimate.hh"

#include "lm/estimate/arpa_table_for_test.hh"
#include "lm/estimate/naive_estimate_for_test.hh"
#include "lm/estimate/sample_texts_for_test.hh"
#include "lm/estimate/sum_to_one_for_test.hh"
#include "lm/estimate/text_source.hh"
#include "util/exception.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace estimate {
namespace {

const char kRealText[] = "data/kjv-genesis-exodus.txt";

std::string Joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += line + '\n';
  return text;
}

std::vector<std::string> LinesOf(const char *path) {
  FileLineSource source({path});
  std::vector<std::string> lines;
  StringPiece line;
  while (source.Next(line)) lines.emplace_back(line.data(), line.size());
  return lines;
}

std::string Contents(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream out;
  out << file.rdbuf();
  return out.str();
}

// A fresh directory for the output, removed afterwards with all it holds,
// so that a temporary file left behind shows.
class OutputDirectory {
 public:
  OutputDirectory() {
    std::string name = "/tmp/quarn_estimate_differential_XXXXXX";
    if (!mkdtemp(name.data())) std::abort();
    directory_ = name;
  }
  ~OutputDirectory() { std::filesystem::remove_all(directory_); }

  std::string Output() const { return (directory_ / "model.arpa").string(); }

  // The names in the directory, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(directory_))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path directory_;
};

EstimateOptions Options(unsigned order, bool fallback) {
  EstimateOptions options;
  options.order = order;
  options.discount_fallback = fallback;
  options.show_progress = false;
  options.memory = 64 << 20;
  return options;
}

void ExpectSameReport(const EstimateResult &expected, const EstimateResult &actual) {
  EXPECT_EQ(expected.lines, actual.lines);
  EXPECT_EQ(expected.tokens, actual.tokens);
  EXPECT_EQ(expected.vocabulary, actual.vocabulary);
  ASSERT_EQ(expected.orders.size(), actual.orders.size());
  for (std::size_t n = 1; n <= expected.orders.size(); ++n) {
    SCOPED_TRACE("order " + std::to_string(n));
    const OrderSummary &want = expected.orders[n - 1], &got = actual.orders[n - 1];
    EXPECT_EQ(want.ngrams, got.ngrams);
    for (unsigned k = 0; k < 4; ++k) EXPECT_EQ(want.count_of_counts[k], got.count_of_counts[k]) << "t" << k + 1;
    for (unsigned k = 0; k < 3; ++k) EXPECT_NEAR(want.discounts.amount[k], got.discounts.amount[k], 1e-9) << "D" << k + 1;
    EXPECT_EQ(want.fallback_used, got.fallback_used);
  }
}

// Estimates `lines` (as a file) into `output` and holds the result to the
// naive model.  `sums` also checks every distribution (small models only).
void ExpectMatchesNaive(const std::vector<std::string> &lines, const EstimateOptions &options, bool sums) {
  NaiveModel naive = NaiveEstimate(lines, options);
  util::TempFileForTest text(Joined(lines));
  OutputDirectory directory;
  FileLineSource source({text.Name()});
  EstimateResult result = Estimate(source, options, directory.Output());
  ExpectSameReport(naive.result, result);
  EXPECT_TRUE(ArpaTablesMatch(naive.arpa, ReadArpaTableForTest(directory.Output())));
  EXPECT_EQ(std::vector<std::string>{"model.arpa"}, directory.Entries());
  if (sums && options.order >= 2) {
    EXPECT_TRUE(DistributionsSumToOne(directory.Output()));
  }
}

TEST(EstimateDifferential, SmallTextsAtEveryOrder) {
  for (const SampleText &text : SampleTexts()) {
    for (unsigned order = 1; order <= 6; ++order) {
      SCOPED_TRACE(text.name + ", order " + std::to_string(order));
      ExpectMatchesNaive(text.lines, Options(order, true), true);
    }
  }
}

// Without the fallback the estimate stops exactly where the naive one does,
// and leaves nothing behind.
TEST(EstimateDifferential, RefusesTheSameDiscounts) {
  for (const SampleText &text : SampleTexts()) {
    for (unsigned order = 1; order <= 4; ++order) {
      SCOPED_TRACE(text.name + ", order " + std::to_string(order));
      const EstimateOptions options = Options(order, false);
      bool naive_refuses = false;
      try {
        NaiveEstimate(text.lines, options);
      } catch (const util::Exception &) {
        naive_refuses = true;
      }
      if (!naive_refuses) {
        ExpectMatchesNaive(text.lines, options, false);
        continue;
      }
      util::TempFileForTest file(Joined(text.lines));
      OutputDirectory directory;
      FileLineSource source({file.Name()});
      try {
        Estimate(source, options, directory.Output());
        ADD_FAILURE() << "estimated what the naive estimator refuses";
      } catch (const util::Exception &e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("--discount-fallback")) << e.what();
      }
      EXPECT_TRUE(directory.Entries().empty());
    }
  }
}

// Lines handed over by a callback make the same model as the same lines in
// a file.
TEST(EstimateDifferential, CallbackLinesMatch) {
  struct Lines {
    std::vector<std::string> lines;
    std::size_t next = 0;
    static int Next(void *context, const char **data, std::size_t *size) {
      Lines &self = *static_cast<Lines *>(context);
      if (self.next == self.lines.size()) return 0;
      *data = self.lines[self.next].data();
      *size = self.lines[self.next++].size();
      return 1;
    }
  } lines{RandomLines(300, 50, 5, true)};
  const EstimateOptions options = Options(4, true);
  NaiveModel naive = NaiveEstimate(lines.lines, options);
  OutputDirectory directory;
  CallbackLineSource source(Lines::Next, &lines, "lines");
  ExpectSameReport(naive.result, Estimate(source, options, directory.Output()));
  EXPECT_TRUE(ArpaTablesMatch(naive.arpa, ReadArpaTableForTest(directory.Output())));
}

// With a word list, the words the list lacks are <unk> in both; a listed
// word absent from the text stays out of the model, and <s>, </s> and
// <unk> in the list change nothing.  Pruning composes with it.
TEST(EstimateDifferential, WordListMakesOtherWordsUnknown) {
  const std::vector<std::string> lists = {"the cat\nmat  a\tw1 w2 w3 w5 x y zebra\n", "<s> </s> <unk> w0 w1 b\n",
                                          ""};
  for (const std::string &list : lists) {
    util::TempFileForTest file(list);
    for (const SampleText &text : SampleTexts()) {
      for (unsigned order : {1u, 3u}) {
        for (const std::vector<uint64_t> &prune : {std::vector<uint64_t>{}, std::vector<uint64_t>{0, 1}}) {
          if (prune.size() >= order) continue;
          SCOPED_TRACE(text.name + ", order " + std::to_string(order) + ", list '" + list + "', " +
                       std::to_string(prune.size()) + " thresholds");
          EstimateOptions options = Options(order, true);
          options.limit_vocab = file.Name();
          options.prune = prune;
          options.memory = 1 << 12;
          ExpectMatchesNaive(text.lines, options, true);
        }
      }
    }
  }
}

TEST(EstimateDifferential, RealTextInLittleMemory) {
  const std::vector<std::string> lines = LinesOf(kRealText);
  ASSERT_GT(lines.size(), 2000u);
  for (unsigned order : {2u, 5u}) {
    SCOPED_TRACE("order " + std::to_string(order));
    NaiveModel naive = NaiveEstimate(lines, Options(order, true));

    // Far less memory than the counts take: many runs, many merges.
    EstimateOptions little = Options(order, true);
    little.memory = 1 << 20;
    little.threads = 1;
    OutputDirectory small;
    FileLineSource small_source({kRealText});
    ExpectSameReport(naive.result, Estimate(small_source, little, small.Output()));
    EXPECT_TRUE(ArpaTablesMatch(naive.arpa, ReadArpaTableForTest(small.Output())));

    EstimateOptions ample = Options(order, true);
    ample.memory = 512 << 20;
    ample.threads = 2;
    OutputDirectory large;
    FileLineSource large_source({kRealText});
    Estimate(large_source, ample, large.Output());
    EXPECT_TRUE(Contents(small.Output()) == Contents(large.Output())) << "the bytes depend on memory or threads";
  }
}

}  // namespace
}  // namespace estimate
}  // namespace lm
