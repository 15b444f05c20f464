// Tests of the test helpers of estimation: the naive estimator against
// numbers worked by hand, its models against the laws every Kneser-Ney model
// obeys (each distribution sums to one, as quarn scores it), and the ARPA
// table reader, writer and comparison.
#include "lm/estimate/naive_estimate_for_test.hh"

#include "lm/estimate/arpa_table_for_test.hh"
#include "lm/estimate/sample_texts_for_test.hh"
#include "lm/estimate/sum_to_one_for_test.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace lm {
namespace estimate {
namespace {

EstimateOptions WithFallback(unsigned order) {
  EstimateOptions options;
  options.order = order;
  options.discount_fallback = true;
  return options;
}

void ExpectEntry(const ArpaTable &table, const Words &words, double p, std::optional<double> backoff) {
  SCOPED_TRACE(detail::Joined(words));
  const auto &entries = table.orders[words.size() - 1];
  auto found = entries.find(words);
  ASSERT_NE(entries.end(), found);
  EXPECT_NEAR(std::log10(p), found->second.log10_prob, 1e-12);
  EXPECT_EQ(backoff.has_value(), found->second.log10_backoff.has_value());
  if (backoff && found->second.log10_backoff) {
    EXPECT_NEAR(std::log10(*backoff), *found->second.log10_backoff, 1e-12);
  }
}

// Lines "a b" and "a", order 2: padded <s> a b </s> and <s> a </s>;
// V = {<s>, </s>, <unk>, a, b}, |V| - 1 = 4.
//   Bigrams (a = c): <s> a 2, a b 1, a </s> 1, b </s> 1: t = 3, 1, 0, 0.
//   Unigrams: a(a) = 1 (after <s>), a(b) = 1 (after a), a(</s>) = 2 (after
//   a and b): t = 2, 1, 0, 0.  Both orders fall back to 0.5, 1, 1.5.
//   Order 1: A = 4, gamma = (0.5 * 2 + 1 * 1) / 4 = 0.5, so
//     p(a) = p(b) = 0.5 / 4 + 0.5 / 4 = 0.25, p(</s>) = 1 / 4 + 0.125 = 0.375,
//     p(<unk>) = 0.125.
//   Order 2: gamma(<s>) = 1 * 1 / 2, p(<s> a) = (2 - 1) / 2 + 0.5 * 0.25 = 0.625;
//     gamma(a) = 0.5 * 2 / 2, p(a b) = 0.5 / 2 + 0.5 * 0.25 = 0.375,
//     p(a </s>) = 0.25 + 0.5 * 0.375 = 0.4375;
//     gamma(b) = 0.5, p(b </s>) = 0.5 / 1 + 0.5 * 0.375 = 0.6875.
TEST(NaiveEstimate, BigramsWorkedByHand) {
  NaiveModel model = NaiveEstimate({"a b", "a"}, WithFallback(2));
  const ArpaTable &arpa = model.arpa;
  ASSERT_EQ(2u, arpa.orders.size());
  EXPECT_EQ((std::vector<uint64_t>{5, 4}), arpa.counts);
  EXPECT_EQ(-99.0, arpa.orders[0].at({"<s>"}).log10_prob);
  EXPECT_NEAR(std::log10(0.5), *arpa.orders[0].at({"<s>"}).log10_backoff, 1e-12);
  ExpectEntry(arpa, {"a"}, 0.25, 0.5);
  ExpectEntry(arpa, {"b"}, 0.25, 0.5);
  ExpectEntry(arpa, {"</s>"}, 0.375, std::nullopt);
  ExpectEntry(arpa, {"<unk>"}, 0.125, std::nullopt);
  ExpectEntry(arpa, {"<s>", "a"}, 0.625, std::nullopt);
  ExpectEntry(arpa, {"a", "b"}, 0.375, std::nullopt);
  ExpectEntry(arpa, {"a", "</s>"}, 0.4375, std::nullopt);
  ExpectEntry(arpa, {"b", "</s>"}, 0.6875, std::nullopt);

  EXPECT_EQ(2u, model.result.lines);
  EXPECT_EQ(3u, model.result.tokens);
  EXPECT_EQ(5u, model.result.vocabulary);
  ASSERT_EQ(2u, model.result.orders.size());
  const OrderSummary &unigrams = model.result.orders[0], &bigrams = model.result.orders[1];
  EXPECT_EQ((std::vector<uint64_t>{2, 1, 0, 0}), std::vector<uint64_t>(unigrams.count_of_counts, unigrams.count_of_counts + 4));
  EXPECT_EQ((std::vector<uint64_t>{3, 1, 0, 0}), std::vector<uint64_t>(bigrams.count_of_counts, bigrams.count_of_counts + 4));
  EXPECT_TRUE(unigrams.fallback_used && bigrams.fallback_used);
  EXPECT_EQ(1.5, bigrams.discounts.amount[2]);
}

// One line "x1 x2 x3 y1 y1 y2 y2 z z z w w w w", order 1 (a = c):
//   t1 = 4 (x1, x2, x3, </s>), t2 = 2 (y1, y2), t3 = 1 (z), t4 = 1 (w);
//   Y = 4 / (4 + 2 * 2) = 0.5; D1 = 1 - 2 * 0.5 * 2 / 4 = 0.5,
//   D2 = 2 - 3 * 0.5 * 1 / 2 = 1.25, D3 = 3 - 4 * 0.5 * 1 / 1 = 1.
//   A = 4 + 4 + 3 + 4 = 15, gamma = (0.5 * 4 + 1.25 * 2 + 1 * 2) / 15 = 6.5 / 15,
//   |V| - 1 = 9: p(x1) = 0.5 / 15 + gamma / 9, p(y1) = 0.75 / 15 + gamma / 9,
//   p(z) = 2 / 15 + gamma / 9, p(w) = 3 / 15 + gamma / 9, p(<unk>) = gamma / 9.
TEST(NaiveEstimate, DiscountsWorkedByHand) {
  EstimateOptions options;
  options.order = 1;
  NaiveModel model = NaiveEstimate({"x1 x2 x3 y1 y1 y2 y2 z z z w w w w"}, options);
  const OrderSummary &summary = model.result.orders.at(0);
  EXPECT_FALSE(summary.fallback_used);
  EXPECT_EQ((std::vector<uint64_t>{4, 2, 1, 1}), std::vector<uint64_t>(summary.count_of_counts, summary.count_of_counts + 4));
  EXPECT_NEAR(0.5, summary.discounts.amount[0], 1e-12);
  EXPECT_NEAR(1.25, summary.discounts.amount[1], 1e-12);
  EXPECT_NEAR(1.0, summary.discounts.amount[2], 1e-12);
  const double share = 6.5 / 15 / 9;
  ExpectEntry(model.arpa, {"x1"}, 0.5 / 15 + share, std::nullopt);
  ExpectEntry(model.arpa, {"y1"}, 0.75 / 15 + share, std::nullopt);
  ExpectEntry(model.arpa, {"z"}, 2.0 / 15 + share, std::nullopt);
  ExpectEntry(model.arpa, {"w"}, 3.0 / 15 + share, std::nullopt);
  ExpectEntry(model.arpa, {"</s>"}, 0.5 / 15 + share, std::nullopt);
  ExpectEntry(model.arpa, {"<unk>"}, share, std::nullopt);
  EXPECT_EQ(10u, model.arpa.orders[0].size());
}

TEST(NaiveEstimate, RefusesWhatTheDefinitionRefuses) {
  EstimateOptions strict;
  strict.order = 2;
  EXPECT_THROW(NaiveEstimate({"a b", "a"}, strict), util::Exception);
  for (const std::string &line : {std::string("a <s> b"), std::string("</s>"), std::string("a b\0c", 5)})
    EXPECT_THROW(NaiveEstimate({"fine", line}, WithFallback(2)), util::Exception) << line;
}

// Every model of the table, orders 2 to 6, written as ARPA, read back the
// same, loads in quarn without a word and sums to one after every context.
TEST(NaiveEstimate, EveryDistributionSumsToOne) {
  for (const SampleText &text : SampleTexts()) {
    for (unsigned order = 2; order <= 6; ++order) {
      SCOPED_TRACE(text.name + ", order " + std::to_string(order));
      NaiveModel model = NaiveEstimate(text.lines, WithFallback(order));
      util::TempFileForTest file(ArpaTableText(model.arpa));
      EXPECT_TRUE(ArpaTablesMatch(model.arpa, ReadArpaTableForTest(file.Name())));
      EXPECT_TRUE(DistributionsSumToOne(file.Name()));
    }
  }
}

TEST(ArpaTablesMatch, FindsEachKindOfDifference) {
  const ArpaTable base = NaiveEstimate({"a b", "a c", "b"}, WithFallback(3)).arpa;
  struct Change {
    const char *what;
    void (*apply)(ArpaTable &);
  };
  const Change changes[] = {
      {"probability", [](ArpaTable &t) { t.orders[1].begin()->second.log10_prob += 2e-6; }},
      {"backoff value", [](ArpaTable &t) { *t.orders[0].at({"a"}).log10_backoff -= 2e-6; }},
      {"backoff dropped", [](ArpaTable &t) { t.orders[0].at({"a"}).log10_backoff.reset(); }},
      {"backoff added", [](ArpaTable &t) { t.orders[2].begin()->second.log10_backoff = 0; }},
      {"n-gram added", [](ArpaTable &t) { t.orders[2][{"c", "b", "a"}] = ArpaEntry(); }},
      {"n-gram removed", [](ArpaTable &t) { t.orders[2].erase(t.orders[2].begin()); }},
      {"header count", [](ArpaTable &t) { ++t.counts[1]; }},
  };
  EXPECT_TRUE(ArpaTablesMatch(base, base));
  for (const Change &change : changes) {
    ArpaTable changed = base;
    change.apply(changed);
    EXPECT_FALSE(ArpaTablesMatch(base, changed)) << change.what;
  }
  ArpaTable close = base;
  close.orders[1].begin()->second.log10_prob += 5e-7;
  EXPECT_TRUE(ArpaTablesMatch(base, close));
}

TEST(ReadArpaTableForTest, RefusesAMiscountedSection) {
  util::TempFileForTest file("\\data\\\nngram 1=3\n\n\\1-grams:\n-1\t<s>\n-1\t</s>\n\n\\end\\\n");
  EXPECT_THROW(ReadArpaTableForTest(file.Name()), util::Exception);
}

}  // namespace
}  // namespace estimate
}  // namespace lm
