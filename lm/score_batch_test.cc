// ScoreBatch against the word-by-word scores of the same model: for every
// model type, every combination of sentence boundaries and several thread
// counts, each sentence's score must be bit for bit the sum of BaseScore
// calls (and, with both boundaries, ScoreSentence's result).
#include "lm/score_batch.hh"

#include "lm/config.hh"
#include "lm/model.hh"
#include "lm/score_sentence.hh"
#include "lm/state.hh"
#include "lm/word_by_word_for_test.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace lm {
namespace base {
namespace {

const char kGenesis[] = "data/kjv-genesis.arpa";

std::unique_ptr<Model> Load(ngram::ModelType type) {
  ngram::Config config;
  config.message_stream = nullptr;
  config.temp_prefix = "/tmp/quarn_batch_test_";
  return std::unique_ptr<Model>(ngram::LoadVirtual(kGenesis, config, type));
}

// Edge cases, then random walks over the model's words with unknown words,
// repeated words and long runs mixed in.
std::vector<std::string> Sentences() {
  std::vector<std::string> sentences = {
      "",
      " \t\n\r\v\f ",
      "in the beginning god created the heaven and the earth .",
      "  and\tgod \n said ,\r\rlet there be light .  ",
      "unheardof words everywhere",
      "<unk> </s> <s> and",
      std::string("and god\0said let", 16),
      std::string("\0and god", 8),
      "and\xa0god",
      "the the the the the the the the the the the the the the the the",
  };
  const std::vector<std::string> words = {"and",  "god", "said", "the", "light", "earth", ",", ".", "was",
                                          "good", "day", "of",   "unheardof", "</s>", "it", "he"};
  std::mt19937 rng(1234);
  for (int i = 0; i < 3000; ++i) {
    std::string sentence;
    const int length = std::uniform_int_distribution<int>(0, 30)(rng);
    for (int w = 0; w < length; ++w) sentence += words[rng() % words.size()] + (rng() % 7 ? " " : "\t  ");
    sentences.push_back(std::move(sentence));
  }
  return sentences;
}

std::vector<StringPiece> Pieces(const std::vector<std::string> &sentences) {
  std::vector<StringPiece> pieces;
  for (const std::string &sentence : sentences) pieces.emplace_back(sentence.data(), sentence.size());
  return pieces;
}

class ScoreBatchTest : public ::testing::TestWithParam<ngram::ModelType> {};

TEST_P(ScoreBatchTest, EqualsWordByWordScoresBitForBit) {
  const std::unique_ptr<Model> model = Load(GetParam());
  const std::vector<std::string> sentences = Sentences();
  const std::vector<StringPiece> pieces = Pieces(sentences);
  for (const bool bos : {true, false}) {
    for (const bool eos : {true, false}) {
      for (const unsigned threads : {1u, 3u, 0u}) {
        const BatchOptions options{bos, eos, threads};
        std::vector<float> scores(pieces.size(), 1.0f);
        ScoreBatch(*model, pieces.data(), pieces.data() + pieces.size(), options, scores.data());
        for (std::size_t i = 0; i < sentences.size(); ++i) {
          ASSERT_EQ(std::bit_cast<uint32_t>(WordByWord(*model, sentences[i], options)),
                    std::bit_cast<uint32_t>(scores[i]))
              << "sentence " << i << " \"" << sentences[i] << "\" bos " << bos << " eos " << eos << " threads "
              << threads;
        }
      }
    }
  }
}

TEST_P(ScoreBatchTest, EqualsScoreSentenceWithBothBoundaries) {
  const std::unique_ptr<Model> model = Load(GetParam());
  const std::vector<std::string> sentences = Sentences();
  const std::vector<StringPiece> pieces = Pieces(sentences);
  std::vector<float> scores(pieces.size());
  ScoreBatch(*model, pieces.data(), pieces.data() + pieces.size(), BatchOptions(), scores.data());
  for (std::size_t i = 0; i < sentences.size(); ++i) {
    if (sentences[i].find('\0') != std::string::npos) continue;
    ASSERT_EQ(std::bit_cast<uint32_t>(ScoreSentence(model.get(), sentences[i].c_str())),
              std::bit_cast<uint32_t>(scores[i]))
        << "sentence " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryModelType, ScoreBatchTest,
                         ::testing::ValuesIn(ngram::kAllModelTypes));

// Both ways of scoring on one thread, whatever the model's size: lookups
// overlapped in lanes (as for a model larger than the caches) and one
// sentence after the other.
template <class M> void ExpectBothWaysEqualWordByWord() {
  ngram::Config config;
  config.message_stream = nullptr;
  config.temp_prefix = "/tmp/quarn_batch_test_";
  const M model(kGenesis, config);
  const std::vector<std::string> sentences = Sentences();
  const std::vector<StringPiece> pieces = Pieces(sentences);
  for (const bool bos : {true, false}) {
    for (const bool eos : {true, false}) {
      for (const uint64_t model_bytes : {uint64_t{0}, UINT64_MAX}) {
        const BatchOptions options{bos, eos, 1};
        std::vector<float> scores(pieces.size(), 1.0f);
        ngram::detail::ScoreSentences(model, model_bytes, pieces.data(), pieces.data() + pieces.size(), options,
                                      scores.data());
        for (std::size_t i = 0; i < sentences.size(); ++i) {
          ASSERT_EQ(std::bit_cast<uint32_t>(WordByWord(model, sentences[i], options)),
                    std::bit_cast<uint32_t>(scores[i]))
              << "sentence " << i << " bos " << bos << " eos " << eos << " model bytes " << model_bytes;
        }
      }
    }
  }
}

class ScoreSentencesTest : public ::testing::TestWithParam<ngram::ModelType> {};

TEST_P(ScoreSentencesTest, InLanesAndInTurnEqualWordByWord) {
  ngram::WithModelClass(GetParam(), []<class M>() { ExpectBothWaysEqualWordByWord<M>(); });
}

INSTANTIATE_TEST_SUITE_P(EveryModelType, ScoreSentencesTest,
                         ::testing::ValuesIn(ngram::kAllModelTypes));

TEST(ScoreBatch, EmptyBatchAndSmallBatchesTouchOnlyTheirScores) {
  const std::unique_ptr<Model> model = Load(ngram::PROBING);
  const std::vector<std::string> sentences = {"and god said", "", "light"};
  const std::vector<StringPiece> pieces = Pieces(sentences);
  std::vector<float> scores(5, 7.0f);
  ScoreBatch(*model, pieces.data(), pieces.data(), BatchOptions{true, true, 4}, scores.data());
  EXPECT_EQ(std::vector<float>(5, 7.0f), scores);
  for (std::size_t count = 1; count <= pieces.size(); ++count) {
    ScoreBatch(*model, pieces.data(), pieces.data() + count, BatchOptions{false, false, 4}, scores.data() + 1);
    EXPECT_EQ(7.0f, scores[0]);
    EXPECT_EQ(7.0f, scores[count + 1]);
  }
  EXPECT_EQ(0.0f, scores[2]);  // no words, no boundaries
}

TEST(ScoreBatch, ThreadCount) {
  EXPECT_EQ(5u, BatchThreads(5));
  EXPECT_LE(1u, BatchThreads(0));
}

}  // namespace
}  // namespace base
}  // namespace lm
