#include "util/worker.hh"

namespace util {

Worker::Worker() : thread_(&Worker::Run, this) {}

Worker::~Worker() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // What is still queued belongs to a pipeline that is being abandoned.
    jobs_.clear();
    stopping_ = true;
  }
  queued_.notify_one();
  thread_.join();
}

uint64_t Worker::Submit(std::function<void()> job) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    RethrowLocked();
    jobs_.push_back(std::move(job));
    ++submitted_;
  }
  queued_.notify_one();
  return submitted_;
}

void Worker::WaitFor(uint64_t ticket) {
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this, ticket] { return done_ >= ticket; });
  RethrowLocked();
}

void Worker::RethrowLocked() {
  if (error_) std::rethrow_exception(error_);
}

void Worker::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    queued_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    if (!error_) {
      lock.unlock();
      try {
        job();
      } catch (...) {
        lock.lock();
        error_ = std::current_exception();
        lock.unlock();
      }
      lock.lock();
    }
    ++done_;
    finished_.notify_all();
  }
}

}  // namespace util
