// Several threads query one loaded model at once: word-by-word queries with
// their own states, batches shared among threads, and the scorer that
// overlaps lookups, for every model type, built from ARPA text and mapped
// from a binary file.  Every thread must get the scores that one thread alone
// gets, and every batch total the word-by-word total bit for bit.
// Meant to run under ThreadSanitizer as well (.ci/run), which reports any
// write that a query makes to shared memory.
#include "lm/config.hh"
#include "lm/model.hh"
#include "lm/score_batch.hh"
#include "lm/state.hh"
#include "lm/word_by_word_for_test.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace lm {
namespace base {
namespace {

constexpr unsigned kThreads = 4;

std::vector<std::string> RandomSentences() {
  const std::vector<std::string> words = {"and", "god", "said", "the", "light", "earth", ",", ".", "unheardof"};
  std::mt19937 rng(99);
  std::vector<std::string> sentences(300);
  for (std::string &sentence : sentences) {
    for (unsigned w = rng() % 25; w; --w) sentence += words[rng() % words.size()] + " ";
  }
  return sentences;
}

// Each sentence's words scored with BaseFullScore, probabilities and matched
// lengths in one list.
std::vector<float> WordByWord(const Model &model, const std::vector<std::string> &sentences) {
  std::vector<float> results;
  const Vocabulary &vocab = model.VocabularyView();
  for (const std::string &sentence : sentences) {
    ngram::State states[2];
    unsigned current = 0;
    model.BeginSentenceWrite(&states[0]);
    std::size_t at = 0;
    while ((at = sentence.find_first_not_of(' ', at)) != std::string::npos) {
      const std::size_t end = sentence.find(' ', at);
      const FullScoreReturn ret =
          model.BaseFullScore(&states[current], vocab.Index(sentence.substr(at, end - at)), &states[1 - current]);
      results.push_back(ret.prob);
      results.push_back(ret.ngram_length);
      current = 1 - current;
      at = end;
    }
  }
  return results;
}

// Each sentence's total as BaseScore word by word gives it, from the start
// state and with </s> as `options` say.
std::vector<float> Totals(const Model &model, const std::vector<std::string> &sentences, const BatchOptions &options) {
  std::vector<float> totals;
  for (const std::string &sentence : sentences) totals.push_back(WordByWord(model, sentence, options));
  return totals;
}

std::vector<float> Batch(const Model &model, const std::vector<std::string> &sentences, unsigned threads) {
  std::vector<StringPiece> pieces;
  for (const std::string &sentence : sentences) pieces.emplace_back(sentence.data(), sentence.size());
  std::vector<float> scores(pieces.size());
  ScoreBatch(model, pieces.data(), pieces.data() + pieces.size(), BatchOptions{true, true, threads}, scores.data());
  return scores;
}

// A model type, and whether the model is mapped lazily from its binary file
// rather than built from ARPA text.
struct Loading {
  ngram::ModelType type;
  bool mapped;
};

class ModelThreadTest : public ::testing::TestWithParam<Loading> {
 protected:
  void SetUp() override {
    ngram::Config config;
    config.message_stream = nullptr;
    config.temp_prefix = "/tmp/quarn_thread_test_";
    if (GetParam().mapped) {
      ngram::Config writing = config;
      writing.binary_output_path = binary_.Name();
      delete ngram::LoadVirtual("data/kjv-genesis.arpa", writing, GetParam().type);
      config.load_method = util::LAZY;
      model_.reset(ngram::LoadVirtual(binary_.Name(), config));
    } else {
      model_.reset(ngram::LoadVirtual("data/kjv-genesis.arpa", config, GetParam().type));
    }
    // Enough sentences that a batch is shared among all threads.
    for (int copy = 0; copy < 8; ++copy) {
      const std::vector<std::string> more = RandomSentences();
      sentences_.insert(sentences_.end(), more.begin(), more.end());
    }
  }

  util::TempFileForTest binary_;
  std::unique_ptr<Model> model_;
  std::vector<std::string> sentences_;
};

TEST_P(ModelThreadTest, ConcurrentQueriesAgreeWithOneThread) {
  const std::vector<float> alone = WordByWord(*model_, sentences_);
  const std::vector<float> batch_alone = Batch(*model_, sentences_, 1);
  std::vector<std::vector<float>> word_results(kThreads), batch_results(kThreads);
  {
    std::vector<std::jthread> threads;
    for (unsigned i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        word_results[i] = WordByWord(*model_, sentences_);
        batch_results[i] = Batch(*model_, sentences_, 2);
      });
    }
  }
  for (unsigned i = 0; i < kThreads; ++i) {
    EXPECT_EQ(alone, word_results[i]) << "thread " << i;
    EXPECT_EQ(batch_alone, batch_results[i]) << "thread " << i;
  }
  EXPECT_EQ(batch_alone, Batch(*model_, sentences_, kThreads));
  EXPECT_EQ(Totals(*model_, sentences_, BatchOptions()), batch_alone);
}

// Every type built from ARPA text, and a hash table and a trie mapped.
std::vector<Loading> Loadings() {
  std::vector<Loading> loadings;
  for (ngram::ModelType type : ngram::kAllModelTypes) loadings.push_back(Loading{type, false});
  loadings.push_back(Loading{ngram::PROBING, true});
  loadings.push_back(Loading{ngram::QUANT_ARRAY_TRIE, true});
  return loadings;
}

INSTANTIATE_TEST_SUITE_P(EveryType, ModelThreadTest, ::testing::ValuesIn(Loadings()),
                         [](const ::testing::TestParamInfo<Loading> &info) {
                           return std::string(info.param.mapped ? "Mapped" : "Built") + std::to_string(info.index);
                         });

// The scorer that overlaps lookups in lanes, which models larger than the
// caches get, on several threads at once, for every type, with and without
// the sentence boundaries: every thread gets the word-by-word totals.
template <class M> void ExpectLanesOnThreadsEqualWordByWord() {
  ngram::Config config;
  config.message_stream = nullptr;
  config.temp_prefix = "/tmp/quarn_thread_test_";
  const M model("data/kjv-genesis.arpa", config);
  const std::vector<std::string> sentences = RandomSentences();
  std::vector<StringPiece> pieces;
  for (const std::string &sentence : sentences) pieces.emplace_back(sentence.data(), sentence.size());
  for (const bool bos : {true, false}) {
    for (const bool eos : {true, false}) {
      const BatchOptions options{bos, eos, 1};
      const auto lanes = [&] {
        std::vector<float> scores(pieces.size());
        ngram::detail::ScoreSentences(model, UINT64_MAX, pieces.data(), pieces.data() + pieces.size(), options,
                                      scores.data());
        return scores;
      };
      const std::vector<float> truth = Totals(model, sentences, options);
      std::vector<std::vector<float>> results(kThreads);
      {
        std::vector<std::jthread> threads;
        for (unsigned i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { results[i] = lanes(); });
      }
      for (unsigned i = 0; i < kThreads; ++i)
        EXPECT_EQ(truth, results[i]) << "thread " << i << " bos " << bos << " eos " << eos;
    }
  }
}

class LanesThreadTest : public ::testing::TestWithParam<ngram::ModelType> {};

TEST_P(LanesThreadTest, LanesOnSeveralThreadsEqualWordByWord) {
  ngram::WithModelClass(GetParam(), []<class M>() { ExpectLanesOnThreadsEqualWordByWord<M>(); });
}

INSTANTIATE_TEST_SUITE_P(EveryType, LanesThreadTest, ::testing::ValuesIn(ngram::kAllModelTypes));

}  // namespace
}  // namespace base
}  // namespace lm
