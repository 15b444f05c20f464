// lm::ngram::ModelType: the six data structures a model can use.  The value
// is stored in binary model files, so the numbering never changes.
#ifndef LM_MODEL_TYPE_H
#define LM_MODEL_TYPE_H

#include <cstdint>

namespace lm {
namespace ngram {

enum ModelType : uint32_t {
  PROBING = 0,
  REST_PROBING = 1,
  TRIE = 2,
  QUANT_TRIE = 3,
  ARRAY_TRIE = 4,
  QUANT_ARRAY_TRIE = 5
};

constexpr unsigned kModelTypeCount = 6;

// Human-readable names, indexed by ModelType.
extern const char *const kModelNames[kModelTypeCount];

}  // namespace ngram
}  // namespace lm

#endif  // LM_MODEL_TYPE_H
