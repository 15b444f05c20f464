#include "lm/value_build.hh"

#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/model.hh"
#include "lm/read_arpa.hh"
#include "lm/state.hh"
#include "lm/vocab.hh"
#include "util/file_piece.hh"

#include <string>

namespace lm {
namespace ngram {
namespace {


}  // namespace

template <class Model>
LowerRestBuild<Model>::LowerRestBuild(const Config &config, unsigned int order, const ProbingVocabulary &vocab) {
  UTIL_THROW_IF(config.rest_lower_files.size() != order - 1, ConfigException,
                "This model has order " << order << " so there should be " << (order - 1)
                                        << " lower-order models for rest cost purposes.");
  Config for_lower = config;
  for_lower.binary_output_path = nullptr;
  for_lower.rest_lower_files.clear();

  const std::string &unigram_file = config.rest_lower_files[0];
  util::FilePiece uni(unigram_file.c_str(), nullptr, kARPAReaderBuffer);
  std::vector<uint64_t> number;
  ReadARPACounts(uni, number);
  UTIL_THROW_IF(number.size() != 1, FormatLoadException,
                "Expected the unigram model to have order 1, not " << number.size());
  // Every word it lists must be one of the model's, so a larger count is
  // refused before it sizes the table.
  UTIL_THROW_IF(number[0] > vocab.Bound(), FormatLoadException,
                "The lower-order unigram file " << unigram_file << " declares " << number[0]
                                                << " 1-grams but the model has only " << vocab.Bound()
                                                << " words.");
  ReadNGramHeader(uni, 1);
  unigrams_.assign(number[0], 0.0f);
  if (!unigrams_.empty()) unigrams_[0] = config.missing_unk_log_prob;
  PositiveProbWarn warn(THROW_ERROR);
  for (uint64_t i = 0; i < number[0]; ++i) {
    WordIndex word;
    Prob entry;
    ReadNGram(uni, 1, vocab, &word, entry, warn);
    UTIL_THROW_IF(word >= unigrams_.size(), FormatLoadException,
                  "The lower-order unigram file " << unigram_file << " declares " << unigrams_.size()
                                                  << " 1-grams but lists a word with model identifier " << word
                                                  << "; it must list the model's words in the model's order.");
    unigrams_[word] = entry.prob;
  }

  for (unsigned int i = 2; i < order; ++i) {
    models_.push_back(std::make_unique<Model>(config.rest_lower_files[i - 1].c_str(), for_lower));
    UTIL_THROW_IF(models_.back()->Order() != i, FormatLoadException,
                  "Lower order file " << config.rest_lower_files[i - 1] << " should have order " << i);
  }
}

template <class Model> LowerRestBuild<Model>::~LowerRestBuild() {}

template <class Model>
void LowerRestBuild<Model>::SetRest(const WordIndex *vocab_ids, unsigned int n, RestWeights &weights) const {
  if (n == 1) {
    UTIL_THROW_IF(vocab_ids[0] >= unigrams_.size(), FormatLoadException,
                  "The lower-order unigram file has " << unigrams_.size()
                                                      << " 1-grams, too few for the model's word identifier "
                                                      << vocab_ids[0]);
    weights.rest = unigrams_[vocab_ids[0]];
    return;
  }
  State ignored;
  weights.rest = models_[n - 2]->FullScoreForgotState(vocab_ids + 1, vocab_ids + n, vocab_ids[0], ignored).prob;
}

template class LowerRestBuild<ProbingModel>;

}  // namespace ngram
}  // namespace lm
