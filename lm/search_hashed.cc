#include "lm/search_hashed.hh"

#include "lm/binary_format.hh"
#include "lm/lm_exception.hh"
#include "lm/model_interfaces.hh"
#include "lm/read_arpa.hh"
#include "lm/value_build.hh"
#include "lm/vocab.hh"
#include "util/file_piece.hh"
#include "util/hand_off.hh"
#include "util/worker.hh"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <iterator>
#include <memory>

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

// Parsed n-grams per block handed from the parsing to the inserting side.
constexpr std::size_t kBlockEntries = 4096;
// Blocks in the ring when a worker inserts.
constexpr std::size_t kBlocks = 4;
// How many n-grams ahead of the one being stored the inserting side starts
// fetching buckets.
constexpr std::size_t kFetchAhead = 8;

// A block of n-grams of order n as parsed, in file order.  The words of
// entry i are ids[i * n] ... ids[i * n + n - 1], newest first; keys[i * n + h]
// keys its suffix of order h + 2 (so keys[i * n + n - 2] keys the n-gram
// itself) and keys[i * n + n - 1] its context (the n-gram without its newest
// word).  The inserting side empties the block.
template <class Weights> struct ParsedBlock {
  explicit ParsedBlock(unsigned int order)
      : n(order), ids(order * kBlockEntries), keys(order * kBlockEntries), weights(kBlockEntries) {}

  bool Full() const { return size == kBlockEntries; }

  unsigned int n;
  std::vector<WordIndex> ids;
  std::vector<uint64_t> keys;
  std::vector<Weights> weights;
  std::size_t size = 0;
  // The entry whose positive probability is complained about (kNoComplaint
  // when none; `size` when the entry's reading failed after the complaint)
  // and that probability.
  static constexpr std::size_t kNoComplaint = SIZE_MAX;
  std::size_t complain_at = kNoComplaint;
  float complain_prob = 0.0f;
};

// Reads the next n-gram into `block`; it counts only once it was read
// whole.
template <class Weights>
void ParseNGram(util::FilePiece &f, const ProbingVocabulary &vocab, VocabLookAhead<ProbingVocabulary> &ahead,
                NotedPositiveProbWarn &warn, ParsedBlock<Weights> &block) {
  ahead.Ahead(f);
  const unsigned int n = block.n;
  const std::size_t i = block.size;
  WordIndex *ids = &block.ids[i * n];
  try {
    ReadNGram(f, static_cast<unsigned char>(n), vocab, std::reverse_iterator<WordIndex *>(ids + n),
              block.weights[i], warn);
  } catch (...) {
    if (warn.TakeNoted(block.complain_prob)) block.complain_at = i;
    throw;
  }
  uint64_t *keys = &block.keys[i * n];
  keys[0] = CombineWordHash(ids[0], ids[1]);
  for (unsigned int h = 1; h + 1 < n; ++h) keys[h] = CombineWordHash(keys[h - 1], ids[h + 1]);
  keys[n - 1] = ContextKey(ids, n - 1);
  if (warn.TakeNoted(block.complain_prob)) block.complain_at = i;
  block.size = i + 1;
}

// The n-gram being stored: its words, its keys (as in ParsedBlock) and the
// lower records it touched, longest first.  The list keeps its capacity
// from one n-gram to the next.
template <class Weights> struct NGramScratch {
  explicit NGramScratch(unsigned int order) : n(order) {}

  const unsigned int n;
  const WordIndex *ids = nullptr;
  const uint64_t *keys = nullptr;
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
  const WordIndex *ids = scratch.ids;
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
  [[gnu::always_inline]] void Prefetch(const NGramScratch<Weights> &) const {}
  void operator()(const NGramScratch<Weights> &scratch) const { SetExtension(unigrams_[scratch.ids[1]].backoff); }

 private:
  Weights *unigrams_;
};

