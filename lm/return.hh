// lm::FullScoreReturn: the result of one full query.
#ifndef LM_RETURN_H
#define LM_RETURN_H

#include <cstdint>

namespace lm {

struct FullScoreReturn {
  // log10 probability of the word given its context, backoffs included.
  float prob;
  // Length of the longest n-gram matched; 1 for the word alone.
  unsigned char ngram_length;
  // True when no word further to the left could change the result.
  bool left_closed;
  // Opaque handle of the matched n-gram, for ExtendLeft with ngram_length.
  uint64_t left_handle;
  // Rest cost of the matched n-gram; equals prob before backoffs are added in
  // models without rest costs.
  float rest;
};

}  // namespace lm

#endif  // LM_RETURN_H
