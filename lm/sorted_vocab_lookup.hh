// lm::ngram::SortedVocabLookup: the word lookups of the trie's ARPA reader.
//
// SortedVocabulary::Index searches the whole hash array, and its probes miss
// the cache one after the other.  While the n-grams are read, every word of
// every line is looked up, so the reader uses this side table instead: an
// open-addressing hash table from word hash to identifier, the probing
// vocabulary's (1.5 slots a word).  A lookup usually reads one slot, which a
// prefetch can load ahead, so the lookups of the lines ahead wait for memory
// together.
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
#include "util/probing_hash_table.hh"
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
    table_.Prefetch(detail::HashForVocab(word));
  }

  // Implementation details follow.
 private:
  // The probing vocabulary's table: word hash to identifier.
  typedef util::ProbingHashTable<ProbingVocabularyEntry, util::IdentityHash> Table;

  const SortedVocabulary &vocab_;
  bool distinct_;
  // In huge pages where the kernel allows: lookups jump all over the table.
  util::scoped_memory slots_;
  Table table_;
};

}  // namespace ngram
}  // namespace lm

#endif  // LM_SORTED_VOCAB_LOOKUP_H
