// lm::ngram::trie::TrieSearch<Quant, Highbit>: the n-gram storage of the
// trie models, a reversed trie over bit-packed arrays.
//
// The root level is an array of unigram records indexed by word identifier;
// every record of order n points to the contiguous run of order n + 1
// records that extend its n-gram by one word on the left, sorted by that
// word.  A query starts from the word being scored and walks towards older
// context words, one order per step.  The search region, which the search
// does not own and which binary files store unchanged, holds without gaps:
//   the quantizer's region          Quant::Size(N, config) bytes
//   (counts[0] + 2) UnigramValue    record w for word w; record counts[0]
//                                   holds only the end of the last range;
//                                   the last record is spare
//   one BitPackedMiddle per order 2 .. N-1 (pointer-compression region, then
//                                   packed word, weights and child pointer)
//   one BitPackedLongest for order N (packed word and probability)
// Nothing in the region is a pointer.
//
// Quant stores the weights of orders 2 .. N (lm/quantize.hh), Highbit the
// child pointers (lm/highbit.hh).  A node is the child range of the n-gram
// matched so far.  Lookups are const, allocate nothing and may run on many
// threads at once; SetupMemory and building run on one thread.
#ifndef LM_SEARCH_TRIE_H
#define LM_SEARCH_TRIE_H

#include "lm/config.hh"
#include "lm/highbit.hh"
#include "lm/quantize.hh"
#include "lm/trie.hh"
#include "lm/weights.hh"
#include "lm/word_index.hh"
#include "util/scoped.hh"

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace util {
class FilePiece;
}  // namespace util

namespace lm {
namespace ngram {

class BinaryFormat;
class SortedVocabulary;

namespace trie {

// One record of the unigram table, 16 bytes as stored in binary files.
struct UnigramValue {
  ProbBackoff weights;
  // The first bigram record that extends this word.
  uint64_t next;
};
static_assert(sizeof(UnigramValue) == 16, "unigram records are 16 bytes in binary files");

// View of a unigram's weights; the trie keeps no separate rest costs.
class UnigramPointer {
 public:
  UnigramPointer() : to_(nullptr) {}
  explicit UnigramPointer(const ProbBackoff &to) : to_(&to) {}

  bool IsFound() const { return to_ != nullptr; }
  float GetProb() const { return to_->prob; }
  float GetBackoff() const { return to_->backoff; }
  float GetRest() const { return GetProb(); }

