#include "lm/search_hashed.hh"

#include "lm/binary_format.hh"
#include "lm/lm_exception.hh"
#include "lm/model_interfaces.hh"
#include "lm/read_arpa.hh"
#include "lm/value_build.hh"
#include "lm/vocab.hh"
#include "util/file_piece.hh"

#include <algorithm>
#include <concepts>
#include <iterator>

namespace lm {
namespace ngram {

class ProbingModel;

namespace detail {
namespace {

// The key of the context n-gram ids[1] ... ids[order] (ids newest first).
uint64_t ContextKey(const WordIndex *ids, unsigned int order) {
  uint64_t key = ids[1];
  for (unsigned int i = 2; i <= order; ++i) key = CombineWordHash(key, ids[i]);
  return key;
}

// Per-order working data while the n-grams of order n are read; allocated
// once per order.  ids[0] is the newest word; keys[h] is the key of the
// suffix of order h + 2, so keys[n - 2] keys the n-gram itself.
template <class Weights> struct NGramScratch {
  explicit NGramScratch(unsigned int order) : n(order), ids(order), keys(order - 1) {}

  void ComputeKeys() {
    keys[0] = CombineWordHash(ids[0], ids[1]);
    for (unsigned int h = 1; h + 1 < n; ++h) keys[h] = CombineWordHash(keys[h - 1], ids[h + 1]);
  }

  const unsigned int n;
  std::vector<WordIndex> ids;
  std::vector<uint64_t> keys;
  // Lower records touched by the current n-gram, longest first.
  std::vector<Weights *> between;
};

// Fills scratch.between with the longest stored suffix of the n-gram (the
// basis, possibly the 1-gram of ids[0]), preceded by blanks inserted for the
// missing suffixes of orders n-1, n-2, ... above it.
template <class Value, class Middle>
void FindLower(NGramScratch<typename Value::Weights> &scratch, std::vector<Middle> &middle,
               typename Value::Weights *unigrams) {
  typename Value::ProbingEntry blank;
  blank.value = typename Value::Weights();
  blank.value.backoff = kNoExtensionBackoff;
  scratch.between.clear();
  for (int h = static_cast<int>(scratch.n) - 3; h >= 0; --h) {
    blank.key = scratch.keys[h];
    typename Middle::MutableIterator found;
    const bool existed = middle[h].FindOrInsert(blank, found);
    scratch.between.push_back(&found->value);
    if (existed) return;
  }
  scratch.between.push_back(&unigrams[scratch.ids[0]]);
}

// Gives each blank in scratch.between the probability that backing off from
// the basis yields, then marks the chain from `added` down to the basis as
// extended on the left.
template <class Added, class Build, class Middle>
void AdjustLower(const Added &added, const Build &build, NGramScratch<typename Build::Value::Weights> &scratch,
                 std::vector<Middle> &middle, typename Build::Value::Weights *unigrams) {
  std::vector<typename Build::Value::Weights *> &between = scratch.between;
  if (between.size() == 1) {
    build.NoteLeftExtension(*between.front(), added);
    return;
  }
  const unsigned int n = scratch.n;
  const WordIndex *ids = scratch.ids.data();
  float prob = WithSignBit(between.back()->prob);
  unsigned int basis = n - static_cast<unsigned int>(between.size());
  // The blank of order o sits at between[n - 1 - o].
  if (basis == 1) {
    float &backoff = unigrams[ids[1]].backoff;
    SetExtension(backoff);
    prob += backoff;
    between[n - 3]->prob = prob;
    build.SetRest(ids, 2, *between[n - 3]);
    basis = 2;
  }
  uint64_t context = ContextKey(ids, basis);
  for (; basis < n - 1; ++basis) {
    typename Middle::MutableIterator found;
    if (middle[basis - 2].Find(context, found)) {
      SetExtension(found->value.backoff);
      prob += found->value.backoff;
    }
    typename Build::Value::Weights &blank = *between[n - 2 - basis];
    blank.prob = prob;
    build.SetRest(ids, basis + 1, blank);
    context = CombineWordHash(context, ids[basis + 1]);
  }
  build.NoteLeftExtension(*between[0], added);
  for (std::size_t i = 1; i < between.size(); ++i) build.NoteLeftExtension(*between[i], *between[i - 1]);
}

// MaxRestBuild: carries the basis's rest cost on to its own suffixes until
// one already has a rest cost at least as good.
template <class Build, class Middle>
void PropagateBelowBasis(const Build &build, NGramScratch<typename Build::Value::Weights> &scratch,
                         std::vector<Middle> &middle, typename Build::Value::Weights *unigrams) {
  const typename Build::Value::Weights &basis = *scratch.between.back();
  const unsigned int below = scratch.n - static_cast<unsigned int>(scratch.between.size()) - 1;
  if (below == 0) return;
  for (unsigned int order = below; order >= 2; --order) {
    typename Middle::MutableIterator found;
    if (!middle[order - 2].Find(scratch.keys[order - 2], found)) return;
    if (!build.NoteLeftExtension(found->value, basis)) return;
  }
  build.NoteLeftExtension(unigrams[scratch.ids[0]], basis);
}

// Marks the context of an n-gram as extended when it is a 1-gram.
template <class Weights> class ActivateUnigram {
 public:
  explicit ActivateUnigram(Weights *unigrams) : unigrams_(unigrams) {}
  // The 1-gram records are few and stay in cache.
  void Prefetch(const NGramScratch<Weights> &) const {}
  void operator()(const NGramScratch<Weights> &scratch) const { SetExtension(unigrams_[scratch.ids[1]].backoff); }

 private:
  Weights *unigrams_;
};

// Marks the context of an n-gram as extended when it is a middle n-gram of
// `middle`; the context must be stored.
template <class Middle>
void ActivateLowerMiddle(Middle &middle, const std::vector<WordIndex> &ids, unsigned int n) {
  typename Middle::MutableIterator found;
  UTIL_THROW_IF(!middle.Find(ContextKey(ids.data(), n - 1), found), FormatLoadException,
                "The context of every " << n << "-gram should appear as a " << (n - 1) << "-gram");
  SetExtension(found->value.backoff);
}

// ActivateLowerMiddle for each n-gram in file order.  ARPA files usually
// list the n-grams that share a context one after the other, and a context
// that was just marked stays marked (nothing clears the mark), so a repeat
// of the last context needs no lookup.
template <class Middle> class ActivateMiddle {
 public:
  explicit ActivateMiddle(Middle &middle) : middle_(middle), context_(0), marked_(0), any_marked_(false) {}

  // Computes the context's key and starts fetching its bucket.
  template <class Weights> void Prefetch(const NGramScratch<Weights> &scratch) {
    context_ = ContextKey(scratch.ids.data(), scratch.n - 1);
    if (!Repeat()) middle_.Prefetch(context_);
  }

  // After Prefetch for the same n-gram.
  template <class Weights> void operator()(const NGramScratch<Weights> &scratch) {
    if (Repeat()) return;
    ActivateLowerMiddle(middle_, scratch.ids, scratch.n);
    marked_ = context_;
    any_marked_ = true;
  }

 private:
  bool Repeat() const { return any_marked_ && context_ == marked_; }

  Middle &middle_;
  uint64_t context_;
  uint64_t marked_;
  bool any_marked_;
};

// Starts fetching the buckets that storing the n-gram in `scratch` will
// touch: its own, its suffix's and (through `activate`) its context's.  They
// are usually far apart and out of cache, and waiting for them together
// beats waiting three times.
template <class Weights, class Store, class Middle, class Activate>
void PrefetchBuckets(const NGramScratch<Weights> &scratch, const Store &store, const std::vector<Middle> &middle,
                     Activate &activate) {
  const unsigned int n = scratch.n;
  store.Prefetch(scratch.keys[n - 2]);
  if (n >= 3) middle[n - 3].Prefetch(scratch.keys[n - 3]);
  activate.Prefetch(scratch);
}

// Reads the declared n-grams of order n into `store`.
//
// Each n-gram goes into `store` only after the next one has been read, so
// that its bucket has a whole entry's time to arrive from memory.  Nothing
// else reads or writes `store` meanwhile (the other steps touch only lower
// orders), and `store` is empty before this order and sized for all its
// n-grams, so inserting it cannot fail: the delay changes neither the result
// nor any error.
template <class Build, class Activate, class Store, class Middle>
void ReadNGrams(util::FilePiece &f, unsigned int n, uint64_t count, const ProbingVocabulary &vocab,
                typename Build::Value::Weights *unigrams, std::vector<Middle> &middle, Activate activate,
                Store &store, PositiveProbWarn &warn, const Build &build) {
  ReadNGramHeader(f, n);
  NGramScratch<typename Build::Value::Weights> scratch(n);
  typename Store::Entry entry;
  typename Store::Entry pending;
  for (uint64_t i = 0; i < count; ++i) {
    ReadNGram(f, static_cast<unsigned char>(n), vocab, std::reverse_iterator<WordIndex *>(scratch.ids.data() + n),
              entry.value, warn);
    scratch.ComputeKeys();
    PrefetchBuckets(scratch, store, middle, activate);
    build.SetRest(scratch.ids.data(), n, entry.value);
    // Left-closed until a longer n-gram extends it.
    entry.value.prob = WithSignBit(entry.value.prob);
    entry.key = scratch.keys[n - 2];
    if (i) store.Insert(pending);
    pending = entry;
    FindLower<typename Build::Value>(scratch, middle, unigrams);
    AdjustLower(entry.value, build, scratch, middle, unigrams);
    if constexpr (Build::kPropagateBelowBasis) PropagateBelowBasis(build, scratch, middle, unigrams);
    activate(scratch);
  }
  if (count) store.Insert(pending);
}

}  // namespace

template <class Value>
uint64_t HashedSearch<Value>::Size(const std::vector<uint64_t> &counts, const Config &config) {
  uint64_t ret = Unigram::Size(counts[0]);
  for (std::size_t n = 1; n + 1 < counts.size(); ++n) ret += Middle::Size(counts[n], config.probing_multiplier);
  return ret + Longest::Size(counts.back(), config.probing_multiplier);
}

template <class Value>
uint8_t *HashedSearch<Value>::SetupMemory(uint8_t *start, const std::vector<uint64_t> &counts, const Config &config) {
  unigram_ = Unigram(start);
  start += Unigram::Size(counts[0]);
  middle_.clear();
  for (std::size_t n = 1; n + 1 < counts.size(); ++n) {
    const std::size_t size = Middle::Size(counts[n], config.probing_multiplier);
    middle_.push_back(Middle(start, size));
    start += size;
  }
  const std::size_t size = Longest::Size(counts.back(), config.probing_multiplier);
  longest_ = Longest(start, size);
  return start + size;
}

template <class Value>
template <class Voc>
void HashedSearch<Value>::InitializeFromARPA(const char *, util::FilePiece &f, const std::vector<uint64_t> &counts,
                                             const Config &config, Voc &vocab, BinaryFormat &backing) {
  void *vocab_rebase;
  void *search_base = backing.GrowForSearch(Size(counts, config), 0, vocab_rebase);
  vocab.Relocate(vocab_rebase);
  SetupMemory(static_cast<uint8_t *>(search_base), counts, config);

  PositiveProbWarn warn(config.positive_log_probability);
  ReadNGramHeader(f, 1);
  for (uint64_t i = 0; i < counts[0]; ++i) Read1Gram(f, vocab, unigram_.Raw(), warn);

  vocab.FinishedLoading(unigram_.Raw());
  if (!vocab.SawUnk()) MissingUnknown(config);
  if (vocab.BeginSentenceIndex() == vocab.UnknownIndex()) MissingSentenceMarker(config, "<s>");
  if (vocab.EndSentenceIndex() == vocab.UnknownIndex()) MissingSentenceMarker(config, "</s>");

  DispatchBuild(f, counts, config, vocab, warn);
}

template <class Value>
void HashedSearch<Value>::DispatchBuild(util::FilePiece &f, const std::vector<uint64_t> &counts,
                                        const Config &config, const ProbingVocabulary &vocab,
                                        PositiveProbWarn &warn) {
  if constexpr (!Value::kDifferentRest) {
    ApplyBuild(f, counts, vocab, warn, NoRestBuild());
  } else {
    switch (config.rest_kind) {
      case Config::REST_FROM_MAX:
        ApplyBuild(f, counts, vocab, warn, MaxRestBuild());
        break;
      case Config::REST_FROM_LOWER: {
        const LowerRestBuild<ProbingModel> build(config, static_cast<unsigned int>(counts.size()), vocab);
        ApplyBuild(f, counts, vocab, warn, build);
        break;
      }
      default:
        UTIL_THROW(ConfigException, "Unknown rest_kind " << config.rest_kind);
    }
  }
}

template <class Value>
template <class Build>
void HashedSearch<Value>::ApplyBuild(util::FilePiece &f, const std::vector<uint64_t> &counts,
                                     const ProbingVocabulary &vocab, PositiveProbWarn &warn, const Build &build) {
  static_assert(BuildPolicy<Build> && std::same_as<typename Build::Value, Value>,
                "a build policy of lm/value_build.hh fills the tables of its own value type");
  typename Value::Weights *const unigrams = unigram_.Raw();
  // Every record that holds a word: identifiers 0 .. count - 1 when the file
  // has <unk>, 1 .. count when it does not.
  const WordIndex bound = static_cast<WordIndex>(std::min<uint64_t>(vocab.Bound(), counts[0] + 1));
  for (WordIndex i = 0; i < bound; ++i) build.SetRest(&i, 1, unigrams[i]);

  const unsigned int order = static_cast<unsigned int>(counts.size());
  try {
    const ActivateUnigram<typename Value::Weights> unigram_context(unigrams);
    if (order == 2) {
      ReadNGrams(f, 2, counts[1], vocab, unigrams, middle_, unigram_context, longest_, warn, build);
    } else {
      ReadNGrams(f, 2, counts[1], vocab, unigrams, middle_, unigram_context, middle_[0], warn, build);
      for (unsigned int n = 3; n < order; ++n) {
        ReadNGrams(f, n, counts[n - 1], vocab, unigrams, middle_, ActivateMiddle<Middle>(middle_[n - 3]),
                   middle_[n - 2], warn, build);
      }
      ReadNGrams(f, order, counts[order - 1], vocab, unigrams, middle_, ActivateMiddle<Middle>(middle_.back()),
                 longest_, warn, build);
    }
  } catch (const util::ProbingSizeException &) {
    UTIL_THROW(util::ProbingSizeException,
               "Avoid pruning n-grams like \"bar baz quux\" when \"foo bar baz quux\" is still in the model.  "
               "Quarn will work when this pruning happens, but the probing model assumes these events are rare "
               "enough that using blank space in the probing hash table will cover all of them.  Increase "
               "probing_multiplier (-p to packmodel) to add more blank spaces.\n");
  }
  ReadEnd(f);
}

template class HashedSearch<BackoffValue>;
template class HashedSearch<RestValue>;

static_assert(ModelSearch<HashedSearch<BackoffValue>, ProbingVocabulary>);
static_assert(ModelSearch<HashedSearch<RestValue>, ProbingVocabulary>);
static_assert(ModelVocabulary<ProbingVocabulary>);

template void HashedSearch<BackoffValue>::InitializeFromARPA(const char *, util::FilePiece &,
                                                             const std::vector<uint64_t> &, const Config &,
                                                             ProbingVocabulary &, BinaryFormat &);
template void HashedSearch<RestValue>::InitializeFromARPA(const char *, util::FilePiece &,
                                                          const std::vector<uint64_t> &, const Config &,
                                                          ProbingVocabulary &, BinaryFormat &);

}  // namespace detail
}  // namespace ngram
}  // namespace lm