// Marks the context of an n-gram as extended when it is a middle n-gram of
// `middle`; the context, keyed by `context`, must be stored.
template <class Middle> void ActivateLowerMiddle(Middle &middle, uint64_t context, unsigned int n) {
  typename Middle::MutableIterator found;
  UTIL_THROW_IF(!middle.Find(context, found), FormatLoadException,
                "The context of every " << n << "-gram should appear as a " << (n - 1) << "-gram");
  SetExtension(found->value.backoff);
}

// ActivateLowerMiddle for each n-gram in file order.  ARPA files usually
// list the n-grams that share a context one after the other, and a context
// that was just marked stays marked (nothing clears the mark), so a repeat
// of the last context needs no lookup.
template <class Middle> class ActivateMiddle {
 public:
  explicit ActivateMiddle(Middle &middle) : middle_(middle), marked_(0), any_marked_(false) {}

  // Starts fetching the context's bucket of an n-gram stored soon.
  template <class Weights> [[gnu::always_inline]] void Prefetch(const NGramScratch<Weights> &scratch) const {
    const uint64_t context = scratch.keys[scratch.n - 1];
    if (!Repeat(context)) middle_.Prefetch(context);
  }

  template <class Weights> void operator()(const NGramScratch<Weights> &scratch) {
    const uint64_t context = scratch.keys[scratch.n - 1];
    if (Repeat(context)) return;
    ActivateLowerMiddle(middle_, context, scratch.n);
    marked_ = context;
    any_marked_ = true;
  }

 private:
  bool Repeat(uint64_t context) const { return any_marked_ && context == marked_; }

  Middle &middle_;
  uint64_t marked_;
  bool any_marked_;
};

// Starts fetching the buckets that storing the n-gram in `scratch` will
// touch: its own, its suffix's and (through `activate`) its context's.  They
// are usually far apart and out of cache; fetching them kFetchAhead n-grams
// early lets the misses of several n-grams overlap.  Always inlined, as
// every function that only prefetches: GCC deems a call of one free of
// effects and drops it.
template <class Weights, class Store, class Middle, class Activate>
[[gnu::always_inline]] inline void PrefetchBuckets(const NGramScratch<Weights> &scratch, const Store &store, const std::vector<Middle> &middle,
                     const Activate &activate) {
  const unsigned int n = scratch.n;
  store.Prefetch(scratch.keys[n - 2]);
  if (n >= 3) middle[n - 3].Prefetch(scratch.keys[n - 3]);
  activate.Prefetch(scratch);
}

// The inserting side of one order: stores the n-grams of each block in file
// order into `store`, repairing and marking the lower orders.  Nothing else
// reads `store` while its order is read (the other steps touch only lower
// orders), so fetching ahead changes neither the result nor any error.
template <class Build, class Activate, class Store, class Middle> class NGramInserter {
 public:
  typedef typename Build::Value::Weights LowerWeights;
  typedef ParsedBlock<decltype(Store::Entry::value)> Block;

  NGramInserter(unsigned int n, LowerWeights *unigrams, std::vector<Middle> &middle, Activate &activate,
                Store &store, PositiveProbWarn &warn, const Build &build)
      : scratch_(n), unigrams_(unigrams), middle_(middle), activate_(activate), store_(store), warn_(warn),
        build_(build) {}

  void operator()(Block &block) {
    for (std::size_t i = 0; i < std::min(kFetchAhead, block.size); ++i) Prefetch(block, i);
    for (std::size_t i = 0; i < block.size; ++i) {
      if (i + kFetchAhead < block.size) Prefetch(block, i + kFetchAhead);
      if (i == block.complain_at) warn_.Warn(block.complain_prob);
      Insert(block, i);
    }
    if (block.complain_at == block.size) warn_.Warn(block.complain_prob);
    block.size = 0;
    block.complain_at = Block::kNoComplaint;
  }

 private:
  void Point(const Block &block, std::size_t i) {
    scratch_.ids = &block.ids[i * block.n];
    scratch_.keys = &block.keys[i * block.n];
  }

  [[gnu::always_inline]] void Prefetch(const Block &block, std::size_t i) {
    Point(block, i);
    PrefetchBuckets(scratch_, store_, middle_, activate_);
  }

  void Insert(const Block &block, std::size_t i) {
    Point(block, i);
    const unsigned int n = scratch_.n;
    typename Store::Entry entry;
    entry.value = block.weights[i];
    build_.SetRest(scratch_.ids, n, entry.value);
    // Left-closed until a longer n-gram extends it.
    entry.value.prob = WithSignBit(entry.value.prob);
    entry.key = scratch_.keys[n - 2];
    store_.Insert(entry);
    FindLower<typename Build::Value>(scratch_, middle_, unigrams_);
    AdjustLower(entry.value, build_, scratch_, middle_, unigrams_);
    if constexpr (Build::kPropagateBelowBasis) PropagateBelowBasis(build_, scratch_, middle_, unigrams_);
    activate_(scratch_);
  }

  NGramScratch<LowerWeights> scratch_;
  LowerWeights *const unigrams_;
  std::vector<Middle> &middle_;
  Activate &activate_;
  Store &store_;
  PositiveProbWarn &warn_;
  const Build &build_;
};

