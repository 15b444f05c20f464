// The bit-packed arrays that hold the trie's n-grams above order 1.
//
// Each order is one array of fixed-width records, packed without regard to
// byte boundaries (util/bit_packing.hh): record i starts at bit
// i * entry_width.  A record begins with the word it adds on the left of its
// parent n-gram; the records that extend one parent are contiguous and sorted
// by that word, so a lookup is an interpolation search inside the parent's
// child range.
//
//   middle record:  word | weights (quantizer) | child pointer (policy)
//   longest record: word | probability (quantizer)
//
// A middle array of E records has E + 1 slots: slot E holds only the end of
// record E - 1's child range, at the same bit position as every other child
// pointer, so the child range of record i is [pointer i, pointer i + 1).  The
// longest array is sized for E + 1 slots as well; its last slot stays unused.
// Every array is followed by 8 spare bytes for the helpers' wide reads.
//
// The arrays do not own their memory: it lies inside the model's search
// region, zeroed before building (fields are ORed into place) or loaded from
// a binary file.  Building inserts records in depth-first order, writing each
// returned payload before the next insertion into the same array, then calls
// FinishedLoading on every middle array.  Queries (Find, ReadEntry) are const,
// allocate nothing and may run on many threads at once.
#ifndef LM_TRIE_H
#define LM_TRIE_H

#include "lm/config.hh"
#include "lm/word_index.hh"
#include "util/bit_packing.hh"
#include "util/interpolation_search.hh"

#include <algorithm>
#include <concepts>
#include <cstdint>

namespace lm {
namespace ngram {

class BinaryFormat;

namespace trie {

// The trie's cursor: the half-open range of record indices, in the array of
// the next higher order, of the records that extend the current n-gram by one
// word.  begin == end means that nothing extends it.
struct NodeRange {
  uint64_t begin;
  uint64_t end;
};

// Where a record's payload (its weights or probability) starts.  A null base
// means that nothing was found; the offset is then 0.
struct PackedAddress {
  uint8_t *base;
  uint64_t offset;
};

// How a middle array stores its child pointers (lm/highbit.hh).  With
// `slots` the array's record count + 1 and `next_count` the record count of
// the next order (the largest pointer):
//   static Size(slots, next_count, config): bytes of the policy's own region,
//     which lies in front of the packed records;
//   static InlineBits(slots, next_count, config), and InlineBits() of a
//     constructed policy: bits of the pointer field inside each record;
//   static UpdateConfigFromBinary(file, offset, config): takes the policy's
//     parameters back from a binary file whose first middle region starts
//     `offset` bytes into the search region;
//   Policy(base, slots, next_count, config): the policy over its region;
//   ReadChildRange(base, pointer_bit, index, entry_width, range): the child
//     range of slot `index`, whose pointer field is at `pointer_bit` (the
//     next slot's is `entry_width` bits later);
//   WriteChildPointer(base, pointer_bit, index, value): stores slot `index`'s
//     pointer; slots are written once each, in increasing order, with
//     non-decreasing values;
//   FinishedLoading(config): after the last slot was written.
template <class Policy>
concept PointerCompression = requires(Policy policy, const Policy frozen, const BinaryFormat &file, void *base,
                                      uint64_t number, uint8_t width, NodeRange &range, Config &loading,
                                      const Config &config) {
  Policy::UpdateConfigFromBinary(file, number, loading);
  { Policy::Size(number, number, config) } -> std::same_as<uint64_t>;
  { Policy::InlineBits(number, number, config) } -> std::same_as<uint8_t>;
  requires std::constructible_from<Policy, void *, uint64_t, uint64_t, const Config &>;
  { frozen.InlineBits() } -> std::same_as<uint8_t>;
  frozen.ReadChildRange(static_cast<const void *>(base), number, number, width, range);
  policy.WriteChildPointer(base, number, number, number);
  policy.FinishedLoading(config);
};

// The state shared by both array kinds.  Default construction leaves an
// array without memory; BaseInit places it.
class BitPacked {
 public:
  // Bytes for `entries` records of a word field sized for `unigram_count`
  // words plus `payload_bits`: the extra slot and 8 spare bytes included.
  static uint64_t BaseSize(uint64_t entries, uint64_t unigram_count, uint8_t payload_bits);

