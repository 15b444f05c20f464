// Test helper: a record's words as a Key, and SuffixOrder's order of keys
// spelled out independently (the last word first), as the truth that sorted
// and counted records are checked against.
#ifndef LM_ESTIMATE_KEY_ORDER_FOR_TEST_H
#define LM_ESTIMATE_KEY_ORDER_FOR_TEST_H

#include "lm/estimate/ngram_record.hh"

#include <algorithm>
#include <vector>

namespace lm {
namespace estimate {

typedef std::vector<WordId> Key;

struct ReversedLess {
  bool operator()(const Key &a, const Key &b) const {
    return std::lexicographical_compare(a.rbegin(), a.rend(), b.rbegin(), b.rend());
  }
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_KEY_ORDER_FOR_TEST_H
