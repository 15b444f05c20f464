// lm::ngram::State: the right context left behind by a query.
//
// words[0] is the word just scored, words[1] the one before it, and so on;
// backoff[i] is the log10 backoff of the n-gram words[i] ... words[0] in text
// order.  Only the first `length` entries carry meaning: states compare and
// hash over their first `length` words only, never over backoffs.  A plain
// record: copy it byte for byte.
#ifndef LM_STATE_H
#define LM_STATE_H

#include "lm/max_order.hh"
#include "lm/word_index.hh"
#include "util/murmur_hash.hh"

#include <cstdint>
#include <cstring>

namespace lm {
namespace ngram {

class State {
 public:
  // Shorter states order first; equal lengths compare the words' bytes.
  int Compare(const State &other) const {
    if (length != other.length) return length < other.length ? -1 : 1;
    return std::memcmp(words, other.words, length * sizeof(WordIndex));
  }

  bool operator==(const State &other) const { return Compare(other) == 0; }
  bool operator!=(const State &other) const { return Compare(other) != 0; }
  bool operator<(const State &other) const { return Compare(other) < 0; }

  WordIndex words[QUARN_MAX_ORDER - 1];
  float backoff[QUARN_MAX_ORDER - 1];
  unsigned char length;
};

inline uint64_t hash_value(const State &state) {
  return util::MurmurHashNative(state.words, sizeof(WordIndex) * state.length, 0);
}

}  // namespace ngram
}  // namespace lm

#endif  // LM_STATE_H
