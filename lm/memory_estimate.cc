#include "lm/memory_estimate.hh"

#include "lm/model.hh"
#include "lm/read_arpa.hh"
#include "util/file_piece.hh"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <ostream>

namespace lm {
namespace ngram {
namespace {

struct Unit {
  uint64_t divisor;
  char letter;
};

// The unit that keeps the smallest size readable.
Unit ChooseUnit(uint64_t smallest) {
  if (smallest < 10240) return {1, ' '};
  if (smallest < 10485760) return {1024, 'k'};
  if (smallest / (uint64_t(1) << 31) < 5) return {1048576, 'M'};
  return {1073741824, 'G'};
}

int ColumnWidth(uint64_t largest, const Unit &unit) {
  const int length = static_cast<int>(std::ceil(std::log10(static_cast<double>(largest) / unit.divisor)));
  return std::max(length, 2);
}

}  // namespace

std::array<uint64_t, kModelTypeCount> ModelSizes(const std::vector<uint64_t> &counts, const Config &config) {
  std::array<uint64_t, kModelTypeCount> sizes;
  for (const ModelTypeTraits &traits : kModelTypes)
    sizes[traits.type] = WithModelClass(traits.type, [&]<class Model>() { return Model::Size(counts, config); });
  return sizes;
}

void PrintSizes(std::ostream &out, const std::array<uint64_t, kModelTypeCount> &sizes, const Config &config) {
  const Unit unit = ChooseUnit(*std::min_element(sizes.begin(), sizes.end()));
  const int width = ColumnWidth(*std::max_element(sizes.begin(), sizes.end()), unit);
  const unsigned prob_bits = config.quant_prob_bits, backoff_bits = config.quant_backoff_bits;
  const unsigned pointer_bits = config.array_pointer_bits;
  out << "Memory estimate for binary LM:\ntype    " << std::string(width - 2, ' ') << unit.letter << "B\n";
  auto row = [&](ModelType type) -> std::ostream & {
    return out << (IsTrie(type) ? "trie    " : "probing ") << std::setw(width) << sizes[type] / unit.divisor;
  };
  row(PROBING) << " assuming -p " << config.probing_multiplier << "\n";
  row(REST_PROBING) << " assuming -r models -p " << config.probing_multiplier << "\n";
  row(TRIE) << " without quantization\n";
  row(QUANT_TRIE) << " assuming -q " << prob_bits << " -b " << backoff_bits << " quantization \n";
  row(ARRAY_TRIE) << " assuming -a " << pointer_bits << " array pointer compression\n";
  row(QUANT_ARRAY_TRIE) << " assuming -a " << pointer_bits << " -q " << prob_bits << " -b " << backoff_bits
                        << " array pointer compression and quantization\n";
}

void ShowSizes(const std::vector<uint64_t> &counts, const Config &config) {
  PrintSizes(std::cerr, ModelSizes(counts, config), config);
}

void ShowSizes(const std::vector<uint64_t> &counts) { ShowSizes(counts, Config()); }

void ShowSizes(const char *file, const Config &config) { ShowSizes(file, config, std::cerr); }

void ShowSizes(const char *file, const Config &config, std::ostream &out) {
  util::FilePiece f(file, nullptr, kARPAReaderBuffer);
  std::vector<uint64_t> counts;
  ReadARPACounts(f, counts);
  PrintSizes(out, ModelSizes(counts, config), config);
}

}  // namespace ngram
}  // namespace lm
