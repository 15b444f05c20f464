#include "lm/estimate/count_text.hh"

#include "util/file.hh"
#include "util/file_piece.hh"
#include "util/progress.hh"
#include "util/tokenize_piece.hh"

#include <algorithm>
#include <cstring>

namespace lm {
namespace estimate {
namespace {

// The window of the last `order` words of a line.
class Window {
 public:
  explicit Window(unsigned order) : order_(order) {}

  void Start() {
    std::fill(words_, words_ + order_ - 1, kNoWord);
    words_[order_ - 1] = kBeginSentence;
  }

  const WordId *Push(WordId word) {
    std::memmove(words_, words_ + 1, (order_ - 1) * sizeof(WordId));
    words_[order_ - 1] = word;
    return words_;
  }

 private:
  unsigned order_;
  WordId words_[kMaxEstimateOrder];
};

void Refuse(const LineSource &text, const char *what) {
  UTIL_THROW(BadTextException, text.Name() << " line " << text.LineNumber() << ": " << what);
}

}  // namespace

void CountText(LineSource &text, Vocabulary &vocab, NGramCounter &counter, EstimateResult &result,
               std::ostream *progress) {
  const uint64_t total = text.TotalBytes();
  util::ErsatzProgress bar(total == util::kBadSize ? 0 : total, total == util::kBadSize ? nullptr : progress,
                           "Counting n-grams");
  Window window(counter.Order());
  StringPiece line;
  while (text.Next(line)) {
    if (std::memchr(line.data(), 0, line.size())) Refuse(text, "the text holds a NUL byte");
    util::TokenIter<util::BoolCharacter, true> word(line, util::BoolCharacter(util::kSpaces));
    if (!word) continue;
    window.Start();
    for (; word; ++word) {
      const WordId id = vocab.Index(*word);
      if (id == kBeginSentence || id == kEndSentence) Refuse(text, "<s> and </s> may not appear in the text");
      counter.Add(window.Push(id));
      ++result.tokens;
    }
    counter.Add(window.Push(kEndSentence));
    ++result.lines;
    bar.MoveTo(text.BytesDone());
  }
  UTIL_THROW_IF(!result.lines, BadTextException, text.Name() << " holds no word: there is nothing to estimate from");
}

}  // namespace estimate
}  // namespace lm
