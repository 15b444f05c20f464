#include "lm/score_sentence.hh"

#include "lm/state.hh"
#include "util/string_piece.hh"
#include "util/split_words.hh"

#include <cassert>
#include <utility>

namespace lm {
namespace base {

float ScoreSentence(const Model *model, const char *sentence) {
  assert(model->StateBytes() == sizeof(ngram::State));
  const Vocabulary &vocab = model->VocabularyView();
  ngram::State states[2];
  ngram::State *current = &states[0], *next = &states[1];
  model->BeginSentenceWrite(current);
  float ret = 0.0f;
  util::SentenceWords words(StringPiece(sentence), util::NulByte::kEndsSentence);
  for (StringPiece word; words.Next(word);) {
    ret += model->BaseScore(current, vocab.Index(word), next);
    std::swap(current, next);
  }
  ret += model->BaseScore(current, vocab.EndSentenceIndex(), next);
  return ret;
}

}  // namespace base
}  // namespace lm
