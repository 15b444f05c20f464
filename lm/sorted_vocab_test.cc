#include "lm/sorted_vocab.hh"

#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/vocab.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace lm {
namespace ngram {
namespace {

class Recorder : public EnumerateVocab {
 public:
  void Add(WordIndex index, const StringPiece &str) override { calls.emplace_back(index, str.as_string()); }
  std::vector<std::pair<WordIndex, std::string>> calls;
};

// A vocabulary over its own zeroed memory for `room` words.
class VocabFixture {
 public:
  explicit VocabFixture(std::size_t room) : memory_(SortedVocabulary::Size(room, config_) / 8, 0) {
    vocab.SetupMemory(memory_.data(), memory_.size() * 8, room, config_);
  }
  uint64_t StoredCount() const { return memory_[0]; }
  std::vector<uint64_t> &Memory() { return memory_; }

  Config config_;
  std::vector<uint64_t> memory_;
  SortedVocabulary vocab;
};

// Words in the order their hashes sort.
std::vector<std::string> ByHash(std::vector<std::string> words) {
  std::sort(words.begin(), words.end(),
            [](const std::string &a, const std::string &b) { return HashForVocab(a) < HashForVocab(b); });
  return words;
}

TEST(SortedVocabulary, FinishingRenumbersByHashAndCarriesWeights) {
  const std::vector<std::string> sorted = ByHash({"a", "b", "c", "<s>", "</s>"});
  // Insert in reverse hash order so that every word moves.
  std::vector<std::string> inserted(sorted.rbegin(), sorted.rend());
  VocabFixture fixture(6);
  Recorder recorder;
  fixture.vocab.ConfigureEnumerate(&recorder, 6);
  ASSERT_EQ(1u, recorder.calls.size());
  EXPECT_EQ(std::make_pair(WordIndex(0), std::string("<unk>")), recorder.calls[0]);

  std::vector<ProbBackoff> weights(7);
  weights[0] = {-100.0f, 0.0f};
  for (std::size_t i = 0; i < inserted.size(); ++i) {
    const WordIndex temporary = fixture.vocab.Insert(inserted[i]);
    EXPECT_EQ(i + 1, temporary);
    weights[temporary] = {-static_cast<float>(i + 1), 0.0f};
  }
  EXPECT_EQ(0u, fixture.vocab.Insert("<UNK>"));
  EXPECT_TRUE(fixture.vocab.SawUnk());
  EXPECT_EQ(1u, recorder.calls.size()) << "nothing is reported while inserting";

  fixture.vocab.FinishedLoading(weights.data());
  EXPECT_EQ(5u, fixture.StoredCount());
  EXPECT_EQ(6u, fixture.vocab.Bound());
  EXPECT_EQ(-100.0f, weights[0].prob);
  ASSERT_EQ(6u, recorder.calls.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    const WordIndex id = static_cast<WordIndex>(i + 1);
    EXPECT_EQ(id, fixture.vocab.Index(sorted[i]));
    EXPECT_EQ(std::make_pair(id, sorted[i]), recorder.calls[id]);
    // sorted[i] was inserted as number 5 - i.
    EXPECT_EQ(-static_cast<float>(sorted.size() - i), weights[id].prob) << sorted[i];
  }
  EXPECT_EQ(fixture.vocab.Index("<s>"), fixture.vocab.BeginSentenceIndex());
  EXPECT_EQ(fixture.vocab.Index("</s>"), fixture.vocab.EndSentenceIndex());
  for (const char *absent : {"<unk>", "<UNK>", "never", ""}) EXPECT_EQ(0u, fixture.vocab.Index(absent)) << absent;
}

TEST(SortedVocabulary, EmptyVocabulary) {
  VocabFixture fixture(1);
  EXPECT_EQ(0u, fixture.vocab.Insert("<unk>"));
  ProbBackoff weights[2] = {};
  fixture.vocab.FinishedLoading(weights);
  EXPECT_EQ(0u, fixture.StoredCount());
  EXPECT_EQ(1u, fixture.vocab.Bound());
  EXPECT_EQ(0u, fixture.vocab.Index("<s>"));
  EXPECT_EQ(0u, fixture.vocab.BeginSentenceIndex());
}

TEST(SortedVocabulary, LoadedBinaryReproducesIdentifiers) {
  const std::vector<std::string> words = {"x", "y", "z", "<s>", "</s>", "w"};
  VocabFixture built(words.size());
  std::vector<ProbBackoff> weights(words.size() + 1);
  for (const std::string &word : words) built.vocab.Insert(word);
  built.vocab.FinishedLoading(weights.data());

  // A second vocabulary over a copy of the bytes, as a loaded file would be.
  VocabFixture loaded(words.size());
  loaded.Memory() = built.Memory();
  loaded.vocab.SetupMemory(loaded.Memory().data(), loaded.Memory().size() * 8, words.size(), loaded.config_);
  loaded.vocab.LoadedBinary(false, -1, nullptr, 0);
  EXPECT_EQ(built.vocab.Bound(), loaded.vocab.Bound());
  for (const std::string &word : words) EXPECT_EQ(built.vocab.Index(word), loaded.vocab.Index(word)) << word;
  EXPECT_EQ(built.vocab.BeginSentenceIndex(), loaded.vocab.BeginSentenceIndex());
  EXPECT_EQ(built.vocab.EndSentenceIndex(), loaded.vocab.EndSentenceIndex());
}

TEST(SortedVocabulary, DamagedCountIsRefused) {
  VocabFixture fixture(3);
  fixture.Memory()[0] = 4;
  fixture.vocab.SetupMemory(fixture.Memory().data(), fixture.Memory().size() * 8, 3, fixture.config_);
  try {
    fixture.vocab.LoadedBinary(false, -1, nullptr, 0);
    FAIL() << "no exception";
  } catch (const FormatLoadException &e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("it claims 4 words but has room for 3"));
  }
}

TEST(SortedVocabulary, RelocateKeepsTheWords) {
  VocabFixture fixture(2);
  ProbBackoff weights[3] = {};
  fixture.vocab.Insert("p");
  fixture.vocab.Insert("q");
  fixture.vocab.FinishedLoading(weights);
  std::vector<uint64_t> moved = fixture.Memory();
  std::fill(fixture.Memory().begin(), fixture.Memory().end(), 0);
  fixture.vocab.Relocate(moved.data());
  EXPECT_NE(0u, fixture.vocab.Index("p"));
  EXPECT_NE(fixture.vocab.Index("p"), fixture.vocab.Index("q"));
}

}  // namespace
}  // namespace ngram
}  // namespace lm
