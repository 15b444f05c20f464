#include "util/bit_packing.hh"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace util {
namespace {

// Bit-by-bit reference for the region layout: bit b is bit b % 8 of byte
// b / 8.  Sets the field to exactly `value`, clearing what was there.
void ReferenceStore(std::vector<uint8_t> &region, uint64_t bit, uint8_t width, uint64_t value) {
  for (uint8_t j = 0; j < width; ++j) {
    const uint64_t at = bit + j;
    const uint8_t flag = static_cast<uint8_t>(1U << (at % 8));
    if ((value >> j) & 1) {
      region[at / 8] |= flag;
    } else {
      region[at / 8] &= static_cast<uint8_t>(~flag);
    }
  }
}

// Values that set the lowest, the highest, alternating and all bits of a field.
std::vector<uint64_t> Patterns(const WidthMask &field) {
  const uint64_t top = uint64_t{1} << (field.width - 1);
  return {1, top, 0xA5C3F00F5A3CF0F0ULL & field.mask, 0x5A3C0FF0A5C30F0FULL & field.mask, field.mask};
}

// Room for three fields of up to 57 bits after a one-byte lead, plus the
// 8 spare bytes that every packed region carries.
constexpr std::size_t kRegionBytes = 1 + (3 * 57 + 7) / 8 + 8;
constexpr uint64_t kLeadBits = 8;

// Writes the patterns back to back at every offset 0-7 and every width up to
// `max_width`, and compares the bytes with the reference and the read-back
// values with what was written.
template <class Write, class Read> void CheckPackedFields(uint8_t max_width, Write write, Read read) {
  for (uint8_t width = 1; width <= max_width; ++width) {
    const WidthMask field = WidthMask::FromWidth(width);
    const std::vector<uint64_t> patterns = Patterns(field);
    for (uint64_t offset = 0; offset < 8; ++offset) {
      SCOPED_TRACE(testing::Message() << "width " << unsigned{width} << " offset " << offset);
      for (uint64_t value : patterns) {
        // The value between two neighbours, each written with its own pattern.
        const uint64_t neighbour = field.mask & ~value;
        std::vector<uint8_t> packed(kRegionBytes), expected(kRegionBytes);
        for (unsigned i = 0; i < 3; ++i) {
          const uint64_t bit = kLeadBits + offset + i * width;
          const uint64_t stored = i == 1 ? value : neighbour;
          write(packed.data(), bit, stored);
          ReferenceStore(expected, bit, width, stored);
        }
        ASSERT_EQ(expected, packed) << "value " << value;
        for (unsigned i = 0; i < 3; ++i) {
          EXPECT_EQ(i == 1 ? value : neighbour, read(packed.data(), kLeadBits + offset + i * width, field));
        }
      }
    }
  }
}

TEST(BitPackingTest, Bits64EveryWidthAndOffset) {
  CheckPackedFields(
      57, [](void *base, uint64_t bit, uint64_t value) { WriteBits64(base, bit, value); },
      [](const void *base, uint64_t bit, const WidthMask &field) { return ReadBits64(base, bit, field.mask); });
}

TEST(BitPackingTest, Bits32EveryWidthAndOffset) {
  CheckPackedFields(
      25, [](void *base, uint64_t bit, uint64_t value) { WriteBits32(base, bit, static_cast<uint32_t>(value)); },
      [](const void *base, uint64_t bit, const WidthMask &field) {
        return uint64_t{ReadBits32(base, bit, static_cast<uint32_t>(field.mask))};
      });
}

TEST(BitPackingTest, ReadsIgnoreSurroundingBits) {
  // Every bit outside the field is set: the shift and the mask must cut them.
  for (uint8_t width = 1; width <= 57; ++width) {
    const WidthMask field = WidthMask::FromWidth(width);
    for (uint64_t offset = 0; offset < 8; ++offset) {
      std::vector<uint8_t> region(kRegionBytes, 0xFF);
      const uint64_t value = Patterns(field)[2];
      ReferenceStore(region, kLeadBits + offset, width, value);
      EXPECT_EQ(value, ReadBits64(region.data(), kLeadBits + offset, field.mask));
      if (width <= 25) {
        EXPECT_EQ(value, ReadBits32(region.data(), kLeadBits + offset, static_cast<uint32_t>(field.mask)));
      }
    }
  }
}

TEST(BitPackingTest, FieldAtTheEndOfAnExactBuffer) {
  // A 57-bit field at bit 399 ends in byte 56; the 8-byte accesses reach bytes
  // 49 to 56 and no further.
  std::vector<uint8_t> region(57);
  const WidthMask field = WidthMask::FromWidth(57);
  WriteBits64(region.data(), 399, field.mask);
  EXPECT_EQ(field.mask, ReadBits64(region.data(), 399, field.mask));
  EXPECT_EQ(0x80, region[49]);
  EXPECT_EQ(0x00, region[48]);
}

uint32_t Bits(float value) { return std::bit_cast<uint32_t>(value); }

const float kInfinity = std::numeric_limits<float>::infinity();

TEST(BitPackingTest, PackedFloatKeepsEveryBitAtEveryOffset) {
  const float values[] = {-2.5f, 0.0f, -0.0f, 1.75f, -kInfinity, std::numeric_limits<float>::denorm_min(),
                          std::bit_cast<float>(0xFFFFFFFFU)};
  for (uint64_t offset = 0; offset < 8; ++offset) {
    for (float value : values) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " bits " << Bits(value));
      // Set fields of 7 bits on both sides.
      std::vector<uint8_t> region(16);
      WriteBits64(region.data(), offset, 0x7F);
      WritePackedFloat(region.data(), offset + 7, value);
      WriteBits64(region.data(), offset + 39, 0x7F);
      EXPECT_EQ(Bits(value), Bits(ReadPackedFloat(region.data(), offset + 7)));
      EXPECT_EQ(0x7FU, ReadBits64(region.data(), offset, 0x7F));
      EXPECT_EQ(0x7FU, ReadBits64(region.data(), offset + 39, 0x7F));
    }
  }
}

