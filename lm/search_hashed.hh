// lm::ngram::detail::HashedSearch<Value>: the n-gram storage of the two
// hash-table models (Value = BackoffValue or RestValue, lm/value.hh).
//
// The storage is one byte region that the search does not own, laid out as
//   (counts[0] + 1) 1-gram records indexed by word identifier,
//   one probing hash table per middle order 2 .. N-1 (Value::ProbingEntry),
//   one probing hash table for order N (ProbEntry),
// back to back without padding; every table has empty key 0 and
// counts[i] * probing_multiplier buckets (at least counts[i] + 1).  The region
// holds no pointers, so a binary file can be used as soon as it is mapped.
//
// N-grams are stored only as 64-bit keys: the key of the 1-gram w is w, and
// the key of w(k) ... wn is CombineWordHash(key of w(k+1) ... wn, w(k)), so a
// query walking from the predicted word into its history computes each
// order's key from the previous one.  A key match is taken as an n-gram match.
//
// A node is the key of the n-gram matched so far.  Lookups are const,
// allocate nothing and may run on many threads at once.  Building from ARPA
// (InitializeFromARPA) runs once; with config.arpa_threads above 1 one
// thread parses the text while a second stores the n-grams, in file order,
// so the region comes out the same for any thread count.
#ifndef LM_SEARCH_HASHED_H
#define LM_SEARCH_HASHED_H

#include "lm/config.hh"
#include "lm/value.hh"
#include "lm/weights.hh"
#include "lm/word_index.hh"
#include "util/probing_hash_table.hh"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace util {
class FilePiece;
class Worker;
}  // namespace util

