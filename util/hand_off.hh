// HandOff<Block, Consume>: blocks filled on the calling thread and consumed
// in the order they were filled, on a util::Worker's thread or, without a
// worker, at once on the calling thread.
//
// The blocks form a fixed ring made once: with a worker there are
// `blocks` of them, so the filling thread runs at most `blocks` - 1 blocks
// ahead of the consumer; without one there is a single block.  Hand gives
// the current block to `consume` and makes the next block current, waiting
// until the consumer has released it; the next block is then handed in the
// state the consumer left it in (the consumer empties it).
//
// Errors keep the order of the work: Run(fill) calls fill(*this), and when
// fill throws, the block being filled is handed as it is (fill keeps in it
// only what it completed) and every block is waited for, so an error of the
// consumer on earlier work wins over the error of the filling side;
// otherwise fill's error passes on.  A consumer error reaches the calling
// thread at the next Hand or Finish (util::Worker keeps the first one and
// skips the blocks after it).  The destructor waits for the blocks still
// being consumed and discards their error: consume may refer to the blocks
// and to whatever the caller owns.
//
// A HandOff is driven by one thread; the worker must not run other jobs
// meanwhile.
#ifndef UTIL_HAND_OFF_H
#define UTIL_HAND_OFF_H

#include "util/worker.hh"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace util {

template <class Block, class Consume> class HandOff {
 public:
  // `make` returns one block; it is called once per block of the ring.
  template <class Make>
  HandOff(Worker *worker, std::size_t blocks, Make make, Consume consume)
      : worker_(worker), consume_(consume), tickets_(worker ? blocks : 1, 0) {
    blocks_.reserve(tickets_.size());
    for (std::size_t i = 0; i < tickets_.size(); ++i) blocks_.push_back(make());
  }

  ~HandOff() {
    if (!worker_) return;
    try {
      worker_->WaitAll();
    } catch (...) {
    }
  }

  HandOff(const HandOff &) = delete;
  HandOff &operator=(const HandOff &) = delete;

  Block &Current() { return blocks_[current_]; }

  void Hand() {
    Block *block = &blocks_[current_];
    if (!worker_) {
      consuming_ = true;
      consume_(*block);
      consuming_ = false;
      return;
    }
    tickets_[current_] = worker_->Submit([this, block] { consume_(*block); });
    current_ = (current_ + 1) % blocks_.size();
    worker_->WaitFor(tickets_[current_]);
  }

  // Waits until every block handed has been consumed.
  void Finish() {
    if (worker_) worker_->WaitAll();
  }

  // fill(*this), then Finish; see the header comment for errors.
  template <class Fill> void Run(Fill fill) {
    try {
      fill(*this);
    } catch (...) {
      HandAfterFailure();
      throw;
    }
    Finish();
  }

 private:
  // Hands the current block and waits for the consumer, unless the error
  // being handled is the consumer's; a consumer error then replaces it.
  void HandAfterFailure() {
    if (!worker_) {
      if (!consuming_) consume_(Current());
      return;
    }
    // After a consumer error the worker refuses the block and rethrows.
    Block *block = &blocks_[current_];
    worker_->Submit([this, block] { consume_(*block); });
    worker_->WaitAll();
  }

  Worker *const worker_;
  Consume consume_;
  std::vector<Block> blocks_;
  std::vector<uint64_t> tickets_;
  std::size_t current_ = 0;
  // Without a worker: whether consume is running (or threw).
  bool consuming_ = false;
};

}  // namespace util

#endif  // UTIL_HAND_OFF_H
