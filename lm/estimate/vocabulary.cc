#include "lm/estimate/vocabulary.hh"

#include "lm/estimate/text_source.hh"
#include "util/exception.hh"
#include "util/tokenize_piece.hh"
#include "util/murmur_hash.hh"

namespace lm {
namespace estimate {

Vocabulary::Vocabulary() : offsets_(1, 0), table_(1024, Entry{0, kNoWord}), mask_(1023) {
  for (const char *special : {"<unk>", "<s>", "</s>"}) Index(StringPiece(special));
}

uint64_t Vocabulary::Hash(StringPiece word) { return util::MurmurHash64A(word.data(), word.size(), 0); }

void Vocabulary::Add(StringPiece word) {
  pool_.insert(pool_.end(), word.begin(), word.end());
  offsets_.push_back(pool_.size());
}

WordId Vocabulary::Insert(StringPiece word, uint64_t hash, std::size_t bucket) {
  UTIL_THROW_IF(Size() >= kNoWord, util::Exception, "the text has more than " << (kNoWord - 1) << " distinct words");
  const WordId id = static_cast<WordId>(Size());
  Add(word);
  table_[bucket] = Entry{hash, id};
  if (2 * Size() > table_.size()) Grow();
  return id;
}

void Vocabulary::Grow() {
  std::vector<Entry> bigger(2 * table_.size(), Entry{0, kNoWord});
  mask_ = bigger.size() - 1;
  for (const Entry &entry : table_) {
    if (entry.id == kNoWord) continue;
    std::size_t bucket = entry.hash & mask_;
    while (bigger[bucket].id != kNoWord) bucket = (bucket + 1) & mask_;
    bigger[bucket] = entry;
  }
  table_.swap(bigger);
}

std::size_t Vocabulary::MemoryUsage() const {
  const std::size_t own = pool_.capacity() + offsets_.capacity() * sizeof(std::size_t) + table_.capacity() * sizeof(Entry);
  return own + (limit_ ? limit_->MemoryUsage() : 0);
}

std::unique_ptr<const Vocabulary> ReadWordList(const std::string &path) {
  std::unique_ptr<Vocabulary> words(new Vocabulary());
  FileLineSource source({path});
  StringPiece line;
  while (source.Next(line)) {
    for (util::TokenIter<util::BoolCharacter, true> word(line, util::BoolCharacter(util::kSpaces)); word; ++word)
      words->Index(*word);
  }
  return words;
}

}  // namespace estimate
}  // namespace lm
