// NaiveEstimate: interpolated modified Kneser-Ney written straight from the
// definition in lm/estimate/estimate.hh, in maps of strings and doubles with
// no cleverness, as the truth that the streaming estimate is held to.
//
// It takes the lines of the text in memory and the options that change the
// model (order, discount_fallback, fallback, limit_vocab, prune) and returns
// the model as an ArpaTable of double-precision log10 values, with what the
// streaming estimate reports: lines, tokens, |V| and, per order, the n-grams
// written, the count-of-counts t1..t4, the discounts and whether the
// fallback was used.  Bad text and out-of-range discounts without the fallback throw
// util::Exception.
#ifndef LM_ESTIMATE_NAIVE_ESTIMATE_FOR_TEST_H
#define LM_ESTIMATE_NAIVE_ESTIMATE_FOR_TEST_H

#include "lm/estimate/arpa_table_for_test.hh"
#include "lm/estimate/estimate.hh"
#include "util/exception.hh"

#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace lm {
namespace estimate {

struct NaiveModel {
  ArpaTable arpa;
  EstimateResult result;  // without stages
};

NaiveModel NaiveEstimate(const std::vector<std::string> &lines, const EstimateOptions &options);

// ---- Details ----

class NaiveEstimator {
 public:
  NaiveEstimator(const std::vector<std::string> &lines, const EstimateOptions &options)
      : options_(options), order_(options.order), counts_(order_), adjusted_(order_), discounts_(order_),
        context_(order_), probability_(order_), kept_(order_) {
    Read(lines);
    Count();
    Adjust();
    for (unsigned n = 1; n <= order_; ++n) Discount(n);
    for (unsigned n = order_; n >= 1; --n) Keep(n);
    for (unsigned n = 1; n <= order_; ++n) Interpolate(n);
  }

  NaiveModel Model() const {
    NaiveModel model;
    model.result.lines = lines_;
    model.result.tokens = tokens_;
    model.result.vocabulary = vocabulary_.size();
    model.result.orders = summaries_;
    model.arpa.orders.resize(order_);
    for (unsigned n = 1; n <= order_; ++n) {
      for (const auto &[words, p] : probability_[n - 1]) {
        ArpaEntry entry;
        entry.log10_prob = words == Words{"<s>"} ? -99.0 : std::log10(p);
        // The backoff of words is gamma of the context words at order n + 1.
        if (n < order_) {
          auto context = context_[n].find(words);
          if (context != context_[n].end() && context->second.kept) entry.log10_backoff = std::log10(context->second.Gamma(discounts_[n]));
        }
        model.arpa.orders[n - 1][words] = entry;
      }
      model.arpa.counts.push_back(model.arpa.orders[n - 1].size());
      model.result.orders[n - 1].ngrams = model.arpa.orders[n - 1].size();
    }
    return model;
  }

 private:
  // What the n-grams c x of one order say about their context c.
  struct Context {
    uint64_t total = 0;         // A(c)
    uint64_t with[3] = {0, 0, 0};  // N_1(c), N_2(c), N_3+(c)
    double pruned = 0;             // sum of a(c x) - D(a(c x)) over pruned c x
    uint64_t kept = 0;             // kept c x
    double Gamma(const Discounts &d) const {
      return (d.amount[0] * with[0] + d.amount[1] * with[1] + d.amount[2] * with[2] + pruned) / total;
    }
  };

  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

  void Read(const std::vector<std::string> &lines) {
    vocabulary_ = {"<s>", "</s>", "<unk>"};
    std::set<std::string> kept;
    std::ifstream list(options_.limit_vocab);
    for (std::string word; list >> word;) kept.insert(word);
    for (std::size_t number = 1; number <= lines.size(); ++number) {
      Words sentence{"<s>"};
      std::string word;
      for (char c : lines[number - 1] + " ") {
        if (!IsSpace(c)) {
          word += c;
          continue;
        }
        if (word.empty()) continue;
        UTIL_THROW_IF(word == "<s>" || word == "</s>" || word.find('\0') != std::string::npos, util::Exception,
                      "line " << number << " holds a forbidden word");
        if (!options_.limit_vocab.empty() && !kept.count(word)) word = "<unk>";
        sentence.push_back(word);
        vocabulary_.insert(word);
        word.clear();
      }
      if (sentence.size() == 1) continue;
      ++lines_;
      tokens_ += sentence.size() - 1;
      sentence.push_back("</s>");
      sentences_.push_back(sentence);
    }
  }

  // c(g) for every n-gram inside the padded lines.
  void Count() {
    for (const Words &sentence : sentences_)
      for (std::size_t start = 0; start < sentence.size(); ++start)
        for (unsigned n = 1; n <= order_ && start + n <= sentence.size(); ++n)
          ++counts_[n - 1][Words(sentence.begin() + start, sentence.begin() + start + n)];
  }