// Reads the declared n-grams of order n into `store`: this thread parses
// blocks of them, which `worker` (or, when null, this thread) stores.
template <class Build, class Activate, class Store, class Middle>
void ReadNGrams(util::FilePiece &f, unsigned int n, uint64_t count, const ProbingVocabulary &vocab,
                typename Build::Value::Weights *unigrams, std::vector<Middle> &middle, Activate activate,
                Store &store, PositiveProbWarn &warn, const Build &build, util::Worker *worker) {
  typedef NGramInserter<Build, Activate, Store, Middle> Inserter;
  typedef typename Inserter::Block Block;
  util::HandOff<Block, Inserter> hand_off(
      worker, kBlocks, [n] { return Block(n); }, Inserter(n, unigrams, middle, activate, store, warn, build));
  hand_off.Run([&](util::HandOff<Block, Inserter> &blocks) {
    ReadNGramHeader(f, n);
    NotedPositiveProbWarn noted(warn);
    VocabLookAhead<ProbingVocabulary> ahead(vocab, static_cast<unsigned char>(n));
    for (uint64_t i = 0; i < count; ++i) {
      ParseNGram(f, vocab, ahead, noted, blocks.Current());
      if (blocks.Current().Full()) blocks.Hand();
    }
    if (blocks.Current().size) blocks.Hand();
  });
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
  // The worker stores what this thread parses; it outlives the build.
  const std::unique_ptr<util::Worker> worker(config.arpa_threads > 1 ? new util::Worker() : nullptr);
  if constexpr (!Value::kDifferentRest) {
    ApplyBuild(f, counts, vocab, warn, NoRestBuild(), worker.get());
  } else {
    switch (config.rest_kind) {
      case Config::REST_FROM_MAX:
        ApplyBuild(f, counts, vocab, warn, MaxRestBuild(), worker.get());
        break;
      case Config::REST_FROM_LOWER: {
        const LowerRestBuild<ProbingModel> build(config, static_cast<unsigned int>(counts.size()), vocab);
        ApplyBuild(f, counts, vocab, warn, build, worker.get());
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
                                     const ProbingVocabulary &vocab, PositiveProbWarn &warn, const Build &build,
                                     util::Worker *worker) {
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
      ReadNGrams(f, 2, counts[1], vocab, unigrams, middle_, unigram_context, longest_, warn, build, worker);
    } else {
      ReadNGrams(f, 2, counts[1], vocab, unigrams, middle_, unigram_context, middle_[0], warn, build, worker);
      for (unsigned int n = 3; n < order; ++n) {
        ReadNGrams(f, n, counts[n - 1], vocab, unigrams, middle_, ActivateMiddle<Middle>(middle_[n - 3]),
                   middle_[n - 2], warn, build, worker);
      }
      ReadNGrams(f, order, counts[order - 1], vocab, unigrams, middle_, ActivateMiddle<Middle>(middle_.back()),
                 longest_, warn, build, worker);
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
