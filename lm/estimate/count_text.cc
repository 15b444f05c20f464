#include "lm/estimate/count_text.hh"

#include "util/file.hh"
#include "util/file_piece.hh"
#include "util/progress.hh"
#include "util/tokenize_piece.hh"

#include <algorithm>
#include <cstring>
#include <vector>

namespace lm {
namespace estimate {
namespace {

// Counts the windows of a stream of word identifiers in which every line
// ends with kEndSentence.  Keeps its window from one block to the next.
class WindowCounter {
 public:
  explicit WindowCounter(NGramCounter &counter) : counter_(counter), order_(counter.Order()) {}

  void Count(const WordId *ids, std::size_t size) {
    for (const WordId *id = ids; id != ids + size; ++id) {
      if (line_start_) Start();
      std::memmove(words_, words_ + 1, (order_ - 1) * sizeof(WordId));
      words_[order_ - 1] = *id;
      counter_.Add(words_);
      line_start_ = *id == kEndSentence;
    }
  }

 private:
  void Start() {
    std::fill(words_, words_ + order_ - 1, kNoWord);
    words_[order_ - 1] = kBeginSentence;
    line_start_ = false;
  }

  NGramCounter &counter_;
  const unsigned order_;
  bool line_start_ = true;
  WordId words_[kMaxEstimateOrder];
};

// Identifiers per block handed to the counter.
constexpr std::size_t kBlockWords = 1 << 16;
// Blocks in flight when a worker counts.
constexpr std::size_t kBlocks = 4;

// Fills blocks of identifiers and has them counted, inline or by the worker.
class Blocks {
 public:
  Blocks(NGramCounter &counter, util::Worker *worker)
      : counter_(counter), worker_(worker), blocks_(worker ? kBlocks : 1), tickets_(blocks_.size(), 0) {
    for (std::vector<WordId> &block : blocks_) block.reserve(kBlockWords);
  }

  // A block still being counted refers to this object.
  ~Blocks() {
    if (!worker_) return;
    try {
      worker_->WaitAll();
    } catch (...) {
    }
  }

  void Add(WordId id) {
    std::vector<WordId> &block = blocks_[current_];
    block.push_back(id);
    if (block.size() == kBlockWords) Hand();
  }

  // Counts what is left and waits for it.
  void Finish() {
    Hand();
    if (worker_) worker_->WaitAll();
  }

 private:
  void Hand() {
    std::vector<WordId> *block = &blocks_[current_];
    if (block->empty()) return;
    if (!worker_) {
      counter_.Count(block->data(), block->size());
      block->clear();
      return;
    }
    tickets_[current_] = worker_->Submit([this, block] { counter_.Count(block->data(), block->size()); });
    current_ = (current_ + 1) % blocks_.size();
    worker_->WaitFor(tickets_[current_]);
    blocks_[current_].clear();
  }

  WindowCounter counter_;
  util::Worker *worker_;
  std::vector<std::vector<WordId>> blocks_;
  std::vector<uint64_t> tickets_;
  std::size_t current_ = 0;
};

void Refuse(const LineSource &text, const char *what) {
  UTIL_THROW(BadTextException, text.Name() << " line " << text.LineNumber() << ": " << what);
}

}  // namespace

void CountText(LineSource &text, Vocabulary &vocab, NGramCounter &counter, EstimateResult &result,
               std::ostream *progress, util::Worker *worker) {
  const uint64_t total = text.TotalBytes();
  util::ErsatzProgress bar(total == util::kBadSize ? 0 : total, total == util::kBadSize ? nullptr : progress,
                           "Counting n-grams");
  Blocks blocks(counter, worker);
  StringPiece line;
  while (text.Next(line)) {
    if (std::memchr(line.data(), 0, line.size())) Refuse(text, "the text holds a NUL byte");
    util::TokenIter<util::BoolCharacter, true> word(line, util::BoolCharacter(util::kSpaces));
    if (!word) continue;
    for (; word; ++word) {
      const WordId id = vocab.Index(*word);
      if (id == kBeginSentence || id == kEndSentence) Refuse(text, "<s> and </s> may not appear in the text");
      blocks.Add(id);
      ++result.tokens;
    }
    blocks.Add(kEndSentence);
    ++result.lines;
    bar.MoveTo(text.BytesDone());
  }
  blocks.Finish();
}

}  // namespace estimate
}  // namespace lm
