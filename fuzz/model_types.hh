// The model classes the fuzz targets load, and a dispatch from a stored
// model type to its class.
#ifndef FUZZ_MODEL_TYPES_H
#define FUZZ_MODEL_TYPES_H

#include "lm/model.hh"
#include "lm/model_type.hh"

namespace fuzz {

// Calls visit.template operator()<Model>() for the class of `type`; returns
// false for a type that has none.
template <class Visit> bool WithModelClass(lm::ngram::ModelType type, Visit &&visit) {
  using namespace lm::ngram;
  switch (type) {
    case PROBING:
      visit.template operator()<ProbingModel>();
      return true;
    case REST_PROBING:
      visit.template operator()<RestProbingModel>();
      return true;
    case TRIE:
      visit.template operator()<TrieModel>();
      return true;
    case QUANT_TRIE:
      visit.template operator()<QuantTrieModel>();
      return true;
    case ARRAY_TRIE:
      visit.template operator()<ArrayTrieModel>();
      return true;
    case QUANT_ARRAY_TRIE:
      visit.template operator()<QuantArrayTrieModel>();
      return true;
    default:
      return false;
  }
}

}  // namespace fuzz

#endif  // FUZZ_MODEL_TYPES_H