 private:
  const ProbBackoff *to_;
};

// The builder's view of a TrieSearch's tables, defined in lm/search_trie.cc.
template <Quantizer Quant, PointerCompression Highbit> class TrieTables;

template <Quantizer Quant, PointerCompression Highbit> class TrieSearch {
 public:
  typedef NodeRange Node;
  typedef trie::UnigramPointer UnigramPointer;
  typedef typename Quant::MiddlePointer MiddlePointer;
  typedef typename Quant::LongestPointer LongestPointer;
  typedef BitPackedMiddle<Highbit> Middle;

  static const unsigned int kVersion = 1;
  static const bool kDifferentRest = false;

  TrieSearch() : middle_begin_(nullptr), middle_end_(nullptr), unigrams_(nullptr) {}
  TrieSearch(const TrieSearch &) = delete;
  TrieSearch &operator=(const TrieSearch &) = delete;

  // Bytes of the search region for `counts` (1-grams first, <unk> counted).
  static uint64_t Size(const std::vector<uint64_t> &counts, const Config &config);

  // Before a binary file's region is sized: the quantizer's and the pointer
  // compression's parameters from the file, whose search region starts at
  // `offset` bytes into the model's region.
  static void UpdateConfigFromBinary(const BinaryFormat &file, const std::vector<uint64_t> &counts, uint64_t offset,
                                     Config &config);

  // Lays the tables over the region at `start` (a binary file's bytes, or
  // zeroed memory to build in) and returns the first byte after them.  May be
  // called again after the region moved.  Writes nothing.
  uint8_t *SetupMemory(uint8_t *start, const std::vector<uint64_t> &counts, const Config &config);

  // Builds from ARPA text: `f` stands just after the counts.  Sorts the
  // n-grams through temporary files, then grows `backing` by Size of the
  // corrected counts (pruned n-grams re-inserted as blanks) and fills it.
  void InitializeFromARPA(const char *file, util::FilePiece &f, std::vector<uint64_t> &counts, const Config &config,
                          SortedVocabulary &vocab, BinaryFormat &backing);

  unsigned char Order() const { return static_cast<unsigned char>(middle_end_ - middle_begin_ + 2); }

  // For text without <unk>: probability `prob`, backoff 0.
  void SetUnknownUnigram(float prob) {
    unigrams_[0].weights.prob = prob;
    unigrams_[0].weights.backoff = 0.0f;
  }

  // `word` must be below the unigram count.
  UnigramPointer LookupUnigram(WordIndex word, Node &node, bool &left_closed, uint64_t &left_handle) const {
    left_handle = word;
    node.begin = unigrams_[word].next;
    node.end = unigrams_[word + 1].next;
    left_closed = node.begin == node.end;
    return UnigramPointer(unigrams_[word].weights);
  }

  // On a miss, node and left_handle are unchanged and left_closed is set.
  MiddlePointer LookupMiddle(unsigned char middle_index, WordIndex word, Node &node, bool &left_closed,
                             uint64_t &left_handle) const {
    return SeekMiddle(middle_index, word, middle_begin_[middle_index].Search(word, node), node, left_closed,
                      left_handle);
  }

  LongestPointer LookupLongest(WordIndex word, const Node &node) const {
    return LongestPointer(quant_, longest_.Find(word, node));
  }

  // The node of [begin, end) (newest word first); false when an n-gram on
  // the way is missing or cannot be extended.
  bool FastMakeNode(const WordIndex *begin, const WordIndex *end, Node &node) const;

  // Starts loading the unigram record of `word` and the start of the next,
  // which bound its child range; the deeper records depend on them.
  [[gnu::always_inline]] void Prefetch(WordIndex word, const WordIndex *, const WordIndex *) const {
    __builtin_prefetch(unigrams_ + word);
    __builtin_prefetch(unigrams_ + word + 1);
  }

  const void *UnigramAddress(WordIndex word) const { return unigrams_ + word; }

  // LookupMiddle and LookupLongest one probe at a time: a search among the
  // (middle_index + 2)-grams, longest when middle_index is Order() - 2.
  typedef BitPacked::Seek Seek;

  // Sets up the search for node's child `word` among the records of
  // middle_index.
  void StartSeek(unsigned char middle_index, WordIndex word, const Node &node, Seek &seek) const {
    Packed(middle_index).StartSeek(node, word, seek);
  }

  // The byte the next SeekStep reads; null once the search ended.
  const void *SeekAddress(unsigned char middle_index, WordIndex, const Node &, const Seek &seek) const {
    return Packed(middle_index).SeekAddress(seek);
  }

  // One probe; true when the search ended.
  bool SeekStep(unsigned char middle_index, WordIndex word, Seek &seek) const {
    return Packed(middle_index).SeekStep(word, seek);
  }

  // What LookupMiddle gives, from an ended seek.
  MiddlePointer SeekMiddle(unsigned char middle_index, WordIndex, const Seek &seek, Node &node, bool &left_closed,
                           uint64_t &left_handle) const {
    const PackedAddress address = middle_begin_[middle_index].Found(seek, node, left_handle);
    left_closed = address.base == nullptr || node.begin == node.end;
    return MiddlePointer(quant_, middle_index, address);
  }

  // What LookupLongest gives, from an ended seek.
  LongestPointer SeekLongest(WordIndex, const Seek &seek, const Node &) const {
    return LongestPointer(quant_, longest_.Found(seek));
  }

  // Re-opens the middle n-gram of `prior_length` whose record index an
  // earlier lookup returned as left_handle; neither is validated.
  MiddlePointer Unpack(uint64_t prior_handle, unsigned char prior_length, Node &node) const {
    const unsigned char middle_index = static_cast<unsigned char>(prior_length - 2);
    return MiddlePointer(quant_, middle_index, middle_begin_[middle_index].ReadEntry(prior_handle, node));
  }

 private:
  // The builder of lm/search_trie.cc fills the tables through it.
  friend class TrieTables<Quant, Highbit>;

  // The middle arrays live in raw heap storage and own nothing, so they are
  // released without running destructors.
  static_assert(std::is_trivially_destructible_v<Middle>);

  static uint64_t UnigramSize(uint64_t count) { return (count + 2) * sizeof(UnigramValue); }

  // The array of the (middle_index + 2)-grams.
  const BitPacked &Packed(unsigned char middle_index) const {
    if (middle_index == middle_end_ - middle_begin_) return longest_;
    return middle_begin_[middle_index];
  }

  void FreeMiddles();

  util::scoped_malloc middle_storage_;
  Middle *middle_begin_, *middle_end_;
  Quant quant_;
  UnigramValue *unigrams_;
  BitPackedLongest longest_;
};

template <Quantizer Quant, PointerCompression Highbit>
uint64_t TrieSearch<Quant, Highbit>::Size(const std::vector<uint64_t> &counts, const Config &config) {
  const uint8_t order = static_cast<uint8_t>(counts.size());
  uint64_t ret = Quant::Size(order, config) + UnigramSize(counts[0]);
  for (std::size_t n = 2; n < counts.size(); ++n)
    ret += Middle::Size(Quant::MiddleBits(config), counts[n - 1], counts[0], counts[n], config);
  return ret + BitPacked::BaseSize(counts.back(), counts[0], Quant::LongestBits(config));
}

template <Quantizer Quant, PointerCompression Highbit>
void TrieSearch<Quant, Highbit>::UpdateConfigFromBinary(const BinaryFormat &file, const std::vector<uint64_t> &counts,
                                                        uint64_t offset, Config &config) {
  Quant::UpdateConfigFromBinary(file, offset, config);
  // Every middle array is built with the same parameters; the bigram array
  // (the first) carries them.
  if (counts.size() > 2)
    Highbit::UpdateConfigFromBinary(
        file, offset + Quant::Size(static_cast<uint8_t>(counts.size()), config) + UnigramSize(counts[0]), config);
}

template <Quantizer Quant, PointerCompression Highbit>
uint8_t *TrieSearch<Quant, Highbit>::SetupMemory(uint8_t *start, const std::vector<uint64_t> &counts,
                                                 const Config &config) {
  const uint8_t order = static_cast<uint8_t>(counts.size());
  quant_.SetupMemory(start, order, config);
  start += Quant::Size(order, config);
  unigrams_ = reinterpret_cast<UnigramValue *>(start);
  start += UnigramSize(counts[0]);

  FreeMiddles();
  const std::size_t middles = counts.size() - 2;
  middle_storage_.reset(util::MallocOrThrow(middles * sizeof(Middle)));
  middle_begin_ = static_cast<Middle *>(middle_storage_.get());
  middle_end_ = middle_begin_ + middles;

  std::vector<uint8_t *> middle_starts(middles);
  for (std::size_t n = 2; n < counts.size(); ++n) {
    middle_starts[n - 2] = start;
    start += Middle::Size(Quant::MiddleBits(config), counts[n - 1], counts[0], counts[n], config);
  }
  // Each array takes its child pointers from the array of the next order, so
  // they are made from the highest order down.
  for (std::size_t n = counts.size() - 1; n >= 2; --n) {
    const BitPacked &next_source =
        (n == counts.size() - 1) ? static_cast<const BitPacked &>(longest_) : middle_begin_[n - 1];
    new (middle_begin_ + n - 2) Middle(middle_starts[n - 2], Quant::MiddleBits(config), counts[n - 1], counts[0],
                                       counts[n], next_source, config);
  }
  longest_.BaseInit(start, counts.back(), counts[0], Quant::LongestBits(config));
  return start + BitPacked::BaseSize(counts.back(), counts[0], Quant::LongestBits(config));
}

template <Quantizer Quant, PointerCompression Highbit>
bool TrieSearch<Quant, Highbit>::FastMakeNode(const WordIndex *begin, const WordIndex *end, Node &node) const {
  bool left_closed;
  uint64_t ignored;
  LookupUnigram(*begin, node, left_closed, ignored);
  for (const WordIndex *i = begin + 1; i < end; ++i) {
    if (left_closed) return false;
    if (!LookupMiddle(static_cast<unsigned char>(i - begin - 1), *i, node, left_closed, ignored).IsFound())
      return false;
  }
  return true;
}

template <Quantizer Quant, PointerCompression Highbit> void TrieSearch<Quant, Highbit>::FreeMiddles() {
  middle_storage_.reset();
  middle_begin_ = nullptr;
  middle_end_ = nullptr;
}

}  // namespace trie
}  // namespace ngram
}  // namespace lm

#endif  // LM_SEARCH_TRIE_H
