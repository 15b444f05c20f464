#include "lm/sorted_vocab_lookup.hh"

#include "lm/sorted_vocab.hh"

namespace lm {
namespace ngram {

SortedVocabLookup::SortedVocabLookup(const SortedVocabulary &vocab) : vocab_(vocab), distinct_(true) {
  const uint64_t *hashes = vocab.Hashes();
  const WordIndex count = vocab.Bound() - 1;
  for (WordIndex i = 1; i < count; ++i) distinct_ = distinct_ && hashes[i - 1] != hashes[i];
  const std::size_t bytes = Table::Size(count, 1.5f);
  util::HugeMalloc(bytes, true, slots_);
  table_ = Table(slots_.get(), bytes);
  for (WordIndex i = 0; i < count; ++i) table_.Insert(ProbingVocabularyEntry::Make(hashes[i], i + 1));
}

WordIndex SortedVocabLookup::Index(const StringPiece &word) const {
  if (!distinct_) return vocab_.Index(word);
  Table::ConstIterator found;
  return table_.Find(detail::HashForVocab(word), found) ? found->value : 0;
}

}  // namespace ngram
}  // namespace lm
