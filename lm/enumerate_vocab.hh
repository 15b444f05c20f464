// lm::EnumerateVocab: a callback that receives every vocabulary word with its
// identifier while a model loads.  The word's bytes are valid only during the
// call.
#ifndef LM_ENUMERATE_VOCAB_H
#define LM_ENUMERATE_VOCAB_H

#include "lm/word_index.hh"
#include "util/string_piece.hh"

namespace lm {

class EnumerateVocab {
 public:
  virtual ~EnumerateVocab() {}
  virtual void Add(WordIndex index, const StringPiece &str) = 0;

 protected:
  EnumerateVocab() {}
};

}  // namespace lm

#endif  // LM_ENUMERATE_VOCAB_H