TEST(BitPackingTest, NonPositiveFloatImpliesTheSign) {
  struct Case {
    float written;
    float read;
  };
  const Case cases[] = {
      {-2.5f, -2.5f},           {-0.0f, -0.0f}, {0.0f, -0.0f}, {-kInfinity, -kInfinity}, {-1e-40f, -1e-40f},
      {3.0f, -3.0f},  // A positive value reads back negated.
  };
  for (uint64_t offset = 0; offset < 8; ++offset) {
    for (const Case &c : cases) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " writing " << c.written);
      // The field of one set bit that follows takes the place of the sign bit
      // in the 32-bit load; a clear one must read the same.
      for (uint64_t follower : {0, 1}) {
        std::vector<uint8_t> region(16);
        WriteNonPositiveFloat(region.data(), offset, c.written);
        WriteBits64(region.data(), offset + 31, follower);
        EXPECT_EQ(Bits(c.read), Bits(ReadNonPositiveFloat(region.data(), offset)));
        EXPECT_EQ(follower, ReadBits64(region.data(), offset + 31, 1));
      }
    }
  }
}

TEST(BitPackingTest, RequiredBits) {
  struct Case {
    uint64_t max_value;
    uint8_t bits;
  };
  const Case cases[] = {{0, 0},   {1, 1},   {2, 2},   {3, 2}, {4, 3}, {255, 8}, {256, 9}, {(uint64_t{1} << 57) - 1, 57},
                        {uint64_t{1} << 57, 58}, {std::numeric_limits<uint64_t>::max(), 64}};
  for (const Case &c : cases) EXPECT_EQ(c.bits, RequiredBits(c.max_value)) << c.max_value;
}

TEST(BitPackingTest, WidthMask) {
  EXPECT_EQ(0, WidthMask::FromMax(0).width);
  EXPECT_EQ(0u, WidthMask::FromMax(0).mask);
  EXPECT_EQ(3, WidthMask::FromMax(5).width);
  EXPECT_EQ(7u, WidthMask::FromMax(5).mask);
  EXPECT_EQ((uint64_t{1} << 57) - 1, WidthMask::FromWidth(57).mask);
  EXPECT_EQ(std::numeric_limits<uint64_t>::max(), WidthMask::FromMax(std::numeric_limits<uint64_t>::max()).mask);
}

}  // namespace
}  // namespace util
