// Pointer-compression policies: how a middle trie array (lm/trie.hh) stores
// the child pointer of each record.
//
// DontHighbit keeps every pointer whole inside its record, in
// util::RequiredBits(next count) bits; it has no region and no parameters in
// a binary file.
#ifndef LM_HIGHBIT_H
#define LM_HIGHBIT_H

#include "lm/config.hh"
#include "lm/trie.hh"
#include "util/bit_packing.hh"

#include <cstdint>

namespace lm {
namespace ngram {
namespace trie {

class DontHighbit {
 public:
  static void UpdateConfigFromBinary(const BinaryFormat & /*file*/, uint64_t /*offset*/, Config & /*config*/) {}

  static uint64_t Size(uint64_t /*slots*/, uint64_t /*next_count*/, const Config & /*config*/) { return 0; }

  static uint8_t InlineBits(uint64_t /*slots*/, uint64_t next_count, const Config & /*config*/) {
    return util::RequiredBits(next_count);
  }

  DontHighbit(void * /*base*/, uint64_t /*slots*/, uint64_t next_count, const Config & /*config*/)
      : next_width_(util::WidthMask::FromMax(next_count)) {}

  uint8_t InlineBits() const { return next_width_.width; }

  // The pointer at `pointer_bit` begins the range; the next slot's, one entry
  // later, ends it.
  void ReadChildRange(const void *base, uint64_t pointer_bit, uint64_t /*index*/, uint8_t entry_width,
                      NodeRange &range) const {
    range.begin = util::ReadBits64(base, pointer_bit, next_width_.mask);
    range.end = util::ReadBits64(base, pointer_bit + entry_width, next_width_.mask);
  }

  void WriteChildPointer(void *base, uint64_t pointer_bit, uint64_t /*index*/, uint64_t value) {
    util::WriteBits64(base, pointer_bit, value);
  }

  void FinishedLoading(const Config & /*config*/) {}

 private:
  util::WidthMask next_width_;
};

static_assert(PointerCompression<DontHighbit>);

}  // namespace trie
}  // namespace ngram
}  // namespace lm

#endif  // LM_HIGHBIT_H
