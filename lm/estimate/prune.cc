#include "lm/estimate/prune.hh"

#include "util/exception.hh"

namespace lm {
namespace estimate {

void CheckPruneThresholds(const std::vector<uint64_t> &prune, unsigned order) {
  UTIL_THROW_IF(prune.size() + 1 > order, util::Exception,
                "a model of order " << order << " takes at most " << (order - 1) << " pruning thresholds (orders 2 to "
                                    << order << "), not " << prune.size());
  for (std::size_t i = 1; i < prune.size(); ++i) {
    UTIL_THROW_IF(prune[i] < prune[i - 1], util::Exception,
                  "pruning thresholds must not decrease with the order, but order " << (i + 2) << " has " << prune[i]
                                                                                    << " after " << prune[i - 1]
                                                                                    << " for order " << (i + 1));
  }
}

bool Prunes(const std::vector<uint64_t> &prune) {
  for (uint64_t threshold : prune) {
    if (threshold) return true;
  }
  return false;
}

uint64_t PruneThreshold(const std::vector<uint64_t> &prune, unsigned order) {
  if (prune.empty()) return 0;
  return order - 2 < prune.size() ? prune[order - 2] : prune.back();
}

}  // namespace estimate
}  // namespace lm
