// lm::WordIndex: the vocabulary identifier of a word.  Identifier 0 is the
// unknown word <unk>, which every vocabulary also returns for words it does
// not hold.
#ifndef LM_WORD_INDEX_H
#define LM_WORD_INDEX_H

#include <cstdint>

namespace lm {
typedef uint32_t WordIndex;
constexpr WordIndex kMaxWordIndex = UINT32_MAX;
}  // namespace lm

#endif  // LM_WORD_INDEX_H
