#include "lm/quantize.hh"

#include "lm/binary_file_for_test.hh"
#include "lm/binary_format.hh"
#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/model_type.hh"
#include "lm/trie.hh"
#include "util/bit_packing.hh"
#include "util/file.hh"
#include "util/temp_file_for_test.hh"
#include "util/text_match_for_test.hh"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
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

constexpr float kInf = std::numeric_limits<float>::infinity();

Config QuantConfig(uint8_t prob_bits, uint8_t backoff_bits) {
  Config config;
  config.quant_prob_bits = prob_bits;
  config.quant_backoff_bits = backoff_bits;
  return config;
}

// A SeparatelyQuantize over its own zeroed region for a model of `order`.
class QuantRegion {
 public:
  QuantRegion(uint8_t order, uint8_t prob_bits, uint8_t backoff_bits)
      : config_(QuantConfig(prob_bits, backoff_bits)), memory_(SeparatelyQuantize::Size(order, config_)) {
    quant_.SetupMemory(memory_.data(), order, config_);
  }

  SeparatelyQuantize &quant() { return quant_; }
  const Config &config() const { return config_; }
  const std::vector<uint8_t> &memory() const { return memory_; }

  // The float stored `index` floats after the region's 8 header bytes.
  float CentreAt(uint64_t index) const {
    float value;
    std::memcpy(&value, memory_.data() + 8 + 4 * index, sizeof(value));
    return value;
  }

 private:
  Config config_;
  std::vector<uint8_t> memory_;
  SeparatelyQuantize quant_;
};

TEST(SeparatelyQuantizeTest, Widths) {
  const Config config = QuantConfig(5, 3);
  EXPECT_EQ(8, SeparatelyQuantize::MiddleBits(config));
  EXPECT_EQ(5, SeparatelyQuantize::LongestBits(config));
}

TEST(SeparatelyQuantizeTest, RegionSize) {
  const struct {
    uint8_t order, prob_bits, backoff_bits;
    uint64_t bytes;
  } kCases[] = {
      {2, 8, 8, 1032}, {3, 8, 8, 3080}, {5, 8, 8, 7176}, {6, 8, 8, 9224},
      {3, 2, 3, 8 + 16 + 32 + 16},
      {4, 25, 1, 8 + 2 * (4 * (uint64_t{1} << 25) + 8) + 4 * (uint64_t{1} << 25)},
  };
  for (const auto &c : kCases) {
    EXPECT_EQ(c.bytes, SeparatelyQuantize::Size(c.order, QuantConfig(c.prob_bits, c.backoff_bits)))
        << unsigned{c.order} << " " << unsigned{c.prob_bits} << " " << unsigned{c.backoff_bits};
  }
}

TEST(SeparatelyQuantizeTest, RefusesUnsupportedBitCounts) {
  const std::string kTooMany = "For efficiency reasons, quantizing ";
  const struct {
    uint8_t prob_bits, backoff_bits;
    std::string message;
  } kCases[] = {
      {0, 8, "You can't quantize probability to zero"},
      {0, 0, "You can't quantize probability to zero"},
      {8, 0, "You can't quantize backoff to zero"},
      {26, 8, kTooMany + "probability supports at most 25 bits.  Currently you have requested 26 bits."},
      // Both zeros are checked before both upper limits.
      {26, 0, "You can't quantize backoff to zero"},
      {255, 26, kTooMany + "probability supports at most 25 bits.  Currently you have requested 255 bits."},
      {8, 26, kTooMany + "backoff supports at most 25 bits.  Currently you have requested 26 bits."},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << unsigned{c.prob_bits} << " " << unsigned{c.backoff_bits});
    const Config config = QuantConfig(c.prob_bits, c.backoff_bits);
    // Refused before anything is laid out, so no memory is needed.
    for (auto refuse : {+[](const Config &config) { SeparatelyQuantize().SetupMemory(nullptr, 3, config); },
                        +[](const Config &config) { SeparatelyQuantize::Size(3, config); }}) {
      try {
        refuse(config);
        ADD_FAILURE() << "nothing thrown";
      } catch (const ConfigException &e) {
        const std::string text = e.what();
        EXPECT_TRUE(text.starts_with("lm/quantize:")) << text;
        EXPECT_TRUE(util::EndsWith(text, " threw ConfigException.\n" + c.message)) << text;
      }
    }
  }
}

