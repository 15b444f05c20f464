// Pointer-compression policies: how a middle trie array (lm/trie.hh) stores
// the child pointer of each record.
//
// DontHighbit keeps every pointer whole inside its record, in
// util::RequiredBits(next count) bits; it has no region and no parameters in
// a binary file.
//
// ArrayHighbit takes the high bits of every pointer out of the records and
// keeps, per value of those bits, the first slot that reaches it in a table
// in front of the array; see its class comment.
#ifndef LM_HIGHBIT_H
#define LM_HIGHBIT_H

#include "lm/config.hh"
#include "lm/trie.hh"
#include "util/bit_packing.hh"

#include <algorithm>
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

// Pointer compression by an offset table.  The pointers of consecutive slots
// never decrease, so their high bits change rarely: each record keeps only
// the low InlineBits() bits of its pointer, and a table of T 64-bit slot
// indices recovers the high part.  Element h (h >= 1) is the first slot whose
// pointer's high part is at least h; element 0 is 0.  The number of high
// bits (the chop) is chosen per array, at most array_pointer_bits, to
// minimise table bits minus the bits saved in the records; no chop is taken
// unless it saves bits.
//
// Region (Size bytes), starting at R:
//   R      version 0, then array_pointer_bits (written by FinishedLoading)
//   A + 8  the table, where A is R rounded up to a multiple of 8
// The header bytes lie in the alignment gap or in the zero word at A; the
// packed records follow the region at R + Size, unaligned.  Since the table's
// place depends on R's alignment, a region must be read at the same address
// modulo 8 as it was built.
//
// Slots must be written once each, in increasing order, with non-decreasing
// pointers ending at the next order's count.
class ArrayHighbit {
 public:
  // Takes array_pointer_bits from the header of a binary file's first middle
  // region, at `offset` bytes into the model's region.  Throws
  // FormatLoadException, leaving `config` unchanged, for another version.
  static void UpdateConfigFromBinary(const BinaryFormat &file, uint64_t offset, Config &config);

  static uint64_t Size(uint64_t slots, uint64_t next_count, const Config &config);
  static uint8_t InlineBits(uint64_t slots, uint64_t next_count, const Config &config);

  // Places the table inside the region at `base`; writes nothing.
  ArrayHighbit(void *base, uint64_t slots, uint64_t next_count, const Config &config);

  uint8_t InlineBits() const { return inline_width_.width; }

  // Allocates nothing: a search in the table that starts where evenly
  // growing pointers would put the slot, and a short scan.
  void ReadChildRange(const void *base, uint64_t pointer_bit, uint64_t index, uint8_t entry_width,
                      NodeRange &range) const;

  void WriteChildPointer(void *base, uint64_t pointer_bit, uint64_t index, uint64_t value);

  // Completes the table and writes the header.  Throws util::Exception when
  // the table did not fill, which happens when the last pointer written was
  // not the next order's count.
  void FinishedLoading(const Config &config);

 private:
  // The last table element at most `index`.
  const uint64_t *LastAtMost(uint64_t index) const;

  util::WidthMask inline_width_;
  // Table elements per slot: where the search for a slot's element starts.
  double guess_per_slot_;
  uint64_t *table_begin_;
  uint64_t *table_end_;
  uint64_t *write_cursor_;
  uint8_t *region_start_;
};

static_assert(PointerCompression<ArrayHighbit>);

// Implementation details follow.

inline void ArrayHighbit::ReadChildRange(const void *base, uint64_t pointer_bit, uint64_t index,
                                         uint8_t entry_width, NodeRange &range) const {
  const uint64_t *begin_high = LastAtMost(index);
  // The next slot's high part is at least this one's; step forward to it.
  const uint64_t *end_high = begin_high + 1;
  while (end_high != table_end_ && *end_high <= index + 1) ++end_high;
  --end_high;
  const uint8_t width = inline_width_.width;
  range.begin = (static_cast<uint64_t>(begin_high - table_begin_) << width) |
                util::ReadBits64(base, pointer_bit, inline_width_.mask);
  range.end = (static_cast<uint64_t>(end_high - table_begin_) << width) |
              util::ReadBits64(base, pointer_bit + entry_width, inline_width_.mask);
}

inline const uint64_t *ArrayHighbit::LastAtMost(uint64_t index) const {
  const uint64_t last = static_cast<uint64_t>(table_end_ - table_begin_) - 1;
  const uint64_t *at = table_begin_ + std::min(last, static_cast<uint64_t>(index * guess_per_slot_));
  // Gallop away from the guess, doubling the step, until *low <= index <
  // *high (or high is the end); then a binary search between them.  Element 0
  // is 0, so some element is at most `index`.
  const uint64_t *low, *high;
  uint64_t step = 1;
  if (*at <= index) {
    for (low = at;; low += step, step *= 2) {
      if (static_cast<uint64_t>(table_end_ - low) <= step) {
        high = table_end_;
        break;
      }
      if (low[step] > index) {
        high = low + step;
        break;
      }
    }
  } else {
    for (high = at;; high -= step, step *= 2) {
      if (static_cast<uint64_t>(high - table_begin_) <= step) {
        low = table_begin_;
        break;
      }
      if (*(high - step) <= index) {
        low = high - step;
        break;
      }
    }
  }
  return std::upper_bound(low + 1, high, index) - 1;
}

inline void ArrayHighbit::WriteChildPointer(void *base, uint64_t pointer_bit, uint64_t index, uint64_t value) {
  const uint64_t high = value >> inline_width_.width;
  // Every high value up to this pointer's that no earlier slot reached
  // starts here; the bound keeps a pointer beyond the count inside the table.
  while (write_cursor_ != table_end_ && static_cast<uint64_t>(write_cursor_ - table_begin_) <= high)
    *write_cursor_++ = index;
  util::WriteBits64(base, pointer_bit, value & inline_width_.mask);
}

}  // namespace trie
}  // namespace ngram
}  // namespace lm

#endif  // LM_HIGHBIT_H
