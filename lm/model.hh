// Model construction, loading and the query algorithms.
//
// lm::ngram::detail::GenericModel<Search, VocabularyT> combines a vocabulary
// and a search structure laid one after the other in a single memory region
// owned by a BinaryFormat.  The constructor loads either a binary model file
// (mapped or read as the configuration says) or ARPA text; afterwards the
// model never changes and every query is a const, allocation-free walk over
// the region, so several threads may query one model with their own states.
//
// The query algorithms are written once over the search interface of
// lm/model_interfaces.hh.  Contexts are arrays of word identifiers in reverse
// text order, nearest word first.
#ifndef LM_MODEL_H
#define LM_MODEL_H

#include "lm/binary_format.hh"
#include "lm/blank.hh"
#include "lm/config.hh"
#include "lm/lm_exception.hh"
#include "lm/model_interfaces.hh"
#include "lm/model_type.hh"
#include "lm/return.hh"
#include "lm/score_batch.hh"
#include "lm/search_hashed.hh"
#include "lm/search_trie.hh"
#include "lm/sorted_vocab.hh"
#include "lm/state.hh"
#include "lm/value.hh"
#include "lm/virtual_interface.hh"
#include "lm/vocab.hh"
#include "lm/word_index.hh"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

namespace lm {
namespace ngram {
namespace detail {

// How each search structure is built; kModelTypes then gives the ModelType
// stored in binary files.
template <class Search> struct StructureOf;
template <class Value> struct StructureOf<HashedSearch<Value>> {
  static constexpr ModelStructure kValue{.rest = std::is_same_v<Value, RestValue>};
};
template <class Quant, class Highbit> struct StructureOf<trie::TrieSearch<Quant, Highbit>> {
  static constexpr ModelStructure kValue{.trie = true,
                                         .quantized = std::is_same_v<Quant, SeparatelyQuantize>,
                                         .array_pointers = std::is_same_v<Highbit, trie::ArrayHighbit>};
};

template <class Search> constexpr ModelType ModelTypeOf() {
  constexpr std::optional<ModelType> type = TypeWithStructure(StructureOf<Search>::kValue);
  static_assert(type.has_value(), "kModelTypes lists no type built as this search structure");
  return *type;
}

template <class Search, class VocabularyT>
class GenericModel : public base::ModelFacade<GenericModel<Search, VocabularyT>, State, VocabularyT> {
 private:
  typedef base::ModelFacade<GenericModel<Search, VocabularyT>, State, VocabularyT> P;
  typedef typename Search::Node Node;

  static_assert(ModelSearch<Search, VocabularyT>, "the search structure lacks part of the search interface");
  static_assert(ModelVocabulary<VocabularyT>, "the vocabulary lacks part of the vocabulary interface");

 public:
  static constexpr ModelType kModelType = ModelTypeOf<Search>();
  static constexpr unsigned int kVersion = Search::kVersion;

  // Bytes of the whole region: vocabulary, then search.
  static uint64_t Size(const std::vector<uint64_t> &counts, const Config &config = Config());

  // Loads `file`, a binary model file or ARPA text.  Throws on any defect;
  // nothing is left half-built.
  explicit GenericModel(const char *file, const Config &config = Config());

  FullScoreReturn FullScore(const State &in_state, WordIndex new_word, State &out_state) const {
    FullScoreReturn ret = ScoreExceptBackoff(in_state.words, in_state.words + in_state.length, new_word, out_state);
    ChargeBackoffs(in_state, ret);
    return ret;
  }

  // FullScore as a walk that can be resumed: Start sets it up (reading
  // nothing), each WalkStep does one read (the unigram record, then one
  // probe of the search at each order), and WalkAddress names the
  // first byte the next step reads, so that a caller can start loading it
  // and work on other walks meanwhile.  When WalkStep returns true,
  // walk.result and the out state are bit for bit what FullScore gives.  The
  // walk holds no pointers: the states are passed to every step, so a walk
  // may be copied along with the states it works on.
  class Walk {
   public:
    void Start(WordIndex word) {
      word_ = word;
      depth_ = kUnigramPending;
    }

