#include "lm/score_sentence.hh"

#include "lm/state.hh"
#include "util/file_piece.hh"
#include "util/string_piece.hh"
#include "util/tokenize_piece.hh"

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
  for (util::TokenIter<util::BoolCharacter, true> word{StringPiece(sentence), util::BoolCharacter(util::kSpaces)};
       word; ++word) {
    ret += model->BaseScore(current, vocab.Index(*word), next);
    std::swap(current, next);
  }
  ret += model->BaseScore(current, vocab.EndSentenceIndex(), next);
  return ret;
}

}  // namespace base
}  // namespace lm
