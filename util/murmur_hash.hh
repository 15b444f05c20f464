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

namespace util {

// Variant A: one 64-bit lane, bit-exact with the published MurmurHash64A.
uint64_t MurmurHash64A(const void *key, std::size_t len, uint64_t seed);

// Variant B: two 32-bit lanes.  The first lane starts at the low 32 bits of
// seed ^ len, the second at 0; the result is the first lane in the high half
// and the second in the low half.
uint64_t MurmurHash64B(const void *key, std::size_t len, uint64_t seed);

// The variant suited to the machine word: MurmurHash64A on 64-bit platforms,
// MurmurHash64B otherwise.
uint64_t MurmurHashNative(const void *key, std::size_t len, uint64_t seed);

}  // namespace util

#endif  // UTIL_MURMUR_HASH_H