  // a(g): c(g) at the highest order and for n-grams that begin with <s>,
  // otherwise the number of distinct words v with c(v g) > 0.
  void Adjust() {
    for (unsigned n = 1; n <= order_; ++n) {
      std::map<Words, uint64_t> left;  // distinct words before each n-gram
      if (n < order_)
        for (const auto &[longer, count] : counts_[n]) ++left[Words(longer.begin() + 1, longer.end())];
      for (const auto &[words, count] : counts_[n - 1])
        adjusted_[n - 1][words] = (n == order_ || words[0] == "<s>") ? count : left[words];
    }
  }

  // t_k, then D_k or the fallback.
  void Discount(unsigned n) {
    OrderSummary summary;
    for (const auto &[words, a] : adjusted_[n - 1])
      if (words != Words{"<s>"} && a <= 4) ++summary.count_of_counts[a - 1];
    const uint64_t *t = summary.count_of_counts;
    bool bad = !t[0] || !t[1] || !t[2] || !t[3];
    if (!bad) {
      double y = double(t[0]) / (t[0] + 2.0 * t[1]);
      for (unsigned k = 1; k <= 3; ++k) {
        double d = k - (k + 1) * y * t[k] / t[k - 1];
        summary.discounts.amount[k - 1] = d;
        bad = bad || !(d > 0 && d < k);
      }
    }
    if (bad) {
      UTIL_THROW_IF(!options_.discount_fallback, util::Exception,
                    "discounts of order " << n << " out of range: t = " << t[0] << ' ' << t[1] << ' ' << t[2] << ' '
                                          << t[3] << ", D = " << summary.discounts.amount[0] << ' '
                                          << summary.discounts.amount[1] << ' ' << summary.discounts.amount[2]);
      summary.discounts = options_.fallback;
      summary.fallback_used = true;
    }
    discounts_[n - 1] = summary.discounts;
    summaries_.push_back(summary);
  }

  // Order n's kept n-grams: all 1-grams; above, a > T_n or the context or
  // suffix of a kept n-gram of order n + 1.
  void Keep(unsigned n) {
    std::set<Words> &kept = kept_[n - 1];
    uint64_t threshold = 0;
    if (n >= 2 && !options_.prune.empty())
      threshold = n - 2 < options_.prune.size() ? options_.prune[n - 2] : options_.prune.back();
    for (const auto &[words, a] : adjusted_[n - 1])
      if (n == 1 || a > threshold) kept.insert(words);
    if (n == order_) return;
    for (const Words &longer : kept_[n]) {
      kept.insert(Words(longer.begin(), longer.end() - 1));
      kept.insert(Words(longer.begin() + 1, longer.end()));
    }
  }

  static double D(const Discounts &d, uint64_t a) { return d.amount[std::min<uint64_t>(a, 3) - 1]; }

  // A(c), N_k(c), then p(c w) = u(c w) + gamma(c) p(c' w).
  void Interpolate(unsigned n) {
    const Discounts &d = discounts_[n - 1];
    std::map<Words, Context> &contexts = context_[n - 1];
    for (const auto &[words, a] : adjusted_[n - 1]) {
      if (words == Words{"<s>"}) continue;
      Context &context = contexts[Words(words.begin(), words.end() - 1)];
      context.total += a;
      ++context.with[std::min<uint64_t>(a, 3) - 1];
      if (kept_[n - 1].count(words)) {
        ++context.kept;
      } else {
        context.pruned += a - D(d, a);
      }
    }
    for (const auto &[words, a] : adjusted_[n - 1]) {
      if (words == Words{"<s>"} || !kept_[n - 1].count(words)) continue;
      const Context &context = contexts[Words(words.begin(), words.end() - 1)];
      double u = (a - D(d, a)) / context.total;
      double lower = n == 1 ? 1.0 / (vocabulary_.size() - 1) : probability_[n - 2].at(Words(words.begin() + 1, words.end()));
      probability_[n - 1][words] = u + context.Gamma(d) * lower;
    }
    if (n == 1) {
      double unseen = contexts.at(Words()).Gamma(d) / (vocabulary_.size() - 1);
      probability_[0].emplace(Words{"<unk>"}, unseen);
      probability_[0][Words{"<s>"}] = 0;  // written as -99
    }
  }

  const EstimateOptions &options_;
  const unsigned order_;
  std::set<std::string> vocabulary_;
  std::vector<Words> sentences_;
  uint64_t lines_ = 0, tokens_ = 0;
  std::vector<std::map<Words, uint64_t>> counts_, adjusted_;  // [n - 1]
  std::vector<Discounts> discounts_;                           // [n - 1]
  std::vector<OrderSummary> summaries_;                        // [n - 1]
  // context_[n - 1]: the contexts (n - 1 words) of the n-grams of order n.
  std::vector<std::map<Words, Context>> context_;
  std::vector<std::map<Words, double>> probability_;  // [n - 1]
  std::vector<std::set<Words>> kept_;                 // [n - 1]
};

inline NaiveModel NaiveEstimate(const std::vector<std::string> &lines, const EstimateOptions &options) {
  return NaiveEstimator(lines, options).Model();
}

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_NAIVE_ESTIMATE_FOR_TEST_H
