// lm::ngram::ModelType: the six data structures a model can use, and
// kModelTypes, the one list of them with what the rest of the system asks
// about each: its name as the tools spell it, its description, and how it
// is built.  The value is stored in binary model files, so the numbering
// never changes.  A new type is an enumerator and a row here, and a class
// in lm/model.hh.
#ifndef LM_MODEL_TYPE_H
#define LM_MODEL_TYPE_H

#include "util/string_piece.hh"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

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

// How a type is built: hash tables (with or without rest costs) or a trie
// (with or without quantized weights and array-compressed pointers).
struct ModelStructure {
  bool trie = false;
  bool rest = false;
  bool quantized = false;
  bool array_pointers = false;

  constexpr bool operator==(const ModelStructure &) const = default;
};

struct ModelTypeTraits {
  ModelType type;
  const char *name;         // as the tools and benchmarks spell it
  const char *description;  // as messages spell it
  ModelStructure structure;
};

// Indexed by ModelType.
inline constexpr ModelTypeTraits kModelTypes[] = {
    {PROBING, "probing", "probing hash tables", {}},
    {REST_PROBING, "rest_probing", "probing hash tables with rest costs", {.rest = true}},
    {TRIE, "trie", "trie", {.trie = true}},
    {QUANT_TRIE, "quant_trie", "trie with quantization", {.trie = true, .quantized = true}},
    {ARRAY_TRIE, "array_trie", "trie with array-compressed pointers", {.trie = true, .array_pointers = true}},
    {QUANT_ARRAY_TRIE, "quant_array_trie", "trie with quantization and array-compressed pointers",
     {.trie = true, .quantized = true, .array_pointers = true}},
};

constexpr unsigned kModelTypeCount = static_cast<unsigned>(std::size(kModelTypes));

constexpr const ModelTypeTraits &TraitsOf(ModelType type) { return kModelTypes[type]; }
constexpr bool IsTrie(ModelType type) { return TraitsOf(type).structure.trie; }
constexpr bool IsQuantized(ModelType type) { return TraitsOf(type).structure.quantized; }

// The type built as `structure` says, if any.
constexpr std::optional<ModelType> TypeWithStructure(const ModelStructure &structure) {
  for (const ModelTypeTraits &traits : kModelTypes)
    if (traits.structure == structure) return traits.type;
  return std::nullopt;
}

// The type the tools call `name` ("quant_array_trie"), if any.
std::optional<ModelType> TypeNamed(StringPiece name);

// ------------------------------------------------------------ details

namespace detail {

// One member of every row of kModelTypes, in order.
template <class T> constexpr std::array<T, kModelTypeCount> Column(T ModelTypeTraits::*member) {
  std::array<T, kModelTypeCount> out{};
  for (unsigned i = 0; i < kModelTypeCount; ++i) out[i] = kModelTypes[i].*member;
  return out;
}

constexpr bool RowsInOrder() {
  for (unsigned i = 0; i < kModelTypeCount; ++i)
    if (kModelTypes[i].type != i) return false;
  return true;
}
static_assert(RowsInOrder(), "kModelTypes is indexed by ModelType");

}  // namespace detail

// Every type, in order, and the descriptions indexed by ModelType.
inline constexpr std::array<ModelType, kModelTypeCount> kAllModelTypes = detail::Column(&ModelTypeTraits::type);
inline constexpr std::array<const char *, kModelTypeCount> kModelNames = detail::Column(&ModelTypeTraits::description);

}  // namespace ngram
}  // namespace lm

#endif  // LM_MODEL_TYPE_H
