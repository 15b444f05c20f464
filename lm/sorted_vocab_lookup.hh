// lm::ngram::SortedVocabLookup: the word lookups of the trie's ARPA reader.
//
// SortedVocabulary::Index searches the whole hash array, and its probes miss
// the cache one after the other.  While the n-grams are read, every word of
// every line is looked up, so the reader uses this side table instead: an
// open-addressing hash table from word hash to identifier (16 bytes a slot,
// 1.5 slots a word, linear probing, zero-filled slots empty).  A lookup usually reads one slot, which
// a prefetch can load ahead, so the lookups of the lines ahead wait for
// memory together.
//
// Index gives what the vocabulary's Index gives for every word.  A
// vocabulary holding a hash twice (the unigrams listed a word twice) is
// searched by its own Index, whose choice among equal hashes this table does
// not copy.  The vocabulary is borrowed and must stay finished and in place.
#ifndef LM_SORTED_VOCAB_LOOKUP_H
#define LM_SORTED_VOCAB_LOOKUP_H

#include "lm/vocab.hh"
#include "lm/word_index.hh"
#include "util/mmap.hh"
#include "util/string_piece.hh"

#include <cstddef>
#include <cstdint>

namespace lm {
namespace ngram {

class SortedVocabulary;

class SortedVocabLookup {
 public:
  // Indexes `vocab`, which FinishedLoading has sorted.
  explicit SortedVocabLookup(const SortedVocabulary &vocab);

  WordIndex Index(const StringPiece &word) const;

  // Starts loading the slot where Index(word) looks first.  Always inlined:
  // GCC deems a call that only prefetches free of effects and drops it.
  [[gnu::always_inline]] void Prefetch(const StringPiece &word) const {
    __builtin_prefetch(Slots() + Ideal(detail::HashForVocab(word)));
  }

  // Implementation details follow.
 private:
  // `identifier` 0 marks an empty slot.
  struct Slot {
    uint64_t hash;
    WordIndex identifier;
  };

  std::size_t Ideal(uint64_t hash) const {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * size_) >> 64);
  }
  const Slot *Slots() const { return static_cast<const Slot *>(slots_.get()); }

  const SortedVocabulary &vocab_;
  bool distinct_;
  std::size_t size_;
  // In huge pages where the kernel allows: lookups jump all over the table.
  util::scoped_memory slots_;
};

}  // namespace ngram
}  // namespace lm

#endif  // LM_SORTED_VOCAB_LOOKUP_H
