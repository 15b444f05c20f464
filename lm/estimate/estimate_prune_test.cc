// Pruning by count, held to the naive estimator extended with pruning.
//
// On the table of small texts at orders 2 to 5 and several thresholds, in
// a memory limit so small that every sort spills many runs, the pruned ARPA
// file holds the naive model's n-grams, values and backoffs, the report its
// n-gram numbers (after pruning), count-of-counts and discounts (before),
// and every distribution sums to one.  A pruned model loads as every model
// type and scores the text as the ARPA file's own backoff rule does.  On
// Genesis and Exodus the 5-gram pruned as 0 1 1 1 matches too, with bytes
// that depend neither on memory nor threads; thresholds of 0 change nothing.
#include "lm/estimate/estimate.hh"

#include "lm/config.hh"
#include "lm/estimate/arpa_table_for_test.hh"
#include "lm/estimate/naive_estimate_for_test.hh"
#include "lm/estimate/sample_texts_for_test.hh"
#include "lm/estimate/sum_to_one_for_test.hh"
#include "lm/estimate/text_source.hh"
#include "lm/model.hh"
#include "lm/model_type.hh"
#include "lm/state.hh"
#include "util/exception.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace estimate {
namespace {

std::string Joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += line + '\n';
  return text;
}

std::string Contents(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream out;
  out << file.rdbuf();
  return out.str();
}

EstimateOptions Options(unsigned order, const std::vector<uint64_t> &prune, uint64_t memory, unsigned threads) {
  EstimateOptions options;
  options.order = order;
  options.prune = prune;
  options.discount_fallback = true;
  options.show_progress = false;
  options.memory = memory;
  options.threads = threads;
  return options;
}

// Estimates `lines` into `output` and holds the file and the report to the
// naive model.
void ExpectMatchesNaive(const std::vector<std::string> &lines, const EstimateOptions &options,
                        const util::TempFileForTest &output) {
  NaiveModel naive = NaiveEstimate(lines, options);
  util::TempFileForTest text(Joined(lines));
  FileLineSource source({text.Name()});
  const EstimateResult result = Estimate(source, options, output.Name());
  ASSERT_EQ(naive.result.orders.size(), result.orders.size());
  for (std::size_t n = 1; n <= result.orders.size(); ++n) {
    SCOPED_TRACE("order " + std::to_string(n));
    const OrderSummary &want = naive.result.orders[n - 1], &got = result.orders[n - 1];
    EXPECT_EQ(want.ngrams, got.ngrams);
    for (unsigned k = 0; k < 4; ++k) EXPECT_EQ(want.count_of_counts[k], got.count_of_counts[k]) << "t" << k + 1;
    for (unsigned k = 0; k < 3; ++k) EXPECT_NEAR(want.discounts.amount[k], got.discounts.amount[k], 1e-9);
  }
  EXPECT_TRUE(ArpaTablesMatch(naive.arpa, ReadArpaTableForTest(output.Name())));
}

TEST(EstimatePrune, SmallTextsMatchTheNaiveModelAndSumToOne) {
  const std::vector<std::vector<uint64_t>> thresholds = {{1}, {2}, {0, 1}, {1, 1, 2}, {0, 0, 1}, {1, 2, 3, 5}};
  unsigned threads = 1;
  for (const SampleText &text : SampleTexts()) {
    for (unsigned order = 2; order <= 5; ++order) {
      for (const std::vector<uint64_t> &prune : thresholds) {
        if (prune.size() > order - 1) continue;
        SCOPED_TRACE(text.name + ", order " + std::to_string(order) + ", thresholds " +
                     ::testing::PrintToString(prune));
        threads = 3 - threads;
        util::TempFileForTest output;
        ExpectMatchesNaive(text.lines, Options(order, prune, 1 << 12, threads), output);
        EXPECT_TRUE(DistributionsSumToOne(output.Name()));
      }
    }
  }
}

// Thresholds of 0 keep every n-gram: the bytes are those of no pruning.
TEST(EstimatePrune, ZeroThresholdsChangeNothing) {
  const std::vector<std::string> lines = RandomLines(300, 40, 7, true);
  util::TempFileForTest text(Joined(lines)), plain, zeros;
  FileLineSource plain_source({text.Name()}), zeros_source({text.Name()});
  Estimate(plain_source, Options(4, {}, 1 << 20, 2), plain.Name());
  Estimate(zeros_source, Options(4, {0, 0, 0}, 1 << 20, 2), zeros.Name());
  EXPECT_EQ(Contents(plain.Name()), Contents(zeros.Name()));
}

