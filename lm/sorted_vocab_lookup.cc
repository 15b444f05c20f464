#include "lm/sorted_vocab_lookup.hh"

#include "lm/sorted_vocab.hh"

namespace lm {
namespace ngram {

SortedVocabLookup::SortedVocabLookup(const SortedVocabulary &vocab)
    : vocab_(vocab), distinct_(true), size_(0) {
  const uint64_t *hashes = vocab.Hashes();
  const WordIndex count = vocab.Bound() - 1;
  for (WordIndex i = 1; i < count; ++i) distinct_ = distinct_ && hashes[i - 1] != hashes[i];
  size_ = count + count / 2 + 1;
  util::HugeMalloc(size_ * sizeof(Slot), true, slots_);
  Slot *slots = static_cast<Slot *>(slots_.get());
  for (WordIndex i = 0; i < count; ++i) {
    std::size_t at = Ideal(hashes[i]);
    while (slots[at].identifier) at = (at + 1 == size_) ? 0 : at + 1;
    slots[at] = Slot{hashes[i], i + 1};
  }
}

WordIndex SortedVocabLookup::Index(const StringPiece &word) const {
  if (!distinct_) return vocab_.Index(word);
  const uint64_t hash = detail::HashForVocab(word);
  for (std::size_t at = Ideal(hash);; at = (at + 1 == size_) ? 0 : at + 1) {
    const Slot &slot = Slots()[at];
    if (!slot.identifier) return 0;
    if (slot.hash == hash) return slot.identifier;
  }
}

}  // namespace ngram
}  // namespace lm
