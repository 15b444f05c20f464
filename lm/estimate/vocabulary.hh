// Vocabulary: the words of a text numbered in order of first appearance.
//
// Identifiers 0, 1 and 2 are <unk>, <s> and </s> (kUnk, kBeginSentence,
// kEndSentence of ngram_record.hh); every other word gets the next
// identifier when Index first sees it, so the numbering depends only on the
// text.  Words are kept in one growing pool and found through an
// open-addressing table of MurmurHash64A hashes; looking up a known word
// allocates nothing.  A vocabulary belongs to one thread.
//
// A vocabulary limited to a list of words (LimitTo) reads every other word
// as <unk>: Index gives kUnk for it and numbers nothing.  <unk>, <s> and
// </s> always pass, so the text is refused for <s> and </s> as before.
#ifndef LM_ESTIMATE_VOCABULARY_H
#define LM_ESTIMATE_VOCABULARY_H

#include "lm/estimate/ngram_record.hh"
#include "util/string_piece.hh"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lm {
namespace estimate {

class Vocabulary {
 public:
  Vocabulary();

  // The identifier of `word`, numbering it if it is new.
  WordId Index(StringPiece word) {
    const uint64_t hash = Hash(word);
    if (limit_ && limit_->Find(word, hash) == kNoWord) return kUnk;
    for (std::size_t bucket = hash & mask_;; bucket = (bucket + 1) & mask_) {
      const Entry &entry = table_[bucket];
      if (entry.id == kNoWord) return Insert(word, hash, bucket);
      if (entry.hash == hash && Word(entry.id) == word) return entry.id;
    }
  }

  // Limits the words to those of `limit`, which holds the words to keep
  // (and the three special ones, as every vocabulary does).
  void LimitTo(std::unique_ptr<const Vocabulary> limit) { limit_ = std::move(limit); }

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
  // The identifier of `word`, or kNoWord.
  WordId Find(StringPiece word, uint64_t hash) const {
    for (std::size_t bucket = hash & mask_;; bucket = (bucket + 1) & mask_) {
      const Entry &entry = table_[bucket];
      if (entry.id == kNoWord) return kNoWord;
      if (entry.hash == hash && Word(entry.id) == word) return entry.id;
    }
  }
  WordId Insert(StringPiece word, uint64_t hash, std::size_t bucket);
  void Add(StringPiece word);
  void Grow();

  std::vector<char> pool_;
  std::vector<std::size_t> offsets_;  // word i is pool_[offsets_[i], offsets_[i + 1])
  std::vector<Entry> table_;
  std::size_t mask_;
  std::unique_ptr<const Vocabulary> limit_;
};

// The words of the file at `path` (split at ASCII whitespace, any number
// to a line; compressed as text may be), for Vocabulary::LimitTo.
std::unique_ptr<const Vocabulary> ReadWordList(const std::string &path);

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_VOCABULARY_H
