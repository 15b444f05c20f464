#include "lm/sorted_vocab_lookup.hh"

#include "lm/config.hh"
#include "lm/sorted_vocab.hh"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lm {
namespace ngram {
namespace {

// A finished vocabulary of `words` over its own memory.
class Finished {
 public:
  explicit Finished(const std::vector<std::string> &words)
      : memory_(SortedVocabulary::Size(words.size(), config_) / 8, 0), weights_(words.size() + 1) {
    vocab.SetupMemory(memory_.data(), memory_.size() * 8, words.size(), config_);
    for (const std::string &word : words) vocab.Insert(word);
    vocab.FinishedLoading(weights_.data());
  }

  Config config_;
  std::vector<uint64_t> memory_;
  std::vector<ProbBackoff> weights_;
  SortedVocabulary vocab;
};

std::vector<std::string> Numbered(const char *prefix, std::size_t count) {
  std::vector<std::string> words;
  for (std::size_t i = 0; i < count; ++i) {
    words.emplace_back(prefix);
    words.back() += std::to_string(i);
  }
  return words;
}

// Every word held, <unk> and words not held give the vocabulary's answer,
// from an empty vocabulary to one of many buckets.
TEST(SortedVocabLookup, AgreesWithTheVocabulary) {
  for (std::size_t count : {0, 1, 15, 16, 17, 1000, 70000}) {
    SCOPED_TRACE(count);
    std::vector<std::string> words = Numbered("w", count);
    const Finished finished(words);
    const SortedVocabLookup lookup(finished.vocab);
    words.push_back("<unk>");
    words.push_back("<UNK>");
    for (const std::string &absent : Numbered("absent", 100)) words.push_back(absent);
    for (const std::string &word : words) {
      lookup.Prefetch(word);
      ASSERT_EQ(finished.vocab.Index(word), lookup.Index(word)) << word;
    }
  }
}

// A word listed twice holds its hash twice: the lookup answers as the
// vocabulary does.
TEST(SortedVocabLookup, RepeatedWordAnswersAsTheVocabulary) {
  std::vector<std::string> words = Numbered("w", 100);
  words.push_back("w7");
  words.push_back("w7");
  const Finished finished(words);
  const SortedVocabLookup lookup(finished.vocab);
  for (const std::string &word : words) EXPECT_EQ(finished.vocab.Index(word), lookup.Index(word)) << word;
}

}  // namespace
}  // namespace ngram
}  // namespace lm
