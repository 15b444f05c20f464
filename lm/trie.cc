#include "lm/trie.hh"

#include "util/exception.hh"

namespace lm {
namespace ngram {
namespace trie {

namespace {

// The widest field the 64-bit helpers serve is 57 bits.
constexpr uint64_t kFieldLimit = uint64_t{1} << 57;

}  // namespace

uint64_t BitPacked::BaseSize(uint64_t entries, uint64_t unigram_count, uint8_t payload_bits) {
  const uint8_t entry_width = static_cast<uint8_t>(util::RequiredBits(unigram_count) + payload_bits);
  // One extra slot, and 8 spare bytes for reads past the last record.
  return ((entries + 1) * entry_width + 7) / 8 + 8;
}

void BitPacked::BaseInit(void *base, uint64_t entries, uint64_t unigram_count, uint8_t payload_bits) {
  util::BitPackingSanity();
  const util::WidthMask word = util::WidthMask::FromMax(unigram_count);
  if (word.width > 57)
    UTIL_THROW(util::Exception, "Sorry, word indices more than "
                                    << kFieldLimit
                                    << " are not implemented.  Edit util/bit_packing and fix the bit packing "
                                       "functions.");
  word_width_ = word.width;
  word_mask_ = word.mask;
  entry_width_ = static_cast<uint8_t>(word.width + payload_bits);
  base_ = static_cast<uint8_t *>(base);
  insert_count_ = 0;
  word_bound_ = unigram_count;
  entries_ = entries;
}

uint64_t BitPacked::InsertWord(WordIndex word) {
  const uint64_t at = insert_count_ * entry_width_;
  util::WriteBits64(base_, at, word);
  ++insert_count_;
  return at + word_width_;
}

PackedAddress BitPackedLongest::Insert(WordIndex word) { return PackedAddress{base_, InsertWord(word)}; }

PackedAddress BitPackedLongest::Find(WordIndex word, const NodeRange &range) const {
  return Found(Search(word, range));
}

void CheckMiddleCounts(uint64_t slots, uint64_t next_count) {
  if (slots >= kFieldLimit || next_count >= kFieldLimit)
    UTIL_THROW(util::Exception, "Sorry, this does not support more than "
                                    << kFieldLimit
                                    << " n-grams of a particular order.  Edit util/bit_packing and fix the bit "
                                       "packing functions.");
}

}  // namespace trie
}  // namespace ngram
}  // namespace lm
