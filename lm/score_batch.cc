#include "lm/score_batch.hh"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace lm {
namespace base {
namespace {

// Sentences that one thread claims at a time: enough to keep every lane
// busy for a while, few enough that threads finish together.
constexpr std::size_t kChunk = 256;

// Hands out chunks of a batch to the threads that score it.
class ChunkQueue {
 public:
  ChunkQueue(const StringPiece *begin, const StringPiece *end) : begin_(begin), count_(end - begin), claimed_(0) {}

  std::size_t Chunks() const { return (count_ + kChunk - 1) / kChunk; }

  // Scores chunks until none is left.
  void Drain(const Model &model, const BatchOptions &options, float *scores) {
    for (std::size_t first; (first = claimed_.fetch_add(kChunk, std::memory_order_relaxed)) < count_;) {
      const std::size_t last = std::min(first + kChunk, count_);
      model.BaseScoreBatch(begin_ + first, begin_ + last, options, scores + first);
    }
  }

 private:
  const StringPiece *const begin_;
  const std::size_t count_;
  std::atomic<std::size_t> claimed_;
};

}  // namespace

unsigned BatchThreads(unsigned requested) {
  if (requested) return requested;
  return std::max(1u, std::thread::hardware_concurrency());
}

void ScoreBatch(const Model &model, const StringPiece *begin, const StringPiece *end, const BatchOptions &options,
                float *scores) {
  ChunkQueue queue(begin, end);
  const std::size_t threads = std::min<std::size_t>(BatchThreads(options.threads), queue.Chunks());
  // Declared after the queue, so that they are joined before it goes away,
  // also when starting one of them throws.
  std::vector<std::jthread> helpers;
  if (threads > 1) helpers.reserve(threads - 1);
  for (std::size_t i = 1; i < threads; ++i)
    helpers.emplace_back([&queue, &model, &options, scores] { queue.Drain(model, options, scores); });
  queue.Drain(model, options, scores);
}

}  // namespace base
}  // namespace lm
