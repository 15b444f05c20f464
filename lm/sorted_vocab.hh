// lm::ngram::SortedVocabulary: the vocabulary of the trie models.
//
// The vocabulary keeps only the sorted 64-bit word hashes (HashForVocab) in
// its part of the model's region, which binary model files store unchanged:
//   offset 0: count (uint64, words held, <unk> not included)
//   offset 8: count word hashes (uint64), strictly ascending once finished
// A word's identifier is its hash's position in that array plus one, so
// identifiers follow hash order; 0 is <unk> and every word not held.  The
// part is sized for the declared unigram count; slots beyond the count stay
// unused.  Lookups are interpolation searches over the hashes.
//
// Building: SetupMemory over zero-filled memory, ConfigureEnumerate, Insert
// per unigram (temporary identifiers 1, 2, ... in insertion order),
// FinishedLoading (final identifiers; the caller's unigram weights and the
// words to report are permuted along).  Index must not be called between
// the first Insert and FinishedLoading.  Loading a binary file: SetupMemory
// over the stored bytes, LoadedBinary.  Afterwards Index is a const,
// allocation-free search that many threads may run at once.
#ifndef LM_SORTED_VOCAB_H
#define LM_SORTED_VOCAB_H

#include "lm/enumerate_vocab.hh"
#include "lm/virtual_interface.hh"
#include "lm/vocab.hh"
#include "lm/weights.hh"
#include "lm/word_index.hh"
#include "util/interpolation_search.hh"
#include "util/mmap.hh"
#include "util/string_piece.hh"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace lm {
namespace ngram {

struct Config;

class SortedVocabulary final : public base::Vocabulary {
 public:
  SortedVocabulary();

  // Bytes of the part for `entries` words: 8 + 8 * entries.
  static uint64_t Size(uint64_t entries, const Config &config);

  // Lays the part over `allocated` bytes at `start`, room for `entries`
  // hashes; `config` is not used.
  void SetupMemory(void *start, std::size_t allocated, std::size_t entries, const Config &config);

  // The part moved to `new_start`; the hashes keep their positions.
  void Relocate(void *new_start);

  // Stores the callback (borrowed, may be null).  When it is set, reports
  // <unk> as identifier 0 at once and keeps a copy of every inserted word
  // (at most `max_entries`) to report from FinishedLoading.
  void ConfigureEnumerate(EnumerateVocab *to, std::size_t max_entries);

  // Enters the word's hash and returns its temporary identifier (the number
  // of words held so far); <unk> and <UNK> are not entered and give 0.
  WordIndex Insert(const StringPiece &word);

  // Sorts the hashes, carrying entries 1 .. count of `reorder` (indexed by
  // temporary identifier; entry 0, <unk>'s, stays) and the words to report
  // along, so that entry i ends up at final identifier i.  Then reports the
  // words, sets <s> and </s> and writes the count.
  void FinishedLoading(ProbBackoff *reorder);

  WordIndex Index(const StringPiece &word) const override;

  // Starts loading the hash where Index(word) probes first, so that the
  // lookups of several words can wait for memory at the same time.  Always
  // inlined: GCC deems a call that only prefetches free of effects and drops
  // it.
  [[gnu::always_inline]] void Prefetch(const StringPiece &word) const {
    Seek seek;
    StartSeek(word, seek);
    if (const void *first = SeekAddress(seek)) __builtin_prefetch(first);
  }

  // Index one probe of its interpolation search at a time, for a caller
  // that works on other lookups while the memory of the next probe loads:
  // StartSeek hashes the word and reads nothing, SeekAddress is the hash the
  // next SeekStep reads (null once the seek has ended), SeekStep probes once
  // and returns true when the seek has ended; SeekIndex is then Index's
  // answer.
  struct Seek {
    util::InterpolationSeek<util::FloatPivot, uint64_t> search;
    uint64_t hash;
  };
  void StartSeek(const StringPiece &word, Seek &seek) const {
    constexpr uint64_t kAll = std::numeric_limits<uint64_t>::max();
    seek.hash = detail::HashForVocab(word);
    // The candidates are all of [0, Count()): "one below 0" wraps to kAll.
    seek.search = util::InterpolationSeek<util::FloatPivot, uint64_t>(kAll, 0, Count(), kAll, seek.hash);
  }
  const void *SeekAddress(const Seek &seek) const {
    return seek.search.Open() ? begin_ + seek.search.Probe() : nullptr;
  }
  bool SeekStep(Seek &seek) const {
    if (seek.search.Open()) {
      const uint64_t *begin = begin_;
      seek.search.Step([begin](uint64_t i) { return begin[i]; }, seek.hash);
    }
    return !seek.search.Open();
  }
  WordIndex SeekIndex(const Seek &seek) const {
    uint64_t at;
    return seek.search.Found(at) ? static_cast<WordIndex>(at + 1) : 0;
  }

  // Whether Insert was given <unk> or <UNK>.
  bool SawUnk() const { return saw_unk_; }

  // One above the largest identifier: count + 1 once finished or loaded.
  WordIndex Bound() const { return bound_; }

  // The hashes once finished or loaded, ascending: Hashes()[i] is
  // identifier i + 1's; Bound() - 1 of them.
  const uint64_t *Hashes() const { return begin_; }

  // After SetupMemory over a binary file's bytes: takes the stored count and
  // the special words and, when the file has the word list, reports it to
  // `to` (read from `fd` at `offset`).  A count above the room the part was
  // laid out with (a damaged file) throws lm::FormatLoadException.
  void LoadedBinary(bool have_words, int fd, EnumerateVocab *to, uint64_t offset);

 private:
  uint64_t Count() const { return static_cast<uint64_t>(end_ - begin_); }

  uint64_t *header_;
  uint64_t *begin_;
  uint64_t *end_;
  uint64_t room_;
  WordIndex bound_;
  bool saw_unk_;
  EnumerateVocab *enumerate_;
  // Copies of the inserted words while a callback waits for them.
  util::Pool string_backing_;
  std::vector<StringPiece> strings_to_enumerate_;
};

}  // namespace ngram
}  // namespace lm

#endif  // LM_SORTED_VOCAB_H