    FullScoreReturn result{};

   private:
    friend class GenericModel;
    static constexpr unsigned char kUnigramPending = 255;

    Node node_{};
    // The search at order depth_ + 2 under node_.
    [[no_unique_address]] typename Search::Seek seek_{};
    WordIndex word_ = 0;
    // Context words matched beyond the unigram, or kUnigramPending.
    unsigned char depth_ = kUnigramPending;
  };

  [[gnu::always_inline]] inline bool WalkStep(Walk &walk, const State &in_state, State &out_state) const;

  // Null when the next step reads nothing the search can name.  The walk
  // must not have ended.
  [[gnu::always_inline]] const void *WalkAddress(const Walk &walk, const State &in_state) const {
    if (walk.depth_ == Walk::kUnigramPending) return search_.UnigramAddress(walk.word_);
    return search_.SeekAddress(walk.depth_, in_state.words[walk.depth_], walk.node_, walk.seek_);
  }

  // Starts loading the memory that FullScore(in_state, new_word, ...) reads
  // first, so that several queries can wait for memory at once.
  [[gnu::always_inline]] void Prefetch(const State &in_state, WordIndex new_word) const {
    search_.Prefetch(new_word, in_state.words, in_state.words + in_state.length);
  }

  void BaseScoreBatch(const StringPiece *begin, const StringPiece *end, const base::BatchOptions &options,
                      float *scores) const override {
    ScoreSentences(*this, bytes_, begin, end, options, scores);
  }

  // As FullScore, for a caller that has only the context words.
  FullScoreReturn FullScoreForgotState(const WordIndex *context_rbegin, const WordIndex *context_rend,
                                       WordIndex new_word, State &out_state) const;

  // The state that scoring the context words left to right would produce.
  void GetState(const WordIndex *context_rbegin, const WordIndex *context_rend, State &out_state) const;

  // Adds words to the left of an earlier match (its left_handle and
  // ngram_length) and returns the change of its score.
  FullScoreReturn ExtendLeft(const WordIndex *add_rbegin, const WordIndex *add_rend, const float *backoff_in,
                             uint64_t prior_handle, unsigned char prior_length, float *backoff_out,
                             unsigned char &next_use) const;

  // Sum of (probability - rest) over a run of earlier matches of lengths
  // first_length, first_length + 1, ...
  float UnRest(const uint64_t *pointers_begin, const uint64_t *pointers_end, unsigned char first_length) const;

  // FullScore without charging the backoffs of the context.
  FullScoreReturn ScoreExceptBackoff(const WordIndex *context_rbegin, const WordIndex *context_rend,
                                     WordIndex new_word, State &out_state) const;

 private:
  // Drops context words beyond the longest n-gram's.  An empty context may
  // come as two null pointers, which admit no arithmetic.
  void ClipContext(const WordIndex *context_rbegin, const WordIndex *&context_rend) const {
    const std::ptrdiff_t longest = search_.Order() - 1;
    if (context_rend - context_rbegin > longest) context_rend = context_rbegin + longest;
  }

  // Indices: at the highest order, backoff + ngram_length would point two
  // past the array.
  static void ChargeBackoffs(const State &in_state, FullScoreReturn &ret) {
    for (unsigned i = ret.ngram_length - 1u; i < in_state.length; ++i) ret.prob += in_state.backoff[i];
  }

  // The unigram part of ScoreExceptBackoff: `ret` and `out_state` as for an
  // empty context.
  void ScoreUnigram(WordIndex new_word, Node &node, State &out_state, FullScoreReturn &ret) const {
    ret.ngram_length = 1;
    typename Search::UnigramPointer unigram(search_.LookupUnigram(new_word, node, ret.left_closed, ret.left_handle));
    out_state.backoff[0] = unigram.GetBackoff();
    ret.prob = unigram.GetProb();
    ret.rest = unigram.GetRest();
    out_state.length = HasExtension(out_state.backoff[0]) ? 1 : 0;
    out_state.words[0] = new_word;
  }

