// Reading and writing fields of any bit width at any bit offset of a byte
// region, for the bit-packed trie arrays.
//
// Bit b of a region is bit (b mod 8) of byte b / 8, least significant bit
// first; a field of width w at bit offset b holds bit j of its value at region
// bit b + j.  Every helper reaches its field with one unaligned little-endian
// load of a machine word that starts at byte b / 8, so:
//   - the 64-bit helpers serve fields of up to 57 bits (57 + 7 = 64), the
//     32-bit helpers fields of up to 25 bits;
//   - a read may touch up to 7 (or 3) bytes after the field's last byte, so
//     every packed region must be followed by 8 spare bytes of its own;
//   - writes OR the value into place and never clear: the region must be
//     zero where a field goes, each field is written once, and the caller
//     guarantees that the value fits the field (values are not masked).
// The 31-bit float form keeps log10 probabilities, which are never positive:
// the sign bit is not stored and always reads back set, so +0.0 reads back as
// -0.0 and a positive value would read back negated.
//
// BitPackingSanity checks that the helpers round-trip on this machine; the
// trie runs it before it lays out any array.
#ifndef UTIL_BIT_PACKING_H
#define UTIL_BIT_PACKING_H

#include <bit>
#include <cstdint>
#include <cstring>

namespace util {

inline uint64_t ReadBits64(const void *base, uint64_t bit_offset, uint64_t mask);
inline void WriteBits64(void *base, uint64_t bit_offset, uint64_t value);
inline uint32_t ReadBits32(const void *base, uint64_t bit_offset, uint32_t mask);
inline void WriteBits32(void *base, uint64_t bit_offset, uint32_t value);

// A whole 32-bit float, sign included.
inline float ReadPackedFloat(const void *base, uint64_t bit_offset);
inline void WritePackedFloat(void *base, uint64_t bit_offset, float value);

// A 31-bit float without its sign bit, which reads back set.
inline float ReadNonPositiveFloat(const void *base, uint64_t bit_offset);
inline void WriteNonPositiveFloat(void *base, uint64_t bit_offset, float value);

// Bits needed to store every value up to `max_value`: 0 for 0, otherwise the
// number of binary digits of `max_value`.
constexpr uint8_t RequiredBits(uint64_t max_value) { return static_cast<uint8_t>(std::bit_width(max_value)); }

// Throws util::Exception when the helpers fail to round-trip 57-bit values.
void BitPackingSanity();

// A field width and the mask of its low `width` bits.
struct WidthMask {
  static constexpr WidthMask FromWidth(uint8_t width) {
    return WidthMask{width, width >= 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1};
  }
  // The narrowest field that holds every value up to `max_value`.
  static constexpr WidthMask FromMax(uint64_t max_value) { return FromWidth(RequiredBits(max_value)); }

  uint8_t width;
  uint64_t mask;
};

// Implementation details follow.

namespace detail {

constexpr uint32_t kFloatSignBit = 0x80000000U;

template <class Word> inline Word LoadWord(const void *base, uint64_t bit_offset) {
  Word word;
  std::memcpy(&word, static_cast<const uint8_t *>(base) + (bit_offset >> 3), sizeof(Word));
  return word >> (bit_offset & 7);
}

template <class Word> inline void OrWord(void *base, uint64_t bit_offset, Word value) {
  uint8_t *at = static_cast<uint8_t *>(base) + (bit_offset >> 3);
  Word word;
  std::memcpy(&word, at, sizeof(Word));
  word |= static_cast<Word>(value << (bit_offset & 7));
  std::memcpy(at, &word, sizeof(Word));
}

}  // namespace detail

inline uint64_t ReadBits64(const void *base, uint64_t bit_offset, uint64_t mask) {
  return detail::LoadWord<uint64_t>(base, bit_offset) & mask;
}

inline void WriteBits64(void *base, uint64_t bit_offset, uint64_t value) {
  detail::OrWord<uint64_t>(base, bit_offset, value);
}

inline uint32_t ReadBits32(const void *base, uint64_t bit_offset, uint32_t mask) {
  return detail::LoadWord<uint32_t>(base, bit_offset) & mask;
}

inline void WriteBits32(void *base, uint64_t bit_offset, uint32_t value) {
  detail::OrWord<uint32_t>(base, bit_offset, value);
}

inline float ReadPackedFloat(const void *base, uint64_t bit_offset) {
  return std::bit_cast<float>(static_cast<uint32_t>(detail::LoadWord<uint64_t>(base, bit_offset)));
}

inline void WritePackedFloat(void *base, uint64_t bit_offset, float value) {
  WriteBits64(base, bit_offset, std::bit_cast<uint32_t>(value));
}

inline float ReadNonPositiveFloat(const void *base, uint64_t bit_offset) {
  const uint32_t bits = static_cast<uint32_t>(detail::LoadWord<uint64_t>(base, bit_offset));
  return std::bit_cast<float>(bits | detail::kFloatSignBit);
}

inline void WriteNonPositiveFloat(void *base, uint64_t bit_offset, float value) {
  WriteBits64(base, bit_offset, std::bit_cast<uint32_t>(value) & ~detail::kFloatSignBit);
}

}  // namespace util

#endif  // UTIL_BIT_PACKING_H