TEST(SeparatelyQuantizeTest, FillsEqualCountBinsWithTheirMeans) {
  const struct {
    uint8_t prob_bits;
    std::vector<float> values;
    std::vector<float> centres;
  } kCases[] = {
      {1, {4, 3, 1, 2}, {1.5f, 3.5f}},
      {2, {5}, {-kInf, -kInf, -kInf, 5}},
      {2, {-1, -2, -3, -4, -5}, {-5, -4, -3, -1.5f}},
      {2, {}, {-kInf, -kInf, -kInf, -kInf}},
      // Ties are split by position.
      {1, {-2, -2, -2, -1}, {-2, -1.5f}},
      // Summed in double precision: a float sum would lose both 1s.
      {1, {2, 1, -33554432, 2, 1, 2}, {-11184810, 2}},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << "case with " << c.values.size() << " values, first centre " << c.centres[0]);
    QuantRegion region(2, c.prob_bits, 2);
    std::vector<float> values = c.values;
    region.quant().TrainProb(2, values);
    for (std::size_t i = 0; i < c.centres.size(); ++i) EXPECT_EQ(c.centres[i], region.CentreAt(i)) << i;
  }
}

TEST(SeparatelyQuantizeTest, BackoffTableReservesBothZeros) {
  QuantRegion region(3, 1, 3);
  std::vector<float> probs = {-1, -2};
  std::vector<float> backoffs = {-6, -5, -4, -3, -2, -1, 1, 2, 3, 4, 5, 6};
  region.quant().Train(2, probs, backoffs);
  // The bigrams' 2 probability centres, then their 8 backoff centres.
  EXPECT_EQ(-2, region.CentreAt(0));
  EXPECT_EQ(-1, region.CentreAt(1));
  EXPECT_EQ(0x80000000u, Bits(region.CentreAt(2)));
  EXPECT_EQ(0u, Bits(region.CentreAt(3)));
  const float trained[] = {-5.5f, -3.5f, -1.5f, 1.5f, 3.5f, 5.5f};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(trained[i], region.CentreAt(4 + i)) << i;
}

// The probability centres are -4, -3, -2, -1.
TEST(SeparatelyQuantizeTest, EncodesTheNearestCentre) {
  QuantRegion region(3, 2, 2);
  std::vector<float> middle = {-1, -2, -3, -4}, longest = {-4, -3, -2, -1}, backoffs;
  region.quant().Train(2, middle, backoffs);
  region.quant().TrainProb(3, longest);
  const struct {
    float value;
    uint32_t code;
  } kCases[] = {{-2.5f, 2}, {-2.6f, 1}, {-7, 0}, {-0.5f, 3}, {-3, 1}, {-1, 3}, {-kInf, 0}, {3, 3}};
  for (const auto &c : kCases) {
    SCOPED_TRACE(testing::Message() << "value " << c.value);
    const float decoded = -4.0f + static_cast<float>(c.code);
    FieldBetweenNeighbours longest_field(13, 2);
    SeparatelyQuantize::LongestPointer(region.quant(), longest_field.Address()).Write(c.value);
    EXPECT_EQ(c.code, util::ReadBits32(longest_field.Address().base, 13, 3));
    EXPECT_EQ(decoded, SeparatelyQuantize::LongestPointer(region.quant(), longest_field.Address()).GetProb());
    EXPECT_TRUE(longest_field.NeighboursIntact());

    // Middle field: backoff code in bits 0 and 1, probability code above.
    FieldBetweenNeighbours middle_field(13, 4);
    SeparatelyQuantize::MiddlePointer(region.quant(), 0, middle_field.Address()).Write(c.value, 0.0f);
    EXPECT_EQ(c.code << 2 | 1, util::ReadBits32(middle_field.Address().base, 13, 15));
    const SeparatelyQuantize::MiddlePointer weights(region.quant(), 0, middle_field.Address());
    EXPECT_EQ(decoded, weights.GetProb());
    EXPECT_EQ(decoded, weights.GetRest());
    EXPECT_EQ(0u, Bits(weights.GetBackoff()));
    EXPECT_TRUE(middle_field.NeighboursIntact());
  }
}