  // After ResumeScore: the context words the out state keeps.
  static void KeepContext(const WordIndex *context_rbegin, State &out_state) {
    std::copy(context_rbegin, context_rbegin + std::max(out_state.length, static_cast<unsigned char>(1)) - 1,
              out_state.words + 1);
  }

  // Takes a found or missing n-gram of the highest order into `ret`.
  void TakeLongest(const typename Search::LongestPointer &longest, FullScoreReturn &ret) const {
    ret.left_closed = true;
    if (!longest.IsFound()) return;
    ret.prob = longest.GetProb();
    ret.rest = ret.prob;
    ret.ngram_length = search_.Order();
  }

  // Takes the (middle_index + 2)-gram `middle` into `ret` and its backoff
  // into *backoff_sink; false when it is missing.
  bool TakeMiddle(const typename Search::MiddlePointer &middle, unsigned char middle_index, float *backoff_sink,
                  unsigned char &useful_length, FullScoreReturn &ret) const {
    if (!middle.IsFound()) return false;
    *backoff_sink = middle.GetBackoff();
    ret.prob = middle.GetProb();
    ret.rest = middle.GetRest();
    ret.ngram_length = middle_index + 2;
    if (HasExtension(*backoff_sink)) useful_length = ret.ngram_length;
    return true;
  }

  // The end of an ended seek at the walk's depth; true when the match grows
  // no further.
  [[gnu::always_inline]] inline bool TakeSeek(Walk &walk, const State &in_state, State &out_state) const;

  // One order of ResumeScore at *hist; true when the match grows no further.
  // Always inlined: a call per order costs word-by-word queries several
  // percent.
  [[gnu::always_inline]] inline bool ResumeStep(const WordIndex *hist, const WordIndex *hist_end, unsigned char middle_index, Node &node,
                  float *backoff_sink, unsigned char &useful_length, FullScoreReturn &ret) const;

  // Extends the match in `node`/`ret` leftward through [hist, hist_end).
  void ResumeScore(const WordIndex *hist, const WordIndex *hist_end, unsigned char middle_index, Node &node,
                   float *backoff_sink, unsigned char &useful_length, FullScoreReturn &ret) const;

  void LoadBinary(int fd, const Config &config);
  void SetupMemory(void *base, const std::vector<uint64_t> &counts, const Config &config);
  void InitializeFromARPA(int fd, const char *file, const Config &config);
  void SetReferenceStates();

