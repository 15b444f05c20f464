#include "util/murmur_hash.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace util {
namespace {

struct HashCase {
  const char *key;
  std::size_t len;
  uint64_t seed;
  uint64_t hash_a;
  uint64_t hash_b;
};

// Expected values computed by a separate Python transcription of the
// published MurmurHash2 64-bit algorithms (variant B with its second lane
// starting at 0).  The keys cover the empty key, every tail length 1 to 7,
// whole blocks only (8 and 16 bytes), blocks plus a tail, bytes with the high
// bit set and nonzero seeds.
const HashCase kCases[] = {
    {"", 0, 0x0, 0x0000000000000000ULL, 0x0000000000000000ULL},
    {"T", 1, 0x0, 0x7a307fb51b9741cdULL, 0x5b279a8221c84754ULL},
    {"Th", 2, 0x0, 0xbf4a8374dd55bee3ULL, 0xf9698eb67f46b2adULL},
    {"The", 3, 0x0, 0x27ba74c43db50f9fULL, 0x3ec30bc24c0ce016ULL},
    {"The ", 4, 0x0, 0x5aed9cd192939260ULL, 0x780edecfa14cdd19ULL},
    {"The q", 5, 0x0, 0x075f659ea4700789ULL, 0xd3daceac968d8499ULL},
    {"The qu", 6, 0x0, 0x787997ec91440b93ULL, 0x62a39cfdf8d4470cULL},
    {"The qui", 7, 0x0, 0xafbe39782b9a85adULL, 0x61d038a189ca1bf5ULL},
    {"The quic", 8, 0x0, 0xb70636b16e9fc04bULL, 0xc9bf2c74049ffb80ULL},
    {"The quick brown ", 16, 0x0, 0x79d0db6b5a1ee2eaULL, 0xcce474b005f67a4dULL},
    {"The quick brown fox jum", 23, 0x0, 0x21800a668e053d7eULL, 0xef4faddcc4668b28ULL},
    {"\x00", 1, 0x0, 0x5825f5f3bd962979ULL, 0xdd9f019f79505248ULL},
    {"\xff\xfe\x80\x01\x7f", 5, 0x0, 0x9edbced9bcfc56d9ULL, 0xa2c2b096c8f46504ULL},
    {"<s>", 3, 0x0, 0x00758639bd217e70ULL, 0x05ad2872736cf106ULL},
    {"", 0, 0x123456789abcdef0, 0xedfea7acae2be985ULL, 0x5bee6d56152740caULL},
    {"The quick b", 11, 0x123456789abcdef0, 0x7925bf50ae1326ebULL, 0x571da8475a33f4f0ULL},
};

TEST(MurmurHashTest, MatchesReferenceValues) {
  for (const HashCase &c : kCases) {
    SCOPED_TRACE(testing::Message() << "key length " << c.len << " seed " << c.seed);
    EXPECT_EQ(c.hash_a, MurmurHash64A(c.key, c.len, c.seed));
    EXPECT_EQ(c.hash_b, MurmurHash64B(c.key, c.len, c.seed));
  }
}

// Keys need no alignment: the same bytes hash the same at every offset.
TEST(MurmurHashTest, UnalignedKeys) {
  for (const HashCase &c : kCases) {
    for (std::size_t offset = 1; offset < 8; ++offset) {
      std::vector<char> buffer(offset + c.len);
      std::memcpy(buffer.data() + offset, c.key, c.len);
      EXPECT_EQ(c.hash_a, MurmurHash64A(buffer.data() + offset, c.len, c.seed));
      EXPECT_EQ(c.hash_b, MurmurHash64B(buffer.data() + offset, c.len, c.seed));
    }
  }
}

TEST(MurmurHashTest, NativeIsVariantAOn64Bit) {
  static_assert(sizeof(void *) == 8, "these expectations are for 64-bit machines");
  for (const HashCase &c : kCases) {
    EXPECT_EQ(MurmurHash64A(c.key, c.len, c.seed), MurmurHashNative(c.key, c.len, c.seed));
  }
  const uint32_t words[] = {0, 1, 7, 0xffffffffU, 42};
  for (std::size_t count = 0; count <= 5; ++count) {
    EXPECT_EQ(MurmurHash64A(words, count * sizeof(uint32_t), 0),
              MurmurHashNative(words, count * sizeof(uint32_t), 0));
  }
}

}  // namespace
}  // namespace util
