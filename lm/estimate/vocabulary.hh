// Vocabulary: the words of a text numbered in order of first appearance.
//
// Identifiers 0, 1 and 2 are <unk>, <s> and </s> (kUnk, kBeginSentence,
// kEndSentence of ngram_record.hh); every other word gets the next
// identifier when Index first sees it, so the numbering depends only on the
// text.  Words are kept in one growing pool and found through an
// open-addressing table of MurmurHash64A hashes; looking up a known word
// allocates nothing.  A vocabulary belongs to one thread.
#ifndef LM_ESTIMATE_VOCABULARY_H
#define LM_ESTIMATE_VOCABULARY_H

#include "lm/estimate/ngram_record.hh"
#include "util/string_piece.hh"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lm {
namespace estimate {

class Vocabulary {
 public:
  Vocabulary();

  // The identifier of `word`, numbering it if it is new.
  WordId Index(StringPiece word) {
    const uint64_t hash = Hash(word);
    for (std::size_t bucket = hash & mask_;; bucket = (bucket + 1) & mask_) {
      const Entry &entry = table_[bucket];
      if (entry.id == kNoWord) return Insert(word, hash, bucket);
      if (entry.hash == hash && Word(entry.id) == word) return entry.id;
    }
  }

  // |V|: the words seen and the three special ones.
  std::size_t Size() const { return offsets_.size() - 1; }

  StringPiece Word(WordId id) const {
    return StringPiece(pool_.data() + offsets_[id], offsets_[id + 1] - offsets_[id]);
  }

  // Bytes held, for the memory report.
  std::size_t MemoryUsage() const;

 private:
  struct Entry {
    uint64_t hash;
    WordId id;
  };

  static uint64_t Hash(StringPiece word);
  WordId Insert(StringPiece word, uint64_t hash, std::size_t bucket);
  void Add(StringPiece word);
  void Grow();

  std::vector<char> pool_;
  std::vector<std::size_t> offsets_;  // word i is pool_[offsets_[i], offsets_[i + 1])
  std::vector<Entry> table_;
  std::size_t mask_;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_VOCABULARY_H
