#include "util/murmur_hash.hh"

#include <cstring>

namespace util {

namespace {

// Unaligned native-order load; compiles to a single load instruction.
uint32_t Load32(const unsigned char *at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

constexpr uint32_t kMultiplier32 = 0x5bd1e995;
constexpr int kShift32 = 24;

// Mixes one 4-byte block into a lane of variant B.
void MixLane(uint32_t &lane, uint32_t block) {
  block *= kMultiplier32;
  block ^= block >> kShift32;
  block *= kMultiplier32;
  lane *= kMultiplier32;
  lane ^= block;
}

}  // namespace

uint64_t MurmurHash64B(const void *key, std::size_t len, uint64_t seed) {
  const unsigned char *data = static_cast<const unsigned char *>(key);
  uint32_t h1 = static_cast<uint32_t>(seed ^ len);
  uint32_t h2 = 0;
  std::size_t remaining = len;
  for (; remaining >= 8; remaining -= 8, data += 8) {
    MixLane(h1, Load32(data));
    MixLane(h2, Load32(data + 4));
  }
  if (remaining >= 4) {
    MixLane(h1, Load32(data));
    remaining -= 4;
    data += 4;
  }
  if (remaining) {
    for (std::size_t i = remaining; i-- > 0;) h2 ^= static_cast<uint32_t>(data[i]) << (8 * i);
    h2 *= kMultiplier32;
  }
  h1 ^= h2 >> 18;
  h1 *= kMultiplier32;
  h2 ^= h1 >> 22;
  h2 *= kMultiplier32;
  h1 ^= h2 >> 17;
  h1 *= kMultiplier32;
  h2 ^= h1 >> 19;
  h2 *= kMultiplier32;
  return (static_cast<uint64_t>(h1) << 32) | h2;
}

uint64_t MurmurHashNative(const void *key, std::size_t len, uint64_t seed) {
  if constexpr (sizeof(void *) == 8) {
    return MurmurHash64A(key, len, seed);
  } else {
    return MurmurHash64B(key, len, seed);
  }
}

}  // namespace util
