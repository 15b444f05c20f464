#include "lm/highbit.hh"

#include "lm/binary_format.hh"
#include "lm/lm_exception.hh"
#include "util/exception.hh"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace lm {
namespace ngram {
namespace trie {

namespace {

constexpr uint8_t kArrayCompressionVersion = 0;

// value >> bits, also for a shift by the whole width.
uint64_t HighBits(uint64_t value, unsigned bits) { return bits >= 64 ? 0 : value >> bits; }

// How many pointer bits stay in the records, and the table's length.
struct Layout {
  uint8_t inline_bits;
  uint64_t table_entries;
};

// Tries every chop up to array_pointer_bits and keeps the first of the
// cheapest, counting the table's bits against the bits saved in the slots.
Layout ChooseLayout(uint64_t slots, uint64_t next_count, const Config &config) {
  const uint8_t required = util::RequiredBits(next_count);
  const uint8_t limit = std::min(required, config.array_pointer_bits);
  uint8_t best_chop = 0;
  int64_t best_cost = 0;
  for (uint8_t chop = 1; chop <= limit; ++chop) {
    const int64_t table_bits = static_cast<int64_t>(HighBits(next_count, required - chop) * 64);
    const int64_t cost = table_bits - static_cast<int64_t>(slots * chop);
    if (cost < best_cost) {
      best_cost = cost;
      best_chop = chop;
    }
  }
  const uint8_t inline_bits = static_cast<uint8_t>(required - best_chop);
  return Layout{inline_bits, HighBits(next_count, inline_bits) + 1};
}

}  // namespace

void ArrayHighbit::UpdateConfigFromBinary(const BinaryFormat &file, uint64_t offset, Config &config) {
  uint8_t header[2];
  file.ReadForConfig(header, sizeof(header), offset);
  if (header[0] != kArrayCompressionVersion)
    UTIL_THROW(FormatLoadException, "This file has sorted array compression version "
                                        << unsigned{header[0]} << " but the code expects version "
                                        << unsigned{kArrayCompressionVersion});
  config.array_pointer_bits = header[1];
}

uint64_t ArrayHighbit::Size(uint64_t slots, uint64_t next_count, const Config &config) {
  // The header word, the table, and up to 7 bytes to align them.
  return 8 * (ChooseLayout(slots, next_count, config).table_entries + 1) + 7;
}

uint8_t ArrayHighbit::InlineBits(uint64_t slots, uint64_t next_count, const Config &config) {
  return ChooseLayout(slots, next_count, config).inline_bits;
}

ArrayHighbit::ArrayHighbit(void *base, uint64_t slots, uint64_t next_count, const Config &config) {
  const Layout layout = ChooseLayout(slots, next_count, config);
  inline_width_ = util::WidthMask::FromWidth(layout.inline_bits);
  guess_per_slot_ = static_cast<double>(layout.table_entries) / static_cast<double>(slots);
  region_start_ = static_cast<uint8_t *>(base);
  const std::size_t gap = (8 - reinterpret_cast<uintptr_t>(region_start_) % 8) % 8;
  table_begin_ = reinterpret_cast<uint64_t *>(region_start_ + gap) + 1;
  table_end_ = table_begin_ + layout.table_entries;
  // Element 0 is set when loading finishes.
  write_cursor_ = table_begin_ + 1;
}

void ArrayHighbit::FinishedLoading(const Config &config) {
  table_begin_[0] = 0;
  if (write_cursor_ != table_end_) UTIL_THROW(util::Exception, "Did not get all the array entries that were expected.");
  region_start_[0] = kArrayCompressionVersion;
  region_start_[1] = config.array_pointer_bits;
}

}  // namespace trie
}  // namespace ngram
}  // namespace lm
