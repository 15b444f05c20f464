#include "lm/sorted_vocab.hh"

#include "lm/lm_exception.hh"
#include "lm/vocab.hh"
#include "util/interpolation_search.hh"

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>

namespace lm {
namespace ngram {

SortedVocabulary::SortedVocabulary()
    : header_(nullptr), begin_(nullptr), end_(nullptr), room_(0), bound_(1), saw_unk_(false), enumerate_(nullptr) {}

uint64_t SortedVocabulary::Size(uint64_t entries, const Config & /*config*/) {
  return sizeof(uint64_t) + entries * sizeof(uint64_t);
}

void SortedVocabulary::SetupMemory(void *start, std::size_t /*allocated*/, std::size_t entries,
                                   const Config & /*config*/) {
  header_ = static_cast<uint64_t *>(start);
  begin_ = header_ + 1;
  end_ = begin_;
  room_ = entries;
  saw_unk_ = false;
}

void SortedVocabulary::Relocate(void *new_start) {
  const uint64_t count = Count();
  header_ = static_cast<uint64_t *>(new_start);
  begin_ = header_ + 1;
  end_ = begin_ + count;
}

void SortedVocabulary::ConfigureEnumerate(EnumerateVocab *to, std::size_t max_entries) {
  enumerate_ = to;
  if (!enumerate_) return;
  enumerate_->Add(0, "<unk>");
  strings_to_enumerate_.resize(max_entries);
}

WordIndex SortedVocabulary::Insert(const StringPiece &word) {
  const uint64_t hashed = detail::HashForVocab(word);
  if (detail::IsUnknownHash(hashed)) {
    saw_unk_ = true;
    return 0;
  }
  *end_ = hashed;
  if (enumerate_) {
    void *copy = string_backing_.Carve(word.size());
    std::memcpy(copy, word.data(), word.size());
    strings_to_enumerate_[Count()] = StringPiece(static_cast<const char *>(copy), word.size());
  }
  ++end_;
  return static_cast<WordIndex>(Count());
}

void SortedVocabulary::FinishedLoading(ProbBackoff *reorder) {
  const std::size_t count = Count();
  // order[i] is the temporary position (0-based) of the word that sorts i-th.
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) { return begin_[a] < begin_[b]; });

  std::vector<uint64_t> hashes(begin_, end_);
  std::vector<ProbBackoff> weights(reorder + 1, reorder + 1 + count);
  const bool report = enumerate_ && !strings_to_enumerate_.empty();
  std::vector<StringPiece> words;
  if (report) words.swap(strings_to_enumerate_);
  for (std::size_t i = 0; i < count; ++i) {
    begin_[i] = hashes[order[i]];
    reorder[i + 1] = weights[order[i]];
  }
  if (report) {
    for (std::size_t i = 0; i < count; ++i) enumerate_->Add(static_cast<WordIndex>(i + 1), words[order[i]]);
    strings_to_enumerate_.clear();
    string_backing_.FreeAll();
  }
  SetSpecial(Index("<s>"), Index("</s>"), 0);
  *header_ = count;
  bound_ = static_cast<WordIndex>(count + 1);
}

WordIndex SortedVocabulary::Index(const StringPiece &word) const {
  Seek seek;
  StartSeek(word, seek);
  while (!SeekStep(seek)) {
  }
  return SeekIndex(seek);
}

void SortedVocabulary::LoadedBinary(bool have_words, int fd, EnumerateVocab *to, uint64_t offset) {
  const uint64_t count = *header_;
  UTIL_THROW_IF(count > room_, FormatLoadException,
                "The binary file's vocabulary is damaged: it claims " << count << " words but has room for "
                                                                      << room_);
  end_ = begin_ + count;
  SetSpecial(Index("<s>"), Index("</s>"), 0);
  bound_ = static_cast<WordIndex>(count + 1);
  if (have_words) ReadWords(fd, to, bound_, offset);
}

}  // namespace ngram
}  // namespace lm
