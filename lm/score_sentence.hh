// lm::base::ScoreSentence: the log10 probability of a whole sentence.
//
// The sentence is NUL-terminated text whose words are separated by runs of
// util::kSpaces bytes (tab, line feed, vertical tab, form feed, carriage
// return, space); a null pointer is the empty sentence.  Each word is looked
// up by its exact bytes (unknown words become <unk>) and scored through the
// model's virtual BaseScore, starting from the begin-sentence state; </s> is
// scored last.  The sum is kept in a 32-bit float.  Works for any model whose
// state is an lm::ngram::State; allocates nothing and never throws.
#ifndef LM_SCORE_SENTENCE_H
#define LM_SCORE_SENTENCE_H

#include "lm/virtual_interface.hh"

namespace lm {
namespace base {

float ScoreSentence(const Model *model, const char *sentence);

}  // namespace base
}  // namespace lm

#endif  // LM_SCORE_SENTENCE_H