  // Places the array of `entries` records at `base` with an empty insertion
  // count.  Runs the bit-packing self-test; throws util::Exception when word
  // identifiers below `unigram_count` need more than 57 bits.
  void BaseInit(void *base, uint64_t entries, uint64_t unigram_count, uint8_t payload_bits);

  // A search for a word among a range of records, one probe at a time:
  // StartSeek sets it up (reading nothing), SeekAddress names the byte the
  // next SeekStep reads, and SeekStep probes once.  A search that ends
  // (SeekStep returns true) leaves the found record's index in the seek,
  // where the arrays' Found reads it.  Find searches the same way.
  typedef util::InterpolationSeek<util::IntegerPivot, uint64_t> Seek;

  void StartSeek(const NodeRange &range, WordIndex word, Seek &seek) const;

  // Null once the search has ended.
  const void *SeekAddress(const Seek &seek) const {
    if (!seek.Open()) return nullptr;
    return base_ + (seek.Probe() * entry_width_ >> 3);
  }

  // True when the search has ended, found or not.
  bool SeekStep(WordIndex word, Seek &seek) const {
    if (seek.Open()) seek.Step(WordAt(), word);
    return !seek.Open();
  }

  // Searches the records [range.begin, range.end) for `word` to the end.
  Seek Search(WordIndex word, const NodeRange &range) const {
    Seek seek;
    StartSeek(range, word, seek);
    while (seek.Open()) seek.Step(WordAt(), word);
    return seek;
  }

  // Records inserted so far; the next lower order reads it as the start of
  // the child range of the record it inserts.
  uint64_t InsertIndex() const { return insert_count_; }

 protected:
  // Appends a record for `word` and returns the bit offset of its payload.
  uint64_t InsertWord(WordIndex word);

  // Reads the word field of record `index`.
  struct WordReader {
    WordIndex operator()(uint64_t index) const {
      return static_cast<WordIndex>(util::ReadBits64(base, index * entry_width, word_mask));
    }
    const uint8_t *base;
    uint8_t entry_width;
    uint64_t word_mask;
  };

  WordReader WordAt() const { return WordReader{base_, entry_width_, word_mask_}; }

  PackedAddress Payload(uint64_t index) const { return {base_, index * entry_width_ + word_width_}; }

  uint8_t word_width_ = 0;
  uint8_t entry_width_ = 0;
  uint64_t word_mask_ = 0;
  uint8_t *base_ = nullptr;
  uint64_t insert_count_ = 0;
  uint64_t word_bound_ = 0;
  uint64_t entries_ = 0;
};

// The array of the highest order: word and probability.  Sized with BaseSize
// (entries, unigram count, probability bits) and placed with BaseInit.
class BitPackedLongest : public BitPacked {
 public:
  PackedAddress Insert(WordIndex word);

  // Null address when `word` is not in `range`.
  PackedAddress Find(WordIndex word, const NodeRange &range) const;

