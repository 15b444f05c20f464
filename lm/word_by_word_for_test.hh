// The truth the batch scorer is tested against: a sentence's log10
// probability as BaseScore gives it word by word.
#ifndef LM_WORD_BY_WORD_FOR_TEST_H
#define LM_WORD_BY_WORD_FOR_TEST_H

#include "lm/score_batch.hh"
#include "lm/state.hh"
#include "lm/virtual_interface.hh"

#include <algorithm>
#include <string>
#include <vector>

namespace lm {
namespace base {

// The words of `sentence` as bytes.split() finds them, each cut at its first
// NUL.
inline std::vector<std::string> SplitForTest(const std::string &sentence) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while ((at = sentence.find_first_not_of(" \t\n\v\f\r", at)) != std::string::npos) {
    const std::size_t end = std::min(sentence.find_first_of(" \t\n\v\f\r", at), sentence.size());
    words.push_back(sentence.substr(at, end - at).c_str());
    at = end;
  }
  return words;
}

// BaseScore over the words of `sentence` from the start state that `options`
// name, with </s> last when they say so, summed in a float.
inline float WordByWord(const Model &model, const std::string &sentence, const BatchOptions &options) {
  ngram::State states[2];
  unsigned current = 0;
  if (options.bos) {
    model.BeginSentenceWrite(&states[0]);
  } else {
    model.NullContextWrite(&states[0]);
  }
  float total = 0.0f;
  for (const std::string &word : SplitForTest(sentence)) {
    total += model.BaseScore(&states[current], model.VocabularyView().Index(word), &states[1 - current]);
    current = 1 - current;
  }
  if (options.eos) total += model.BaseScore(&states[current], model.VocabularyView().EndSentenceIndex(), &states[1 - current]);
  return total;
}

}  // namespace base
}  // namespace lm

#endif  // LM_WORD_BY_WORD_FOR_TEST_H