// log10 p(word | history) by the ARPA file's rule: the longest n-gram of
// the table that ends the history with the word, plus the backoffs of the
// longer contexts that lack it.
double TableScore(const ArpaTable &table, const Words &history, const std::string &word) {
  const std::size_t length = std::min(history.size(), table.orders.size() - 1);
  Words context(history.end() - length, history.end());
  Words ngram = context;
  ngram.push_back(word);
  auto found = table.orders[length].find(ngram);
  if (found != table.orders[length].end()) return found->second.log10_prob;
  double backoff = 0;
  auto entry = table.orders[length - 1].find(context);
  if (entry != table.orders[length - 1].end() && entry->second.log10_backoff) backoff = *entry->second.log10_backoff;
  return backoff + TableScore(table, Words(context.begin() + 1, context.end()), word);
}

TEST(EstimatePrune, LoadsAsEveryModelTypeAndScoresLikeTheArpa) {
  const std::vector<std::string> lines = RandomLines(400, 50, 3, true);
  util::TempFileForTest text(Joined(lines)), output;
  FileLineSource source({text.Name()});
  Estimate(source, Options(4, {0, 1, 2}, 1 << 20, 2), output.Name());
  const ArpaTable table = ReadArpaTableForTest(output.Name());
  ASSERT_LT(table.counts[3], NaiveEstimate(lines, Options(4, {}, 1 << 20, 2)).arpa.counts[3]) << "nothing pruned";
  for (const ngram::ModelTypeTraits &type : ngram::kModelTypes) {
    SCOPED_TRACE(type.name);
    std::ostringstream messages;
    ngram::Config config;
    config.message_stream = &messages;
    config.show_progress = false;
    config.arpa_complain = ngram::Config::NONE;
    std::unique_ptr<base::Model> model(ngram::LoadVirtual(output.Name(), config, type.type));
    EXPECT_EQ("", messages.str());
    // Quantized weights are near, the others the file's floats.
    const double tolerance = type.structure.quantized ? 0.05 : 1e-4;
    const base::Vocabulary &vocabulary = model->VocabularyView();
    for (const std::string &line : lines) {
      std::istringstream words(line + " </s>");
      Words history{"<s>"};
      ngram::State state = *static_cast<const ngram::State *>(model->BeginSentenceRecord()), next;
      double expected = 0, actual = 0;
      for (std::string word; words >> word; history.push_back(word)) {
        expected += TableScore(table, history, word);
        actual += model->BaseScore(&state, vocabulary.Index(word), &next);
        state = next;
      }
      EXPECT_NEAR(expected, actual, tolerance * history.size()) << line;
    }
  }
}

// The estimate checks the thresholds before it reads or writes anything.
TEST(EstimatePrune, RefusesBadThresholds) {
  util::TempFileForTest text("a b c\n"), output;
  for (const std::vector<uint64_t> &prune : std::vector<std::vector<uint64_t>>{{2, 1}, {1, 1, 1}}) {
    FileLineSource source({text.Name()});
    EXPECT_THROW(Estimate(source, Options(3, prune, 1 << 20, 1), output.Name()), util::Exception);
  }
}

TEST(EstimatePrune, RealTextInLittleMemory) {
  FileLineSource lines_source({"data/kjv-genesis-exodus.txt"});
  std::vector<std::string> lines;
  for (StringPiece line; lines_source.Next(line);) lines.emplace_back(line.data(), line.size());
  util::TempFileForTest little, ample;
  ExpectMatchesNaive(lines, Options(5, {0, 1, 1, 1}, 1 << 20, 1), little);
  FileLineSource source({"data/kjv-genesis-exodus.txt"});
  Estimate(source, Options(5, {0, 1, 1, 1}, 512 << 20, 2), ample.Name());
  EXPECT_TRUE(Contents(little.Name()) == Contents(ample.Name())) << "the bytes depend on memory or threads";
}

}  // namespace
}  // namespace estimate
}  // namespace lm