  // The record an ended seek found; null address when it found none.
  PackedAddress Found(const Seek &seek) const {
    uint64_t at;
    return seek.Found(at) ? Payload(at) : PackedAddress{nullptr, 0};
  }
};

// The array of a middle order: word, weights and child pointer, with the
// policy's region (if any) in front of the packed records.
template <PointerCompression Highbit> class BitPackedMiddle : public BitPacked {
 public:
  // Bytes for `entries` records with `weight_bits` of weights, children in an
  // array of `next_count` records.
  static uint64_t Size(uint8_t weight_bits, uint64_t entries, uint64_t unigram_count, uint64_t next_count,
                       const Config &config);

  // Places the array at `base`; `next_source` is the array of the next higher
  // order, whose insertion count gives each new record's child pointer.
  // Throws util::Exception when the counts do not fit the packed fields.
  BitPackedMiddle(void *base, uint8_t weight_bits, uint64_t entries, uint64_t unigram_count,
                  uint64_t next_count, const BitPacked &next_source, const Config &config);

  // Appends a record for `word`; returns the address of its weights.
  PackedAddress Insert(WordIndex word);

  // Writes the end of the last record's child range into the extra slot.
  void FinishedLoading(uint64_t next_count, const Config &config);

  // Looks `word` up in `range`.  When found, `pointer` becomes its record
  // index and `range` its child range; when not, both stay unchanged and the
  // address is null.
  PackedAddress Find(WordIndex word, NodeRange &range, uint64_t &pointer) const;

  // Find's result for an ended seek.
  PackedAddress Found(const Seek &seek, NodeRange &range, uint64_t &pointer) const;

  // The record at `pointer`, which must come from Find of this array;
  // `range` becomes its child range.
  PackedAddress ReadEntry(uint64_t pointer, NodeRange &range) const;

 private:
  uint64_t PointerBit(uint64_t index) const { return index * entry_width_ + word_width_ + quant_width_; }

  uint8_t quant_width_;
  Highbit highbit_;
  const BitPacked *next_source_;
};

// Implementation details follow.

// Throws util::Exception when a middle order has too many slots or child
// pointers for the packed fields.
void CheckMiddleCounts(uint64_t slots, uint64_t next_count);

inline void BitPacked::StartSeek(const NodeRange &range, WordIndex word, Seek &seek) const {
  // A damaged file's child ranges may run past the array or backwards: the
  // search stays among the records that exist.  Record begin - 1 wraps for
  // begin = 0; the search allows that.
  const uint64_t end = std::min(range.end, entries_);
  const uint64_t begin = std::min(range.begin, end);
  seek = Seek(begin - 1, 0, end, word_bound_, word);
}

template <PointerCompression Highbit>
uint64_t BitPackedMiddle<Highbit>::Size(uint8_t weight_bits, uint64_t entries, uint64_t unigram_count,
                                        uint64_t next_count, const Config &config) {
  const uint8_t pointer_bits = Highbit::InlineBits(entries + 1, next_count, config);
  return Highbit::Size(entries + 1, next_count, config) +
         BaseSize(entries, unigram_count, static_cast<uint8_t>(weight_bits + pointer_bits));
}

template <PointerCompression Highbit>
BitPackedMiddle<Highbit>::BitPackedMiddle(void *base, uint8_t weight_bits, uint64_t entries,
                                          uint64_t unigram_count, uint64_t next_count,
                                          const BitPacked &next_source, const Config &config)
    : quant_width_(weight_bits), highbit_(base, entries + 1, next_count, config), next_source_(&next_source) {
  CheckMiddleCounts(entries + 1, next_count);
  // The packed records follow the policy's region without alignment.
  BaseInit(static_cast<uint8_t *>(base) + Highbit::Size(entries + 1, next_count, config), entries, unigram_count,
           static_cast<uint8_t>(weight_bits + highbit_.InlineBits()));
}

template <PointerCompression Highbit> PackedAddress BitPackedMiddle<Highbit>::Insert(WordIndex word) {
  const uint64_t index = insert_count_;
  const PackedAddress weights{base_, InsertWord(word)};
  // Records of all orders arrive depth first, so this record's children start
  // at the next order's current end.
  highbit_.WriteChildPointer(base_, PointerBit(index), index, next_source_->InsertIndex());
  return weights;
}

template <PointerCompression Highbit>
void BitPackedMiddle<Highbit>::FinishedLoading(uint64_t next_count, const Config &config) {
  highbit_.WriteChildPointer(base_, PointerBit(insert_count_), insert_count_, next_count);
  highbit_.FinishedLoading(config);
}

template <PointerCompression Highbit>
PackedAddress BitPackedMiddle<Highbit>::Find(WordIndex word, NodeRange &range, uint64_t &pointer) const {
  return Found(Search(word, range), range, pointer);
}

template <PointerCompression Highbit>
PackedAddress BitPackedMiddle<Highbit>::Found(const Seek &seek, NodeRange &range, uint64_t &pointer) const {
  uint64_t at;
  if (!seek.Found(at)) return PackedAddress{nullptr, 0};
  pointer = at;
  return ReadEntry(at, range);
}

template <PointerCompression Highbit>
PackedAddress BitPackedMiddle<Highbit>::ReadEntry(uint64_t pointer, NodeRange &range) const {
  highbit_.ReadChildRange(base_, PointerBit(pointer), pointer, entry_width_, range);
  return Payload(pointer);
}

}  // namespace trie
}  // namespace ngram
}  // namespace lm

#endif  // LM_TRIE_H
