#include "util/worker.hh"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace util {
namespace {

TEST(Worker, RunsJobsInOrderAndWaitsForATicket) {
  Worker worker;
  // `ran` is read only once every job is over; `count` while they run.
  std::vector<int> ran;
  std::atomic<int> count{0};
  uint64_t third = 0;
  for (int i = 0; i < 5; ++i) {
    const uint64_t ticket = worker.Submit([&ran, &count, i] {
      ran.push_back(i);
      ++count;
    });
    if (i == 2) third = ticket;
  }
  worker.WaitFor(third);
  EXPECT_GE(count.load(), 3);
  worker.WaitAll();
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), ran);
}

TEST(Worker, FirstErrorSkipsLaterJobsAndIsRethrownEveryTime) {
  Worker worker;
  std::atomic<int> after{0};
  worker.Submit([] { throw std::runtime_error("first"); });
  worker.Submit([] { throw std::runtime_error("second"); });
  worker.Submit([&after] { ++after; });
  for (int i = 0; i < 2; ++i) {
    try {
      worker.WaitAll();
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error &e) {
      EXPECT_STREQ("first", e.what());
    }
  }
  EXPECT_THROW(worker.Submit([] {}), std::runtime_error);
  EXPECT_EQ(0, after.load());
}

TEST(Worker, DestructorReturnsWithJobsQueued) {
  std::atomic<int> ran{0};
  {
    Worker worker;
    for (int i = 0; i < 1000; ++i) worker.Submit([&ran] { ++ran; });
  }
  EXPECT_LE(ran.load(), 1000);
}

}  // namespace
}  // namespace util
