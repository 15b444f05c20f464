#include "lm/quantize.hh"

#include "lm/config.hh"
#include "lm/trie.hh"
#include "util/bit_packing.hh"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

namespace lm {
namespace ngram {
namespace {

uint32_t Bits(float value) { return std::bit_cast<uint32_t>(value); }

// A field at `offset` bits into a zeroed region whose neighbouring bits, just
// before the field and just after `width` bits of it, are already set.
class FieldBetweenNeighbours {
 public:
  FieldBetweenNeighbours(uint64_t offset, uint8_t width) : memory_(32), offset_(offset), width_(width) {
    util::WriteBits64(memory_.data(), offset - 1, 1);
    util::WriteBits64(memory_.data(), offset + width, 1);
  }

  trie::PackedAddress Address() { return trie::PackedAddress{memory_.data(), offset_}; }

  // Whether the field stayed inside its width (neighbours intact, nothing past them).
  bool NeighboursIntact() const {
    return util::ReadBits64(memory_.data(), offset_ - 1, 1) == 1 &&
           util::ReadBits64(memory_.data(), offset_ + width_, 3) == 1;
  }

 private:
  std::vector<uint8_t> memory_;
  uint64_t offset_;
  uint8_t width_;
};

struct MiddleCase {
  float prob, backoff;
  float read_prob;  // The probability's sign always reads back set.
};

const MiddleCase kMiddleCases[] = {
    {-2.5f, -0.75f, -2.5f}, {-1.0f, 0.5f, -1.0f}, {-0.0f, -0.0f, -0.0f},
    {0.0f, 0.0f, -0.0f},    {-3.0f, 0.0f, -3.0f}, {-3.0f, -0.0f, -3.0f},
};

TEST(DontQuantizeTest, MiddleWeightsRoundTripAtEveryOffset) {
  const Config config;
  const DontQuantize quant;
  for (uint64_t offset : {1, 2, 3, 4, 5, 6, 7, 8, 9, 77}) {
    for (const MiddleCase &c : kMiddleCases) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " prob " << c.prob << " backoff " << Bits(c.backoff));
      FieldBetweenNeighbours field(offset, DontQuantize::MiddleBits(config));
      DontQuantize::MiddlePointer(quant, 0, field.Address()).Write(c.prob, c.backoff);
      const DontQuantize::MiddlePointer weights(quant, 0, field.Address());
      EXPECT_TRUE(weights.IsFound());
      EXPECT_EQ(Bits(c.read_prob), Bits(weights.GetProb()));
      EXPECT_EQ(Bits(c.read_prob), Bits(weights.GetRest()));
      EXPECT_EQ(Bits(c.backoff), Bits(weights.GetBackoff()));
      EXPECT_TRUE(field.NeighboursIntact());
    }
  }
}

TEST(DontQuantizeTest, LongestProbabilityRoundTripAtEveryOffset) {
  const Config config;
  const DontQuantize quant;
  const float cases[][2] = {{-2.5f, -2.5f}, {-0.0f, -0.0f}, {0.0f, -0.0f}, {-99.125f, -99.125f}};
  for (uint64_t offset : {1, 2, 3, 4, 5, 6, 7, 8, 9, 77}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " prob " << c[0]);
      FieldBetweenNeighbours field(offset, DontQuantize::LongestBits(config));
      DontQuantize::LongestPointer(quant, field.Address()).Write(c[0]);
      const DontQuantize::LongestPointer prob(quant, field.Address());
      EXPECT_TRUE(prob.IsFound());
      EXPECT_EQ(Bits(c[1]), Bits(prob.GetProb()));
      EXPECT_TRUE(field.NeighboursIntact());
    }
  }
}

TEST(DontQuantizeTest, NullAddressIsNotFound) {
  const DontQuantize quant;
  EXPECT_FALSE(DontQuantize::MiddlePointer(quant, 0, trie::PackedAddress{nullptr, 0}).IsFound());
  EXPECT_FALSE(DontQuantize::LongestPointer(quant, trie::PackedAddress{nullptr, 0}).IsFound());
}

}  // namespace
}  // namespace ngram
}  // namespace lm
