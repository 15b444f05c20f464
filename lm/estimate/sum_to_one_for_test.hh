// DistributionsSumToOne: loads an ARPA file of order 2 or more with quarn
// (lm::ngram::LoadVirtual, every warning made an error or caught) and
// checks that after the empty context and after every n-gram of an order
// below the highest, the probabilities of the words of the vocabulary
// except <s> sum to one within `tolerance`, backing off as the scorer does.
// A context that begins with <s> is reached from the begin-of-sentence state,
// any other from the null context.  The load must print nothing.  Meant for
// small models: the work is the number of contexts times |V|.
#ifndef LM_ESTIMATE_SUM_TO_ONE_FOR_TEST_H
#define LM_ESTIMATE_SUM_TO_ONE_FOR_TEST_H

#include "lm/config.hh"
#include "lm/estimate/arpa_table_for_test.hh"
#include "lm/model.hh"
#include "lm/state.hh"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace estimate {

inline ::testing::AssertionResult DistributionsSumToOne(const std::string &arpa_path, double tolerance = 1e-4) {
  ArpaTable table = ReadArpaTableForTest(arpa_path);
  std::ostringstream messages;
  ngram::Config config;
  config.message_stream = &messages;
  config.show_progress = false;
  config.missing_unk_action = THROW_ERROR;
  config.missing_marker_action = THROW_ERROR;
  config.positive_log_probability = THROW_ERROR;
  config.arpa_complain = ngram::Config::NONE;
  std::unique_ptr<base::Model> model(ngram::LoadVirtual(arpa_path.c_str(), config));
  if (!messages.str().empty()) return ::testing::AssertionFailure() << "loading printed: " << messages.str();

  const base::Vocabulary &vocabulary = model->VocabularyView();
  std::vector<WordIndex> predicted;
  for (const auto &[words, entry] : table.orders[0])
    if (words[0] != "<s>") predicted.push_back(vocabulary.Index(words[0]));

  std::vector<Words> contexts{Words()};
  for (std::size_t n = 1; n < table.orders.size(); ++n)
    for (const auto &[words, entry] : table.orders[n - 1]) contexts.push_back(words);

  std::ostringstream report;
  std::size_t failed = 0;
  for (const Words &context : contexts) {
    bool begins = !context.empty() && context[0] == "<s>";
    ngram::State state = *static_cast<const ngram::State *>(begins ? model->BeginSentenceRecord()
                                                                  : model->NullContextRecord());
    for (std::size_t i = begins; i < context.size(); ++i) {
      ngram::State next;
      model->BaseScore(&state, vocabulary.Index(context[i]), &next);
      state = next;
    }
    double sum = 0;
    ngram::State ignored;
    for (WordIndex word : predicted) sum += std::pow(10.0, model->BaseScore(&state, word, &ignored));
    if (!(std::fabs(sum - 1.0) <= tolerance) && failed++ < 20) {
      report << "  after \"" << detail::Joined(context) << "\": " << sum << '\n';
    }
  }
  if (!failed) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << failed << " of " << contexts.size() << " contexts do not sum to one:\n"
                                       << report.str();
}

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_SUM_TO_ONE_FOR_TEST_H
