#include "lm/model_type.hh"

namespace lm {
namespace ngram {

std::optional<ModelType> TypeNamed(StringPiece name) {
  for (const ModelTypeTraits &traits : kModelTypes)
    if (name == traits.name) return traits.type;
  return std::nullopt;
}

}  // namespace ngram
}  // namespace lm
