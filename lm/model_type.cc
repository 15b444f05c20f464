#include "lm/model_type.hh"

namespace lm {
namespace ngram {

const char *const kModelNames[kModelTypeCount] = {
    "probing hash tables",
    "probing hash tables with rest costs",
    "trie",
    "trie with quantization",
    "trie with array-compressed pointers",
    "trie with quantization and array-compressed pointers"};

}  // namespace ngram
}  // namespace lm
