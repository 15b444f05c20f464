// lm::ngram::ShowSizes: how many bytes each of the six model types would
// take for a set of n-gram counts, printed as a table (on standard error
// unless a stream is given) so that a user can choose a data structure
// before building one.  The sizes
// are those of the model's region, which is also the binary file without
// its header and word list.
#ifndef LM_MEMORY_ESTIMATE_H
#define LM_MEMORY_ESTIMATE_H

#include "lm/config.hh"
#include "lm/model_type.hh"

#include <array>
#include <cstdint>
#include <iosfwd>
#include <vector>

namespace lm {
namespace ngram {

// The region size of every model type, indexed by ModelType.
std::array<uint64_t, kModelTypeCount> ModelSizes(const std::vector<uint64_t> &counts, const Config &config);

// Writes the table for `sizes` (indexed by ModelType) to `out`: one unit for
// the whole table chosen from the smallest size, the numbers right-aligned
// in a column as wide as the largest needs, and the settings each type
// assumes.
void PrintSizes(std::ostream &out, const std::array<uint64_t, kModelTypeCount> &sizes, const Config &config);

void ShowSizes(const std::vector<uint64_t> &counts, const Config &config);
void ShowSizes(const std::vector<uint64_t> &counts);
// Reads only the counts of the ARPA file `file`.
void ShowSizes(const char *file, const Config &config);
// As above, writing the table to `out`.
void ShowSizes(const char *file, const Config &config, std::ostream &out);

}  // namespace ngram
}  // namespace lm

#endif  // LM_MEMORY_ESTIMATE_H
