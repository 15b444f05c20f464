// Float markers shared by the builders and the queries.
//
// A backoff whose bits are exactly those of negative zero (0x80000000) means
// that no longer n-gram extends this one (the no-extension marker); positive
// zero is the backoff of an n-gram that is extended but has zero weight.  The
// markers are told apart by bit pattern, never by value.  In the hash tables
// the sign bit of a stored probability carries the left-closed flag: set when
// no n-gram extends this one to the left.
#ifndef LM_BLANK_H
#define LM_BLANK_H

#include <bit>
#include <cstdint>

namespace lm {

constexpr uint32_t kSignBit = 0x80000000;
constexpr float kNoExtensionBackoff = -0.0f;
constexpr float kExtensionBackoff = 0.0f;

inline bool HasExtension(float backoff) { return std::bit_cast<uint32_t>(backoff) != kSignBit; }

// A backoff equal to zero (either sign) becomes positive zero; any other value
// already says that the n-gram may be extended.
inline void SetExtension(float &backoff) {
  if (backoff == 0.0f) backoff = kExtensionBackoff;
}

inline bool SignBitSet(float value) { return std::bit_cast<uint32_t>(value) & kSignBit; }
inline float WithSignBit(float value) { return std::bit_cast<float>(std::bit_cast<uint32_t>(value) | kSignBit); }
inline float WithoutSignBit(float value) { return std::bit_cast<float>(std::bit_cast<uint32_t>(value) & ~kSignBit); }

}  // namespace lm

#endif  // LM_BLANK_H