// Each order reads its own tables, and the highest order the last one.
TEST(SeparatelyQuantizeTest, OrdersKeepTheirOwnTables) {
  QuantRegion region(4, 1, 2);
  std::vector<float> probs2 = {-1, -2}, backoffs2 = {-0.5f, -0.25f};
  std::vector<float> probs3 = {-3, -4}, backoffs3 = {0.5f, 0.25f};
  std::vector<float> probs4 = {-5, -6};
  region.quant().Train(2, probs2, backoffs2);
  region.quant().Train(3, probs3, backoffs3);
  region.quant().TrainProb(4, probs4);
  // Rows of 2 probability and 4 backoff centres, then the highest order's.
  EXPECT_EQ(-0.25f, region.CentreAt(5));
  EXPECT_EQ(0.5f, region.CentreAt(11));
  EXPECT_EQ(-6, region.CentreAt(12));

  std::vector<uint8_t> records(16);
  const trie::PackedAddress second{records.data(), 3}, third{records.data(), 9}, fourth{records.data(), 17};
  SeparatelyQuantize::MiddlePointer(region.quant(), 0, second).Write(-1, -0.5f);
  SeparatelyQuantize::MiddlePointer(region.quant(), 1, third).Write(-4, 0.25f);
  SeparatelyQuantize::LongestPointer(region.quant(), fourth).Write(-5);
  EXPECT_EQ(-1, SeparatelyQuantize::MiddlePointer(region.quant(), 0, second).GetProb());
  EXPECT_EQ(-0.5f, SeparatelyQuantize::MiddlePointer(region.quant(), 0, second).GetBackoff());
  EXPECT_EQ(-4, SeparatelyQuantize::MiddlePointer(region.quant(), 1, third).GetProb());
  EXPECT_EQ(0.25f, SeparatelyQuantize::MiddlePointer(region.quant(), 1, third).GetBackoff());
  EXPECT_EQ(-5, SeparatelyQuantize::LongestPointer(region.quant(), fourth).GetProb());
}

// Writes `backoff` with probability -2 (trained as the lowest centre, code
// 0) into a bigram's field between set neighbours, checks that neither the
// neighbours nor the probability code took stray bits and returns the
// backoff read back.
float BackoffRoundTrip(QuantRegion &region, float backoff) {
  FieldBetweenNeighbours field(11, SeparatelyQuantize::MiddleBits(region.config()));
  SeparatelyQuantize::MiddlePointer(region.quant(), 0, field.Address()).Write(-2, backoff);
  EXPECT_TRUE(field.NeighboursIntact());
  const SeparatelyQuantize::MiddlePointer weights(region.quant(), 0, field.Address());
  EXPECT_EQ(-2, weights.GetProb());
  return weights.GetBackoff();
}