  BinaryFormat backing_;
  VocabularyT vocab_;
  Search search_;
  // Bytes of the vocabulary and search structures, as Size gives them.
  uint64_t bytes_ = 0;
};

template <class Search, class VocabularyT>
FullScoreReturn GenericModel<Search, VocabularyT>::ScoreExceptBackoff(const WordIndex *context_rbegin,
                                                                      const WordIndex *context_rend,
                                                                      WordIndex new_word, State &out_state) const {
  FullScoreReturn ret;
  Node node;
  ScoreUnigram(new_word, node, out_state, ret);
  if (context_rbegin == context_rend) return ret;
  ResumeScore(context_rbegin, context_rend, 0, node, out_state.backoff + 1, out_state.length, ret);
  KeepContext(context_rbegin, out_state);
  return ret;
}

template <class Search, class VocabularyT>
bool GenericModel<Search, VocabularyT>::WalkStep(Walk &walk, const State &in_state, State &out_state) const {
  bool done = false;
  if (walk.depth_ == Walk::kUnigramPending) {
    ScoreUnigram(walk.word_, walk.node_, out_state, walk.result);
    walk.depth_ = 0;
  } else {
    if (!search_.SeekStep(walk.depth_, in_state.words[walk.depth_], walk.seek_)) return false;
    done = TakeSeek(walk, in_state, out_state);
    ++walk.depth_;
  }
  if (!done && walk.depth_ < in_state.length && !walk.result.left_closed) {
    search_.StartSeek(walk.depth_, in_state.words[walk.depth_], walk.node_, walk.seek_);
    return false;
  }
  if (in_state.length) KeepContext(in_state.words, out_state);
  ChargeBackoffs(in_state, walk.result);
  return true;
}

template <class Search, class VocabularyT>
bool GenericModel<Search, VocabularyT>::TakeSeek(Walk &walk, const State &in_state, State &out_state) const {
  const unsigned char depth = walk.depth_;
  const WordIndex word = in_state.words[depth];
  FullScoreReturn &ret = walk.result;
  if (depth == search_.Order() - 2) {
    TakeLongest(search_.SeekLongest(word, walk.seek_, walk.node_), ret);
    return true;
  }
  return !TakeMiddle(search_.SeekMiddle(depth, word, walk.seek_, walk.node_, ret.left_closed, ret.left_handle), depth,
                     out_state.backoff + 1 + depth, out_state.length, ret);
}

template <class Search, class VocabularyT>
bool GenericModel<Search, VocabularyT>::ResumeStep(const WordIndex *hist, const WordIndex *hist_end,
                                                   unsigned char middle_index, Node &node, float *backoff_sink,
                                                   unsigned char &useful_length, FullScoreReturn &ret) const {
  if (hist == hist_end || ret.left_closed) return true;
  if (middle_index == search_.Order() - 2) {
    TakeLongest(search_.LookupLongest(*hist, node), ret);
    return true;
  }
  return !TakeMiddle(search_.LookupMiddle(middle_index, *hist, node, ret.left_closed, ret.left_handle), middle_index,
                     backoff_sink, useful_length, ret);
}

template <class Search, class VocabularyT>
void GenericModel<Search, VocabularyT>::ResumeScore(const WordIndex *hist, const WordIndex *hist_end,
                                                    unsigned char middle_index, Node &node, float *backoff_sink,
                                                    unsigned char &useful_length, FullScoreReturn &ret) const {
  while (!ResumeStep(hist, hist_end, middle_index, node, backoff_sink, useful_length, ret)) {
    ++middle_index;
    ++hist;
    ++backoff_sink;
  }
}

template <class Search, class VocabularyT>
FullScoreReturn GenericModel<Search, VocabularyT>::FullScoreForgotState(const WordIndex *context_rbegin,
                                                                        const WordIndex *context_rend,
                                                                        WordIndex new_word,
                                                                        State &out_state) const {
  ClipContext(context_rbegin, context_rend);
  FullScoreReturn ret = ScoreExceptBackoff(context_rbegin, context_rend, new_word, out_state);
  unsigned char start = ret.ngram_length;
  if (context_rend - context_rbegin < static_cast<std::ptrdiff_t>(start)) return ret;

  bool left_closed;
  uint64_t left_handle;
  Node node;
  if (start <= 1) {
    ret.prob += search_.LookupUnigram(*context_rbegin, node, left_closed, left_handle).GetBackoff();
    start = 2;
  } else if (!search_.FastMakeNode(context_rbegin, context_rbegin + start - 1, node)) {
    return ret;
  }
  unsigned char middle_index = start - 2;
  for (const WordIndex *word = context_rbegin + start - 1; word < context_rend; ++word, ++middle_index) {
    typename Search::MiddlePointer middle(search_.LookupMiddle(middle_index, *word, node, left_closed, left_handle));
    if (!middle.IsFound()) break;
    ret.prob += middle.GetBackoff();
  }
  return ret;
}

template <class Search, class VocabularyT>
void GenericModel<Search, VocabularyT>::GetState(const WordIndex *context_rbegin, const WordIndex *context_rend,
                                                 State &out_state) const {
  ClipContext(context_rbegin, context_rend);
  if (context_rend == context_rbegin) {
    out_state.length = 0;
    return;
  }
  Node node;
  bool left_closed;
  uint64_t left_handle;
  out_state.backoff[0] = search_.LookupUnigram(*context_rbegin, node, left_closed, left_handle).GetBackoff();
  out_state.length = HasExtension(out_state.backoff[0]) ? 1 : 0;
  float *backoff_sink = out_state.backoff + 1;
  unsigned char middle_index = 0;
  for (const WordIndex *word = context_rbegin + 1; word < context_rend; ++word, ++middle_index, ++backoff_sink) {
    typename Search::MiddlePointer middle(search_.LookupMiddle(middle_index, *word, node, left_closed, left_handle));
    if (!middle.IsFound()) break;
    *backoff_sink = middle.GetBackoff();
    if (HasExtension(*backoff_sink)) out_state.length = static_cast<unsigned char>(word - context_rbegin + 1);
  }
  // A loop rather than std::copy, whose memmove g++ flags for the null
  // context that returned above.
  for (unsigned char i = 0; i < out_state.length; ++i) out_state.words[i] = context_rbegin[i];
}

template <class Search, class VocabularyT>
FullScoreReturn GenericModel<Search, VocabularyT>::ExtendLeft(const WordIndex *add_rbegin, const WordIndex *add_rend,
                                                              const float *backoff_in, uint64_t prior_handle,
                                                              unsigned char prior_length, float *backoff_out,
                                                              unsigned char &next_use) const {
  FullScoreReturn ret;
  Node node;
  if (prior_length == 1) {
    typename Search::UnigramPointer unigram(
        search_.LookupUnigram(static_cast<WordIndex>(prior_handle), node, ret.left_closed, ret.left_handle));
    ret.prob = unigram.GetProb();
    ret.rest = unigram.GetRest();
  } else {
    typename Search::MiddlePointer middle(search_.Unpack(prior_handle, prior_length, node));
    ret.prob = middle.GetProb();
    ret.rest = middle.GetRest();
    ret.left_handle = prior_handle;
    ret.left_closed = false;
  }
  float subtract_me = ret.rest;
  ret.ngram_length = prior_length;
  next_use = prior_length;
  ResumeScore(add_rbegin, add_rend, prior_length - 1, node, backoff_out, next_use, ret);
  next_use -= prior_length;
  // Indices, not pointers: with nothing to add, backoff_in may be null.
  for (std::ptrdiff_t i = ret.ngram_length - prior_length; i < add_rend - add_rbegin; ++i) ret.prob += backoff_in[i];
  ret.prob -= subtract_me;
  ret.rest -= subtract_me;
  return ret;
}

template <class Search, class VocabularyT>
float GenericModel<Search, VocabularyT>::UnRest(const uint64_t *pointers_begin, const uint64_t *pointers_end,
                                                unsigned char first_length) const {
  if (!Search::kDifferentRest) return 0.0f;
  float total = 0.0f;
  Node node;
  if (first_length == 1) {
    if (pointers_begin >= pointers_end) return total;
    bool left_closed;
    uint64_t left_handle;
    typename Search::UnigramPointer unigram(
        search_.LookupUnigram(static_cast<WordIndex>(*pointers_begin), node, left_closed, left_handle));
    total += unigram.GetProb() - unigram.GetRest();
    ++first_length;
    ++pointers_begin;
  }
  for (const uint64_t *pointer = pointers_begin; pointer < pointers_end; ++pointer, ++first_length) {
    typename Search::MiddlePointer middle(search_.Unpack(*pointer, first_length, node));
    total += middle.GetProb() - middle.GetRest();
  }
  return total;
}

}  // namespace detail

// Hash tables without rest costs.
class ProbingModel final : public detail::GenericModel<detail::HashedSearch<BackoffValue>, ProbingVocabulary> {
 public:
  explicit ProbingModel(const char *file, const Config &config = Config()) : GenericModel(file, config) {}
};

// Hash tables with rest costs.
class RestProbingModel final : public detail::GenericModel<detail::HashedSearch<RestValue>, ProbingVocabulary> {
 public:
  explicit RestProbingModel(const char *file, const Config &config = Config()) : GenericModel(file, config) {}
};

// A bit-packed trie with sorted vocabulary, weights stored whole.
class TrieModel final
    : public detail::GenericModel<trie::TrieSearch<DontQuantize, trie::DontHighbit>, SortedVocabulary> {
 public:
  explicit TrieModel(const char *file, const Config &config = Config()) : GenericModel(file, config) {}
};

// A trie whose weights are quantized to config.quant_prob_bits and
// config.quant_backoff_bits.
class QuantTrieModel final
    : public detail::GenericModel<trie::TrieSearch<SeparatelyQuantize, trie::DontHighbit>, SortedVocabulary> {
 public:
  explicit QuantTrieModel(const char *file, const Config &config = Config()) : GenericModel(file, config) {}
};

// A trie whose child pointers keep up to config.array_pointer_bits high bits
// in an offset table.
class ArrayTrieModel final
    : public detail::GenericModel<trie::TrieSearch<DontQuantize, trie::ArrayHighbit>, SortedVocabulary> {
 public:
  explicit ArrayTrieModel(const char *file, const Config &config = Config()) : GenericModel(file, config) {}
};

// Both: quantized weights and array-compressed pointers.
class QuantArrayTrieModel final
    : public detail::GenericModel<trie::TrieSearch<SeparatelyQuantize, trie::ArrayHighbit>, SortedVocabulary> {
 public:
  explicit QuantArrayTrieModel(const char *file, const Config &config = Config()) : GenericModel(file, config) {}
};

typedef ProbingModel Model;

// Loads `file_name` as the type its binary header records or, for ARPA text,
// as `model_type`.  The caller owns the result.
base::Model *LoadVirtual(const char *file_name, const Config &config = Config(), ModelType model_type = PROBING);

// Throws ConfigException for a setting that building `model_type` from ARPA
// text refuses, as building would: a probing multiplier outside (1.0,
// kMaxProbingMultiplier] for any type, quantization widths outside 1 .. 25
// for the quantized tries.  Lets a program refuse its settings before it
// reads any input.
void CheckBuildConfig(const Config &config, ModelType model_type);

// Every model class, in ModelType order.
template <class... Models> struct ModelList {};
using ModelClasses = ModelList<ProbingModel, RestProbingModel, TrieModel, QuantTrieModel, ArrayTrieModel,
                               QuantArrayTrieModel>;

// Calls visit.template operator()<Model>() with the class of `type` and
// returns its result; throws FormatLoadException for a type with no class.
template <class Visit> decltype(auto) WithModelClass(ModelType type, Visit &&visit);

// ------------------------------------------------------------ details

namespace detail {

template <class... Models> constexpr bool ClassesInOrder(ModelList<Models...>) {
  ModelType types[] = {Models::kModelType...};
  for (unsigned i = 0; i < sizeof...(Models); ++i)
    if (types[i] != i) return false;
  return sizeof...(Models) == kModelTypeCount;
}
static_assert(ClassesInOrder(ModelClasses()), "ModelClasses holds one class per ModelType, in order");

template <class Visit, class First, class... Rest>
decltype(auto) VisitModelClass(ModelType type, Visit &visit, ModelList<First, Rest...>) {
  if (type == First::kModelType) return visit.template operator()<First>();
  if constexpr (sizeof...(Rest) == 0) {
    UTIL_THROW(FormatLoadException, "Confused by model type " << static_cast<unsigned>(type));
  } else {
    return VisitModelClass(type, visit, ModelList<Rest...>());
  }
}

}  // namespace detail

template <class Visit> decltype(auto) WithModelClass(ModelType type, Visit &&visit) {
  return detail::VisitModelClass(type, visit, ModelClasses());
}

}  // namespace ngram
}  // namespace lm

#endif  // LM_MODEL_H
