// MurmurHash2 64-bit hashes of byte strings.
//
// Pure functions: the same bytes, length and seed give the same value on every
// run and in every process, so the values may be stored in files (the
// vocabularies store MurmurHash64A word hashes with seed 0).  Keys are read in
// the machine's native (little-endian) byte order and need no alignment.
#ifndef UTIL_MURMUR_HASH_H
#define UTIL_MURMUR_HASH_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace util {

// Variant A: one 64-bit lane, bit-exact with the published MurmurHash64A.
// Inline: every vocabulary lookup hashes a word with it.
inline uint64_t MurmurHash64A(const void *key, std::size_t len, uint64_t seed) {
  constexpr uint64_t kMultiplier = 0xc6a4a7935bd1e995ULL;
  constexpr int kShift = 47;
  const unsigned char *data = static_cast<const unsigned char *>(key);
  const unsigned char *const blocks_end = data + (len & ~static_cast<std::size_t>(7));
  uint64_t h = seed ^ (static_cast<uint64_t>(len) * kMultiplier);
  for (; data != blocks_end; data += 8) {
    uint64_t k;
    std::memcpy(&k, data, sizeof(k));
    k *= kMultiplier;
    k ^= k >> kShift;
    k *= kMultiplier;
    h ^= k;
    h *= kMultiplier;
  }
  // The 1 to 7 remaining bytes, little-endian.
  switch (len & 7) {
    case 7:
      h ^= static_cast<uint64_t>(data[6]) << 48;
      [[fallthrough]];
    case 6:
      h ^= static_cast<uint64_t>(data[5]) << 40;
      [[fallthrough]];
    case 5:
      h ^= static_cast<uint64_t>(data[4]) << 32;
      [[fallthrough]];
    case 4:
      h ^= static_cast<uint64_t>(data[3]) << 24;
      [[fallthrough]];
    case 3:
      h ^= static_cast<uint64_t>(data[2]) << 16;
      [[fallthrough]];
    case 2:
      h ^= static_cast<uint64_t>(data[1]) << 8;
      [[fallthrough]];
    case 1:
      h ^= static_cast<uint64_t>(data[0]);
      h *= kMultiplier;
  }
  h ^= h >> kShift;
  h *= kMultiplier;
  h ^= h >> kShift;
  return h;
}

// Variant B: two 32-bit lanes.  The first lane starts at the low 32 bits of
// seed ^ len, the second at 0; the result is the first lane in the high half
// and the second in the low half.
uint64_t MurmurHash64B(const void *key, std::size_t len, uint64_t seed);

// The variant suited to the machine word: MurmurHash64A on 64-bit platforms,
// MurmurHash64B otherwise.
uint64_t MurmurHashNative(const void *key, std::size_t len, uint64_t seed);

}  // namespace util

#endif  // UTIL_MURMUR_HASH_H
