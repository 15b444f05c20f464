#include "util/hand_off.hh"

#include "util/worker.hh"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace util {
namespace {

// Blocks of numbers; the consumer appends them to `seen` and fails on a
// chosen number.
struct Numbers {
  std::vector<int> values;
};

struct Record {
  std::vector<int> *seen;
  int fail_at;
  void operator()(Numbers &block) {
    for (int value : block.values) {
      if (value == fail_at) throw std::runtime_error("consumer at " + std::to_string(value));
      seen->push_back(value);
    }
    block.values.clear();
  }
};

// Fills blocks of `per_block` with 0 .. count - 1 and fails before
// `fail_at` (count: never).
struct Fill {
  int count, per_block, fail_at;
  void operator()(HandOff<Numbers, Record> &blocks) const {
    for (int i = 0; i < count; ++i) {
      if (i == fail_at) throw std::runtime_error("filler at " + std::to_string(i));
      blocks.Current().values.push_back(i);
      if (static_cast<int>(blocks.Current().values.size()) == per_block) blocks.Hand();
    }
    if (!blocks.Current().values.empty()) blocks.Hand();
  }
};

// What Run passes on: the error text (empty: none) and what was consumed.
struct Outcome {
  std::string error;
  std::vector<int> seen;
};

Outcome RunWith(bool threaded, int count, int fill_fails, int consume_fails) {
  const std::unique_ptr<Worker> worker(threaded ? new Worker() : nullptr);
  Outcome outcome;
  HandOff<Numbers, Record> blocks(worker.get(), 3, [] { return Numbers(); }, Record{&outcome.seen, consume_fails});
  try {
    blocks.Run(Fill{count, 7, fill_fails});
  } catch (const std::runtime_error &e) {
    outcome.error = e.what();
  }
  return outcome;
}

std::vector<int> Upto(int end) {
  std::vector<int> values;
  for (int i = 0; i < end; ++i) values.push_back(i);
  return values;
}

TEST(HandOff, ErrorsKeepTheOrderOfTheWork) {
  const int kCount = 100;
  struct Case {
    const char *name;
    int fill_fails, consume_fails;
    const char *error;
    int consumed;
  } cases[] = {
      {"NoError", kCount, -1, "", kCount},
      {"FillerFirstItem", 0, -1, "filler at 0", 0},
      {"FillerMidBlock", 53, -1, "filler at 53", 53},
      {"FillerAtBlockStart", 49, -1, "filler at 49", 49},
      {"FillerLastItem", kCount - 1, -1, "filler at 99", kCount - 1},
      {"ConsumerFirstItem", kCount, 0, "consumer at 0", 0},
      {"ConsumerMidBlock", kCount, 40, "consumer at 40", 40},
      {"ConsumerLastItem", kCount, kCount - 1, "consumer at 99", kCount - 1},
      {"ConsumerBeforeFiller", 60, 20, "consumer at 20", 20},
      {"ConsumerInTheFillersPartialBlock", 60, 57, "consumer at 57", 57},
      {"FillerBeforeConsumer", 20, 60, "filler at 20", 20},
  };
  for (const Case &c : cases) {
    for (bool threaded : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (threaded ? " threaded" : " inline"));
      const Outcome outcome = RunWith(threaded, kCount, c.fill_fails, c.consume_fails);
      EXPECT_EQ(c.error, outcome.error);
      EXPECT_EQ(Upto(c.consumed), outcome.seen);
    }
  }
}

TEST(HandOff, DestructorWaitsForBlocksBeingConsumed) {
  Worker worker;
  std::vector<int> seen;
  {
    HandOff<Numbers, Record> blocks(&worker, 2, [] { return Numbers(); }, Record{&seen, -1});
    for (int i = 0; i < 1000; ++i) {
      blocks.Current().values.push_back(i);
      blocks.Hand();
    }
  }
  worker.WaitAll();
  EXPECT_EQ(Upto(1000), seen);
}

}  // namespace
}  // namespace util