TEST(SeparatelyQuantizeTest, ZeroBackoffsKeepTheirMeaningAtEveryWidth) {
  for (uint8_t backoff_bits = 2; backoff_bits <= 25; ++backoff_bits) {
    SCOPED_TRACE(testing::Message() << unsigned{backoff_bits} << " backoff bits");
    QuantRegion region(3, 1, backoff_bits);
    std::vector<float> probs = {-1, -2}, backoffs = {-0.5f, 0.25f, 1.5f};
    region.quant().Train(2, probs, backoffs);
    EXPECT_EQ(0u, Bits(BackoffRoundTrip(region, 0.0f)));
    EXPECT_EQ(0x80000000u, Bits(BackoffRoundTrip(region, -0.0f)));
    for (float value : {-0.5f, 0.25f, 1.5f, -100.0f, 100.0f, 1e-30f, -1e-30f}) {
      const float decoded = BackoffRoundTrip(region, value);
      EXPECT_TRUE(decoded != 0.0f && std::isfinite(decoded)) << value << " decoded as " << decoded;
    }
    // With a centre per value, each comes back exactly.
    if (backoff_bits >= 3) {
      EXPECT_EQ(0.25f, BackoffRoundTrip(region, 0.25f));
    }
  }
}

TEST(SeparatelyQuantizeTest, OneBackoffBitHoldsOnlyTheZeros) {
  QuantRegion region(3, 1, 1);
  std::vector<float> probs = {-1, -2}, no_backoffs;
  region.quant().Train(2, probs, no_backoffs);
  EXPECT_EQ(0u, Bits(BackoffRoundTrip(region, 0.0f)));
  EXPECT_EQ(0x80000000u, Bits(BackoffRoundTrip(region, -0.0f)));
  // Training refuses such values; a write of one still stays in its bit.
  BackoffRoundTrip(region, -0.5f);

  std::vector<float> backoffs = {-0.5f};
  try {
    region.quant().Train(2, probs, backoffs);
    ADD_FAILURE() << "nothing thrown";
  } catch (const ConfigException &e) {
    EXPECT_TRUE(util::EndsWith(e.what(),
                               "Quantizing backoff to 1 bit leaves room only for the two zero backoffs, but this "
                               "model has non-zero backoffs.  Use at least 2 bits."))
        << e.what();
  }
}

TEST(SeparatelyQuantizeTest, NullAddressIsNotFound) {
  QuantRegion region(3, 8, 8);
  EXPECT_FALSE(SeparatelyQuantize::MiddlePointer(region.quant(), 0, trie::PackedAddress{nullptr, 0}).IsFound());
  EXPECT_FALSE(SeparatelyQuantize::LongestPointer(region.quant(), trie::PackedAddress{nullptr, 0}).IsFound());
  std::vector<uint8_t> record(16);
  EXPECT_TRUE(SeparatelyQuantize::LongestPointer(region.quant(), trie::PackedAddress{record.data(), 0}).IsFound());
}

TEST(SeparatelyQuantizeTest, BinaryFileRestoresBitCounts) {
  QuantRegion region(3, 5, 7);
  region.quant().FinishedLoading(region.config());
  const std::vector<uint8_t> header(region.memory().begin(), region.memory().begin() + 8);
  EXPECT_EQ((std::vector<uint8_t>{2, 5, 7, 0, 0, 0, 0, 0}), header);

  BinaryFileForTest file(QUANT_TRIE, region.memory());
  Config config;
  SeparatelyQuantize::UpdateConfigFromBinary(file.format(), BinaryFileForTest::kVocabBytes, config);
  EXPECT_EQ(5, config.quant_prob_bits);
  EXPECT_EQ(7, config.quant_backoff_bits);
}

TEST(SeparatelyQuantizeTest, BinaryFileOfAnotherVersionIsRefused) {
  BinaryFileForTest file(QUANT_TRIE, {3, 4, 6, 0, 0, 0, 0, 0});
  Config config;
  try {
    SeparatelyQuantize::UpdateConfigFromBinary(file.format(), BinaryFileForTest::kVocabBytes, config);
    ADD_FAILURE() << "nothing thrown";
  } catch (const FormatLoadException &e) {
    const std::string text = e.what();
    EXPECT_TRUE(text.starts_with("lm/quantize:")) << text;
    EXPECT_TRUE(util::EndsWith(text, " threw FormatLoadException.\nThis file has quantization version 3 but the code "
                                     "expects version 2"))
        << text;
  }
}

}  // namespace
}  // namespace ngram
}  // namespace lm