namespace lm {

class PositiveProbWarn;

namespace ngram {

class BinaryFormat;
class ProbingVocabulary;

namespace detail {

// One step of n-gram keying: (current * A) ^ ((next + 1 mod 2^32) * B).
inline uint64_t CombineWordHash(uint64_t current, const WordIndex next) {
  return (current * 0x7c9ba2733b63f585ULL) ^
         (static_cast<uint64_t>(static_cast<WordIndex>(next + 1)) * 0xf8574e1221634907ULL);
}

template <class Value> class HashedSearch {
 public:
  typedef uint64_t Node;
  typedef typename Value::UnigramPointer UnigramPointer;
  typedef typename Value::MiddlePointer MiddlePointer;
  typedef detail::LongestPointer LongestPointer;

  static const unsigned int kVersion = 0;
  static const bool kDifferentRest = Value::kDifferentRest;

  // The 1-gram records: an array indexed by word identifier, one more record
  // than there are 1-grams; record 0 is <unk>.
  class Unigram {
   public:
    Unigram() : unigram_(nullptr) {}
    explicit Unigram(void *start) : unigram_(static_cast<typename Value::Weights *>(start)) {}

    static uint64_t Size(uint64_t count) { return (count + 1) * sizeof(typename Value::Weights); }

    const typename Value::Weights &Lookup(WordIndex index) const { return unigram_[index]; }
    typename Value::Weights &Unknown() { return unigram_[0]; }
    typename Value::Weights *Raw() { return unigram_; }

   private:
    typename Value::Weights *unigram_;
  };

  typedef util::ProbingHashTable<typename Value::ProbingEntry, util::IdentityHash> Middle;
  typedef util::ProbingHashTable<ProbEntry, util::IdentityHash> Longest;

  // Bytes of the region for `counts` (1-grams first) under
  // config.probing_multiplier.
  static uint64_t Size(const std::vector<uint64_t> &counts, const Config &config);

  // The multiplier, the only parameter, travels in the binary file's header.
  static void UpdateConfigFromBinary(const BinaryFormat &, const std::vector<uint64_t> &, uint64_t, Config &) {}

  // Lays the 1-gram array and the tables over memory from `start` (zero-filled
  // for a new model, or a region built earlier); writes no bucket memory.
  // Returns the first byte after the region.
  uint8_t *SetupMemory(uint8_t *start, const std::vector<uint64_t> &counts, const Config &config);

  // Builds the region from ARPA text: `f` stands just after the counts.
  // Grows `backing` by Size, reads the 1-grams into `vocab` and the records,
  // checks the special words, reads every higher order (repairing pruned
  // suffixes and computing rest costs) and the end marker.  `counts` is used
  // as declared.  Errors from the reader, the vocabulary and the rest-cost
  // models pass through; a table overfilled by repairs throws
  // util::ProbingSizeException asking for a larger multiplier; a missing
  // context n-gram throws lm::FormatLoadException.
  template <class Voc>
  void InitializeFromARPA(const char *file, util::FilePiece &f, const std::vector<uint64_t> &counts,
                          const Config &config, Voc &vocab, BinaryFormat &backing);

  unsigned char Order() const { return static_cast<unsigned char>(middle_.size() + 2); }

  // For text without <unk>: probability (and rest cost) `prob`, backoff 0.
  // The sign bit of the stored probability is the left-closed flag, which
  // stays as the build left it: n-grams that end in <unk> must stay
  // reachable.
  void SetUnknownUnigram(float prob) {
    typename Value::Weights &unknown = unigram_.Unknown();
    unknown.prob = std::copysign(prob, unknown.prob);
    unknown.backoff = 0.0f;
    if constexpr (requires { unknown.rest; }) unknown.rest = prob;
  }

  // `word` must be a valid identifier.  Sets node and left_handle to it.
  UnigramPointer LookupUnigram(WordIndex word, Node &next, bool &left_closed, uint64_t &left_handle) const {
    left_handle = static_cast<uint64_t>(word);
    next = left_handle;
    UnigramPointer ret(unigram_.Lookup(word));
    left_closed = ret.LeftClosed();
    return ret;
  }

  // Extends `node` by `word` on the left (always, even when absent) and looks
  // the result up among the (middle_index + 2)-grams.  Absent: not found and
  // left_closed set.  Present: left_handle becomes the key.
  MiddlePointer LookupMiddle(unsigned char middle_index, WordIndex word, Node &node, bool &left_closed,
                             uint64_t &left_handle) const {
    node = CombineWordHash(node, word);
    typename Middle::ConstIterator found;
    if (!middle_[middle_index].Find(node, found)) {
      left_closed = true;
      return MiddlePointer();
    }
    left_handle = node;
    MiddlePointer ret(found->value);
    left_closed = ret.LeftClosed();
    return ret;
  }

  // The highest-order n-gram `word` + node; node is unchanged.
  LongestPointer LookupLongest(WordIndex word, const Node &node) const {
    typename Longest::ConstIterator found;
    if (!longest_.Find(CombineWordHash(node, word), found)) return LongestPointer();
    return LongestPointer(found->value.prob);
  }

  // The key of the n-gram [begin, end) (newest word first, at least one
  // word).  Always succeeds: keys are computed, not looked up.
  bool FastMakeNode(const WordIndex *begin, const WordIndex *end, Node &node) const {
    node = static_cast<Node>(*begin);
    for (const WordIndex *i = begin + 1; i < end; ++i) node = CombineWordHash(node, *i);
    return true;
  }

  // Starts loading the 1-gram record of `word` and the start bucket of each
  // n-gram that extending it through [context, context_end) probes.  Always
  // inlined, as every Prefetch: the compiler deems a call that only
  // prefetches free of effects and drops it.
  [[gnu::always_inline]] void Prefetch(WordIndex word, const WordIndex *context, const WordIndex *context_end) const {
    __builtin_prefetch(&unigram_.Lookup(word));
    Node node = word;
    for (std::size_t i = 0; context != context_end; ++context, ++i) {
      node = CombineWordHash(node, *context);
      if (i == middle_.size()) {
        longest_.Prefetch(node);
        return;
      }
      middle_[i].Prefetch(node);
    }
  }

  const void *UnigramAddress(WordIndex word) const { return &unigram_.Lookup(word); }

  // LookupMiddle and LookupLongest as a search in steps, as the trie has
  // them: here the search is decided at once, and the lookup's one bucket
  // probe happens in SeekMiddle or SeekLongest, so the seek holds nothing.
  struct Seek {};

  void StartSeek(unsigned char, WordIndex, const Node &, Seek &) const {}

  // The start bucket of `word` + node among the (middle_index + 2)-grams.
  const void *SeekAddress(unsigned char middle_index, WordIndex word, const Node &node, const Seek &) const {
    const Node key = CombineWordHash(node, word);
    if (middle_index == static_cast<unsigned char>(middle_.size())) return longest_.StartAddress(key);
    return middle_[middle_index].StartAddress(key);
  }

  bool SeekStep(unsigned char, WordIndex, Seek &) const { return true; }

  MiddlePointer SeekMiddle(unsigned char middle_index, WordIndex word, const Seek &, Node &node, bool &left_closed,
                           uint64_t &left_handle) const {
    return LookupMiddle(middle_index, word, node, left_closed, left_handle);
  }

  LongestPointer SeekLongest(WordIndex word, const Seek &, const Node &node) const {
    return LookupLongest(word, node);
  }

  // Re-opens the middle n-gram of length `prior_length` (2 .. N-1) whose key
  // an earlier lookup returned as left_handle.  A key that is not stored
  // yields "not found" instead of probing forever.
  MiddlePointer Unpack(uint64_t prior_handle, unsigned char prior_length, Node &node) const {
    node = prior_handle;
    typename Middle::ConstIterator found;
    if (!middle_[prior_length - 2].Find(prior_handle, found)) return MiddlePointer();
    return MiddlePointer(found->value);
  }

 private:
  // Picks the rest-cost policy for Value (and config.rest_kind) and builds.
  void DispatchBuild(util::FilePiece &f, const std::vector<uint64_t> &counts, const Config &config,
                     const ProbingVocabulary &vocab, PositiveProbWarn &warn);

  // Reads orders 2 .. N and the end marker with rest-cost policy `build`;
  // `worker` (null: this thread) stores the n-grams this thread parses.
  template <class Build>
  void ApplyBuild(util::FilePiece &f, const std::vector<uint64_t> &counts, const ProbingVocabulary &vocab,
                  PositiveProbWarn &warn, const Build &build, util::Worker *worker);

  Unigram unigram_;
  // Element i holds the (i + 2)-grams.
  std::vector<Middle> middle_;
  Longest longest_;
};

}  // namespace detail
}  // namespace ngram
}  // namespace lm

#endif  // LM_SEARCH_HASHED_H
