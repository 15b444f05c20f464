// CountText: the counting stage.  Reads every line of the text, numbers its
// words in the Vocabulary and counts, for every position i >= 1 of the
// padded line <s> w1 ... wk </s>, the window of the model's order ending at
// i (left-padded with kNoWord), in an NGramCounter.
//
// A line holding <s> or </s> as a word, or a NUL byte, throws
// BadTextException naming the source's file and line.  With a worker, the calling thread reads and numbers the
// words into blocks that the worker counts, a few blocks ahead at most.
#ifndef LM_ESTIMATE_COUNT_TEXT_H
#define LM_ESTIMATE_COUNT_TEXT_H

#include "lm/estimate/counter.hh"
#include "lm/estimate/estimate.hh"
#include "lm/estimate/line_source.hh"
#include "lm/estimate/vocabulary.hh"
#include "util/exception.hh"
#include "util/worker.hh"

#include <iosfwd>

namespace lm {
namespace estimate {

class BadTextException : public util::Exception {
 public:
  BadTextException() noexcept {}
  ~BadTextException() noexcept override {}
};

// Fills result.lines and result.tokens; `progress` (null: none) receives
// the progress bar.
void CountText(LineSource &text, Vocabulary &vocab, NGramCounter &counter, EstimateResult &result,
               std::ostream *progress, util::Worker *worker);

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_COUNT_TEXT_H
