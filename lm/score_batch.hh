// lm::base::ScoreBatch: the log10 probabilities of many sentences at once,
// on one or several threads, all of them querying the same model.
//
// A sentence is a run of bytes (a StringPiece; no terminator needed) split
// into words by util::NextWord with NulByte::kEndsWord: a NUL cuts only the
// word that holds it; an unknown word becomes <unk>.  Each sentence starts from the
// begin-sentence state (or the null context without `bos`), its words are
// scored in order with the state carried on, </s> comes last (unless `eos`
// is off), and the sum is kept in a 32-bit float: every score is bit for bit
// the sum that scoring the words one by one through BaseScore gives, and, for
// a sentence without NUL bytes and with both boundaries, what ScoreSentence
// gives.
//
// Inside one thread several sentences are in flight at once, each query a
// walk of single reads (the unigram record, then each probe of the search
// at each order; the vocabulary entry of the next word is loaded ahead):
// while one sentence waits for the memory its next lookup reads, the others
// take a step, so the dependent reads of a model much larger than the caches
// overlap instead of queueing.  Scoring
// allocates nothing; only starting threads does.  The model must not be
// destroyed until the call returns.
#ifndef LM_SCORE_BATCH_H
#define LM_SCORE_BATCH_H

#include "lm/return.hh"
#include "lm/state.hh"
#include "lm/virtual_interface.hh"
#include "lm/word_index.hh"
#include "util/split_words.hh"
#include "util/string_piece.hh"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace lm {
namespace base {

struct BatchOptions {
  // Start each sentence from the begin-sentence state; else from the null
  // context.
  bool bos = true;
  // Score </s> after the last word of each sentence.
  bool eos = true;
  // Threads scoring at once, the calling thread included; 0 means one per
  // hardware thread.  Fewer run when the batch is too small to share.
  unsigned threads = 1;
};

// scores[i] = log10 p(sentences[i]) for every i in [0, end - begin);
// `scores` has room for them all.  Throws std::system_error only when a
// thread cannot be started.
void ScoreBatch(const Model &model, const StringPiece *begin, const StringPiece *end, const BatchOptions &options,
                float *scores);

// The number of threads that `requested` (as BatchOptions::threads) means.
unsigned BatchThreads(unsigned requested);

}  // namespace base

