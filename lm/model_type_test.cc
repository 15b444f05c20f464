#include "lm/model_type.hh"

#include "lm/lm_exception.hh"
#include "lm/model.hh"
#include "util/text_match_for_test.hh"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

namespace lm {
namespace ngram {
namespace {

TEST(ModelType, TraitsOfEveryType) {
  const struct {
    ModelType type;
    const char *name, *description;
    bool trie, quantized;
  } kExpected[] = {
      {PROBING, "probing", "probing hash tables", false, false},
      {REST_PROBING, "rest_probing", "probing hash tables with rest costs", false, false},
      {TRIE, "trie", "trie", true, false},
      {QUANT_TRIE, "quant_trie", "trie with quantization", true, true},
      {ARRAY_TRIE, "array_trie", "trie with array-compressed pointers", true, false},
      {QUANT_ARRAY_TRIE, "quant_array_trie", "trie with quantization and array-compressed pointers", true, true},
  };
  ASSERT_EQ(std::size(kExpected), kModelTypeCount);
  for (const auto &c : kExpected) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.type, kAllModelTypes[c.type]);
    EXPECT_STREQ(c.description, kModelNames[c.type]);
    EXPECT_EQ(c.trie, IsTrie(c.type));
    EXPECT_EQ(c.quantized, IsQuantized(c.type));
    EXPECT_EQ(c.type, TypeNamed(c.name));
    EXPECT_EQ(c.type, TypeWithStructure(TraitsOf(c.type).structure));
  }
  EXPECT_FALSE(TypeNamed("hash"));
  EXPECT_FALSE(TypeWithStructure({.rest = true, .quantized = true}));
}

TEST(ModelType, WithModelClassReachesTheClassOfEveryType) {
  for (ModelType type : kAllModelTypes) {
    const bool sorted = WithModelClass(
        type, [&]<class Model>() { return std::is_same_v<typename Model::Vocabulary, SortedVocabulary>; });
    EXPECT_EQ(type, WithModelClass(type, []<class Model>() { return Model::kModelType; }));
    EXPECT_EQ(IsTrie(type), sorted) << kModelNames[type];
  }
  try {
    WithModelClass(static_cast<ModelType>(6), []<class Model>() { return 0; });
    ADD_FAILURE() << "nothing thrown";
  } catch (const FormatLoadException &e) {
    EXPECT_TRUE(util::EndsWith(e.what(), " threw FormatLoadException.\nConfused by model type 6")) << e.what();
  }
}

}  // namespace
}  // namespace ngram
}  // namespace lm
