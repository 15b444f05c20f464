#include "lm/quantize.hh"

#include "lm/binary_format.hh"
#include "lm/lm_exception.hh"
#include "util/exception.hh"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>

namespace lm {
namespace ngram {

namespace {

constexpr uint8_t kQuantizeVersion = 2;
constexpr std::size_t kHeaderBytes = 8;
// A code plus a shift of up to 7 bits must fit one 32-bit load.
constexpr uint8_t kMaxBits = 25;

// Backoff codes of the two zero backoffs.
constexpr uint32_t kNoExtensionCode = 0;
constexpr uint32_t kExtensionCode = 1;
constexpr uint32_t kReservedBackoffCodes = 2;


// Bytes of a table of 2^width centres.
uint64_t TableBytes(uint8_t width) { return sizeof(float) << width; }

// Sorts `values` and sets `count` centres at `centres`: bin i holds the
// sorted values up to position size * (i + 1) / count and is represented by
// their mean.  An empty bin repeats the previous centre (-infinity for the
// first).
void FillBins(std::vector<float> &values, float *centres, uint64_t count) {
  std::sort(values.begin(), values.end());
  const uint64_t size = values.size();
  uint64_t start = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t finish = size * (i + 1) / count;
    if (finish == start) {
      centres[i] = i ? centres[i - 1] : -std::numeric_limits<float>::infinity();
      continue;
    }
    const double sum = std::accumulate(values.begin() + start, values.begin() + finish, 0.0);
    centres[i] = static_cast<float>(sum / static_cast<float>(finish - start));
    start = finish;
  }
}

}  // namespace

SeparatelyQuantize::Bins::Bins(uint8_t width, float *centres)
    : begin_(centres),
      end_(centres + (uint64_t{1} << width)),
      width_(width),
      mask_(static_cast<uint32_t>((uint64_t{1} << width) - 1)) {}

uint32_t SeparatelyQuantize::Bins::EncodeBackoff(float value) const {
  if (value == 0.0f) return std::signbit(value) ? kNoExtensionCode : kExtensionCode;
  return Nearest(value, kReservedBackoffCodes);
}

uint32_t SeparatelyQuantize::Bins::Nearest(float value, uint32_t reserved) const {
  const float *first = begin_ + reserved;
  const float *above = std::lower_bound(first, end_, value);
  // Checked first: a table with no centres after the reserved ones still
  // yields a code inside the width.
  if (above == end_) return mask_;
  if (above == first) return reserved;
  const uint32_t code = static_cast<uint32_t>(above - begin_);
  // The nearer neighbour wins; on a tie the upper one.
  return (*above - value > value - *(above - 1)) ? code - 1 : code;
}

void SeparatelyQuantize::UpdateConfigFromBinary(const BinaryFormat &file, uint64_t offset, Config &config) {
  uint8_t header[3];
  file.ReadForConfig(header, sizeof(header), offset);
  config.quant_prob_bits = header[1];
  config.quant_backoff_bits = header[2];
  if (header[0] != kQuantizeVersion)
    UTIL_THROW(FormatLoadException, "This file has quantization version " << unsigned{header[0]}
                                                                          << " but the code expects version "
                                                                          << unsigned{kQuantizeVersion});
}

void SeparatelyQuantize::CheckBitCounts(const Config &config) {
  const unsigned prob_bits = config.quant_prob_bits, backoff_bits = config.quant_backoff_bits;
  if (prob_bits == 0) UTIL_THROW(ConfigException, "You can't quantize probability to zero");
  if (backoff_bits == 0) UTIL_THROW(ConfigException, "You can't quantize backoff to zero");
  if (prob_bits > kMaxBits)
    UTIL_THROW(ConfigException, "For efficiency reasons, quantizing probability supports at most "
                                    << unsigned{kMaxBits} << " bits.  Currently you have requested " << prob_bits
                                    << " bits.");
  if (backoff_bits > kMaxBits)
    UTIL_THROW(ConfigException, "For efficiency reasons, quantizing backoff supports at most "
                                    << unsigned{kMaxBits} << " bits.  Currently you have requested " << backoff_bits
                                    << " bits.");
}

uint64_t SeparatelyQuantize::Size(uint8_t order, const Config &config) {
  CheckBitCounts(config);
  const uint64_t prob = TableBytes(config.quant_prob_bits), backoff = TableBytes(config.quant_backoff_bits);
  return (order - 2) * (prob + backoff) + prob + kHeaderBytes;
}

void SeparatelyQuantize::SetupMemory(void *base, uint8_t order, const Config &config) {
  prob_width_ = config.quant_prob_bits;
  backoff_width_ = config.quant_backoff_bits;
  CheckBitCounts(config);
  header_start_ = static_cast<uint8_t *>(base);
  float *at = reinterpret_cast<float *>(header_start_ + kHeaderBytes);
  for (uint8_t row = 0; row + 2 < order; ++row) {
    tables_[row][kProb] = Bins(prob_width_, at);
    at += uint64_t{1} << prob_width_;
    tables_[row][kBackoff] = Bins(backoff_width_, at);
    at += uint64_t{1} << backoff_width_;
  }
  tables_[order - 2][kProb] = Bins(prob_width_, at);
  longest_ = tables_[order - 2][kProb];
}

void SeparatelyQuantize::Train(uint8_t order, std::vector<float> &probs, std::vector<float> &backoffs) {
  if (backoff_width_ == 1 && !backoffs.empty())
    UTIL_THROW(ConfigException, "Quantizing backoff to 1 bit leaves room only for the two zero backoffs, but this "
                                "model has non-zero backoffs.  Use at least 2 bits.");
  TrainProb(order, probs);
  float *centres = tables_[order - 2][kBackoff].Centres();
  centres[kNoExtensionCode] = -0.0f;
  centres[kExtensionCode] = 0.0f;
  FillBins(backoffs, centres + kReservedBackoffCodes, (uint32_t{1} << backoff_width_) - kReservedBackoffCodes);
}

void SeparatelyQuantize::TrainProb(uint8_t order, std::vector<float> &probs) {
  FillBins(probs, tables_[order - 2][kProb].Centres(), uint64_t{1} << prob_width_);
}

void SeparatelyQuantize::FinishedLoading(const Config &config) {
  header_start_[0] = kQuantizeVersion;
  header_start_[1] = config.quant_prob_bits;
  header_start_[2] = config.quant_backoff_bits;
}

}  // namespace ngram
}  // namespace lm