namespace ngram {
namespace detail {

// What the batch scorer needs of a concrete model: typed queries, each also
// as a walk of single reads that names the address its next read needs
// (GenericModel::Walk), a way to start loading what a query will read, the
// two start states and the vocabulary, whose lookup goes in steps as well.
template <class M>
concept BatchScorable = requires(const M model, const State &in, State &out, WordIndex word, typename M::Walk &walk,
                                 const typename M::Walk &frozen) {
  { model.FullScore(in, word, out) } -> std::same_as<FullScoreReturn>;
  walk.Start(word);
  { model.WalkStep(walk, in, out) } -> std::same_as<bool>;
  { model.WalkAddress(frozen, in) } -> std::same_as<const void *>;
  { frozen.result } -> std::convertible_to<FullScoreReturn>;
  requires std::is_trivially_copyable_v<typename M::Walk>;
  model.Prefetch(in, word);
  { model.BeginSentenceState() } -> std::same_as<const State &>;
  { model.NullContextState() } -> std::same_as<const State &>;
  { model.GetVocabulary().EndSentenceIndex() } -> std::same_as<WordIndex>;
  // The vocabulary's lookup as a seek that goes one read at a time.
  requires std::is_trivially_copyable_v<typename std::remove_cvref_t<decltype(model.GetVocabulary())>::Seek>;
  requires requires(typename std::remove_cvref_t<decltype(model.GetVocabulary())>::Seek seek) {
    model.GetVocabulary().StartSeek(StringPiece(), seek);
    { model.GetVocabulary().SeekAddress(seek) } -> std::same_as<const void *>;
    { model.GetVocabulary().SeekStep(seek) } -> std::same_as<bool>;
    { model.GetVocabulary().SeekIndex(seek) } -> std::same_as<WordIndex>;
  };
};

// ScoreBatch on the calling thread: scores[i] for sentences [begin, end).
// `model_bytes` is the size of the model's structures: up to
// kCacheResidentBytes the model stays in the caches, where overlapping its
// lookups gains nothing and costs the work of starting them, so the
// sentences are scored one after the other.
template <BatchScorable M>
void ScoreSentences(const M &model, uint64_t model_bytes, const StringPiece *begin, const StringPiece *end,
                    const base::BatchOptions &options, float *scores);

constexpr uint64_t kCacheResidentBytes = uint64_t{8} << 20;

// One sentence in flight: its unread bytes, the seek of the next word's
// vocabulary entry (started, and its first read loading, while the word
// before is scored), the two states that its queries alternate between, the
// word being scored and the walk of its query, and the running total.
template <BatchScorable M> class SentenceLane {
 public:
  typedef std::remove_cvref_t<decltype(std::declval<const M &>().GetVocabulary())> Vocab;

  // Takes `sentence` from its start state; its total goes to *score.
  void Start(const Vocab &vocab, const StringPiece &sentence, const State &start, float *score) {
    at_ = sentence.data();
    end_ = at_ + sentence.size();
    states_[0] = start;
    current_ = 0;
    total_ = 0.0f;
    eos_pending_ = true;
    score_ = score;
    Peek(vocab);
  }

  // Word by word: picks the word to score next (looking it up to the end);
  // false when the sentence has none left.
  bool Advance(const Vocab &vocab, bool eos) {
    if (has_next_) {
      while (!vocab.SeekStep(seek_)) {
      }
      word_ = vocab.SeekIndex(seek_);
      Peek(vocab);
      return true;
    }
    if (!eos || !eos_pending_) return false;
    eos_pending_ = false;
    word_ = vocab.EndSentenceIndex();
    return true;
  }

  // Word by word: scores the picked word and carries the state on.
  void Score(const M &model) {
    total_ += model.FullScore(states_[current_], word_, states_[1 - current_]).prob;
    current_ = 1 - current_;
  }

  // In steps: sets the first word going, its lookup or (for an empty
  // sentence) </s>'s walk, with *next what the lane reads next (or null);
  // false when the sentence has nothing to score.
  bool Begin(const M &model, bool eos, const void *&next) {
    if (has_next_) {
      looking_up_ = true;
      next = model.GetVocabulary().SeekAddress(seek_);
      return true;
    }
    return ScoreEnd(model, eos, next);
  }

  // In steps: one read, a probe of the word's vocabulary lookup or a step of
  // its query's walk, with *next what the next one reads (or null).  False
  // when the sentence is done: its total was written.
  bool Step(const M &model, bool eos, const void *&next) {
    const Vocab &vocab = model.GetVocabulary();
    if (!looking_up_) {
      if (!model.WalkStep(walk_, states_[current_], states_[1 - current_])) {
        next = model.WalkAddress(walk_, In());
        return true;
      }
      total_ += walk_.result.prob;
      current_ = 1 - current_;
      if (!has_next_) return ScoreEnd(model, eos, next);
      // The next word's first probe was loading all through this walk.
      looking_up_ = true;
    }
    if (!vocab.SeekStep(seek_)) {
      next = vocab.SeekAddress(seek_);
      return true;
    }
    looking_up_ = false;
    word_ = vocab.SeekIndex(seek_);
    Peek(vocab);
    next = StartWalk(model);
    return true;
  }

  void Finish() const { *score_ = total_; }

 private:
  const State &In() const { return states_[current_]; }

  // After the last word: </s>'s walk, or the end of the sentence.
  bool ScoreEnd(const M &model, bool eos, const void *&next) {
    if (!eos || !eos_pending_) {
      Finish();
      return false;
    }
    eos_pending_ = false;
    word_ = model.GetVocabulary().EndSentenceIndex();
    next = StartWalk(model);
    return true;
  }

  // Sets the walk of word_ going; returns the address it reads first.
  const void *StartWalk(const M &model) {
    walk_.Start(word_);
    model.Prefetch(In(), word_);
    return model.WalkAddress(walk_, In());
  }

  // Finds the word after the one to score, starts its lookup and loading
  // the entry it reads first.
  void Peek(const Vocab &vocab) {
    has_next_ = util::NextWord(at_, end_, util::NulByte::kEndsWord, next_);
    if (!has_next_) return;
    vocab.StartSeek(next_, seek_);
    if (const void *first = vocab.SeekAddress(seek_)) __builtin_prefetch(first);
  }

  const char *at_ = nullptr;
  const char *end_ = nullptr;
  StringPiece next_;
  bool has_next_ = false;
  bool looking_up_ = false;
  typename Vocab::Seek seek_{};
  State states_[2];
  unsigned char current_ = 0;
  bool eos_pending_ = false;
  WordIndex word_ = 0;
  typename M::Walk walk_;
  float total_ = 0.0f;
  float *score_ = nullptr;
};

// Scores a run of sentences through kLanes lanes in turn: each lane does one
// read (a probe of a word's vocabulary lookup or a step of a query's walk)
// and starts loading what its next read needs, which the other lanes' reads
// then overlap.  A lane whose sentence ends takes the next sentence.
template <BatchScorable M> class LaneScorer {
 public:
  // On a model 14.5 (trie) and 27 (probing) times the last-level cache,
  // one thread, in M words/s: 8 lanes 3.14-3.65 and 5.02-5.67, 12 lanes 3.58
  // and 4.22, 16 lanes 3.40-3.85 and 5.06-5.20; within the noise, so the
  // fewest.
  static constexpr unsigned kLanes = 8;

  LaneScorer(const M &model, const base::BatchOptions &options, const StringPiece *begin, const StringPiece *end,
             float *scores)
      : model_(model), options_(options), next_(begin), end_(end), scores_(scores), first_(begin) {}

  void Run() {
    unsigned active = 0;
    for (Lane &lane : lanes_) active += Refill(lane);
    while (active) {
      for (unsigned i = 0; i < active;) {
        Lane &lane = lanes_[i];
        const void *next = nullptr;
        if (lane.Step(model_, options_.eos, next) || Refill(lane)) {
          if (next) __builtin_prefetch(next);
          ++i;
        } else {
          // The lane is spent: the last active lane takes its place.
          lane = lanes_[--active];
        }
      }
    }
  }

 private:
  typedef SentenceLane<M> Lane;

  // Starts sentences in `lane` until one has something to score and starts
  // loading what it reads first; sentences without any (possible only
  // without `eos`) score 0.  False when no sentence is left.
  bool Refill(Lane &lane) {
    const State &start = options_.bos ? model_.BeginSentenceState() : model_.NullContextState();
    for (; next_ != end_; ++next_) {
      lane.Start(model_.GetVocabulary(), *next_, start, scores_ + (next_ - first_));
      const void *first = nullptr;
      if (lane.Begin(model_, options_.eos, first)) {
        ++next_;
        if (first) __builtin_prefetch(first);
        return true;
      }
    }
    return false;
  }

  const M &model_;
  const base::BatchOptions &options_;
  const StringPiece *next_;
  const StringPiece *const end_;
  float *const scores_;
  const StringPiece *const first_;
  Lane lanes_[kLanes];
};

// Scores the sentences [begin, end) one after the other.
template <BatchScorable M>
void ScoreInTurn(const M &model, const StringPiece *begin, const StringPiece *end, const base::BatchOptions &options,
                 float *scores) {
  const State &start = options.bos ? model.BeginSentenceState() : model.NullContextState();
  for (SentenceLane<M> lane; begin != end; ++begin, ++scores) {
    lane.Start(model.GetVocabulary(), *begin, start, scores);
    while (lane.Advance(model.GetVocabulary(), options.eos)) lane.Score(model);
    lane.Finish();
  }
}

template <BatchScorable M>
void ScoreSentences(const M &model, uint64_t model_bytes, const StringPiece *begin, const StringPiece *end,
                    const base::BatchOptions &options, float *scores) {
  if (model_bytes <= kCacheResidentBytes) {
    ScoreInTurn(model, begin, end, options, scores);
  } else {
    LaneScorer<M>(model, options, begin, end, scores).Run();
  }
}

}  // namespace detail
}  // namespace ngram
}  // namespace lm

#endif  // LM_SCORE_BATCH_H
