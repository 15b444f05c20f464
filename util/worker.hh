// Worker: one background thread that runs jobs in the order they come.
//
// Submit queues a job and returns its ticket; WaitFor(ticket) returns once
// that job and every earlier one have run.  The first exception a job
// throws is kept, the jobs after it are skipped, and WaitFor and Submit
// rethrow it (every time) on the submitting thread.  The destructor drops
// the jobs not yet started, waits for the one running (discarding its error)
// and ends the thread.  A worker is driven by one thread.
#ifndef UTIL_WORKER_H
#define UTIL_WORKER_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace util {

class Worker {
 public:
  Worker();
  ~Worker();
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  uint64_t Submit(std::function<void()> job);
  void WaitFor(uint64_t ticket);
  // Waits for every job submitted.
  void WaitAll() { WaitFor(submitted_); }

 private:
  void Run();
  // With the lock held: rethrows a job's error.
  void RethrowLocked();

  std::mutex mutex_;
  std::condition_variable queued_, finished_;
  std::deque<std::function<void()>> jobs_;
  uint64_t submitted_ = 0, done_ = 0;
  std::exception_ptr error_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace util

#endif  // UTIL_WORKER_H
