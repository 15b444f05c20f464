// What the fuzz targets ask of every model they manage to load, and the
// checks between the answers.
//
// Probe holds the questions, taken from the input bytes: its whitespace-
// separated tokens (the words of an ARPA file, or anything at all) and its
// bytes read as word identifiers.  Exercise asks them of one model and
// writes every answer into a Transcript: each identifier below the bound
// (up to kMaxIdentifiers) scored after <s> and after nothing, a sentence of
// identifiers scored word by word, with FullScoreForgotState and GetState
// over the same context, and the probe's words scored as sentences.  Two
// transcripts of models with the same vocabulary type must then agree bit
// for bit; across vocabulary types only the word part can be compared.
//
// A failed check prints both answers and aborts, which the fuzzer reports.
#ifndef FUZZ_EXERCISE_H
#define FUZZ_EXERCISE_H

#include "lm/enumerate_vocab.hh"
#include "lm/return.hh"
#include "lm/state.hh"
#include "lm/word_index.hh"
#include "util/mmap.hh"
#include "util/string_piece.hh"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

struct Probe {
  Probe(const uint8_t *data, std::size_t size);

  // At most kMaxWords tokens of the input, then "", "<s>", "</s>", "<unk>".
  std::vector<std::string> words;
  // At most kMaxBytes leading bytes, read as identifiers modulo the bound.
  std::vector<uint8_t> bytes;

  static constexpr std::size_t kMaxWords = 200;
  static constexpr std::size_t kMaxBytes = 256;
};

// One answer.  Records compare bit for bit (a NaN equals itself).
struct Record {
  float prob;
  float rest;
  uint32_t word;
  unsigned char ngram_length;
  unsigned char state_length;
};

struct Transcript {
  // Answers that depend on identifiers: equal only for equal vocabularies.
  std::vector<Record> by_identifier;
  // Answers to the probe's words, with identifiers reduced to "known or not".
  std::vector<Record> by_word;
};

constexpr lm::WordIndex kMaxIdentifiers = 2048;

// The load methods a binary file is tried with (PARALLEL_READ always
// refuses).
constexpr util::LoadMethod kLoadMethods[] = {util::LAZY, util::POPULATE_OR_LAZY, util::POPULATE_OR_READ, util::READ};

// Takes the words a load enumerates and keeps nothing: set as the
// configuration's enumerate_vocab, it makes a binary load read the word list.
class DiscardWords : public lm::EnumerateVocab {
 public:
  void Add(lm::WordIndex, const StringPiece &) override {}
};

// Aborts with a report unless `a` and `b` agree bit for bit; `what` names
// the two models.
void ExpectIdentical(const Transcript &a, const Transcript &b, const std::string &what);

// Aborts unless the word parts agree in matched lengths, state lengths and
// known words, and, where both probabilities are finite, in probability to
// within 1e-3 (relative above magnitude 1): the two kinds of model add the
// same terms in different orders.  `compare_prob` false
// skips probabilities (a quantized model against an exact one).
void ExpectSimilar(const Transcript &a, const Transcript &b, bool compare_prob, const std::string &what);

template <class Model> Transcript Exercise(const Model &model, const Probe &probe);

// Implementation.

namespace detail {

constexpr lm::FullScoreReturn kNoScore{};

Record Make(const lm::FullScoreReturn &ret, lm::WordIndex word, const lm::ngram::State &state);

template <class Model>
void ScoreIdentifiers(const Model &model, const Probe &probe, std::vector<Record> &out) {
  const lm::WordIndex bound = model.GetVocabulary().Bound();
  lm::ngram::State state;
  for (lm::WordIndex word = 0; word < std::min(bound, kMaxIdentifiers); ++word) {
    out.push_back(Make(model.FullScore(model.BeginSentenceState(), word, state), word, state));
    out.push_back(Make(model.FullScore(model.NullContextState(), word, state), word, state));
  }
  // A sentence of identifiers, word by word and through the forgetful calls.
  std::vector<lm::WordIndex> history;
  lm::ngram::State current = model.BeginSentenceState();
  for (uint8_t byte : probe.bytes) {
    const lm::WordIndex word = byte % bound;
    lm::ngram::State next;
    out.push_back(Make(model.FullScore(current, word, next), word, next));
    const lm::WordIndex *context_rend = history.data() + history.size();
    const lm::WordIndex *context_rbegin =
        context_rend - std::min<std::size_t>(history.size(), model.Order() - 1);
    std::vector<lm::WordIndex> reversed(context_rbegin, context_rend);
    std::reverse(reversed.begin(), reversed.end());
    lm::ngram::State forgot;
    out.push_back(Make(model.FullScoreForgotState(reversed.data(), reversed.data() + reversed.size(), word, forgot),
                       word, forgot));
    lm::ngram::State got;
    model.GetState(reversed.data(), reversed.data() + reversed.size(), got);
    out.push_back(Make(kNoScore, word, got));
    history.push_back(word);
    current = next;
  }
  // The empty context given as two null pointers.
  lm::ngram::State empty;
  out.push_back(Make(model.FullScoreForgotState(nullptr, nullptr, 0, empty), 0, empty));
}

template <class Model>
void ScoreWords(const Model &model, const Probe &probe, std::vector<Record> &out) {
  lm::ngram::State current = model.BeginSentenceState();
  for (const std::string &text : probe.words) {
    const lm::WordIndex word = model.GetVocabulary().Index(StringPiece(text));
    lm::ngram::State next;
    out.push_back(Make(model.FullScore(current, word, next), word != 0, next));
    current = next;
  }
  lm::ngram::State next;
  out.push_back(Make(model.FullScore(current, model.GetVocabulary().EndSentenceIndex(), next), 1, next));
}

}  // namespace detail

template <class Model> Transcript Exercise(const Model &model, const Probe &probe) {
  Transcript ret;
  detail::ScoreIdentifiers(model, probe, ret.by_identifier);
  detail::ScoreWords(model, probe, ret.by_word);
  return ret;
}

}  // namespace fuzz

#endif  // FUZZ_EXERCISE_H
