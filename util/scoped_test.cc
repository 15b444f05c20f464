#include "util/scoped.hh"

#include "util/exception.hh"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

// Failed huge allocations must come back as null, also under AddressSanitizer.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace util {
namespace {

constexpr std::size_t kHuge = std::size_t(1) << 62;

TEST(MallocOrThrow, ZeroNeverThrows) { std::free(MallocOrThrow(0)); }

TEST(CallocOrThrow, Zeroes) {
  scoped_malloc block(CallocOrThrow(300));
  EXPECT_EQ(std::string(300, '\0'), std::string(static_cast<const char *>(block.get()), 300));
}

TEST(AllocationFailure, Texts) {
  struct Case {
    void *(*allocate)(std::size_t);
    const char *name;
  } cases[] = {{MallocOrThrow, "malloc"}, {CallocOrThrow, "calloc"}};
  for (const Case &c : cases) {
    try {
      std::free(c.allocate(kHuge));
      ADD_FAILURE() << c.name;
    } catch (const MallocException &e) {
      std::string text = e.what();
      EXPECT_EQ(0u, text.find("util/scoped:")) << text;
      EXPECT_NE(std::string::npos, text.find(" threw MallocException because `!addr && requested'.\n")) << text;
      std::string second_line = "Cannot allocate memory for " + std::to_string(kHuge) + " bytes in " + c.name;
      EXPECT_EQ(text.size() - second_line.size(), text.find(second_line)) << text;
      EXPECT_EQ(ENOMEM, e.Error());
    }
  }
}

TEST(ScopedMalloc, ReallocKeepsContents) {
  scoped_malloc block(MallocOrThrow(4));
  std::memcpy(block.get(), "abcd", 4);
  block.call_realloc(100000);
  EXPECT_EQ(0, std::memcmp(block.get(), "abcd", 4));
}

TEST(ScopedMalloc, FailedReallocKeepsOldBlock) {
  scoped_malloc block(MallocOrThrow(4));
  std::memcpy(block.get(), "abcd", 4);
  void *before = block.get();
  try {
    block.call_realloc(kHuge);
    FAIL();
  } catch (const MallocException &e) {
    std::string text = e.what();
    EXPECT_NE(std::string::npos, text.find("for " + std::to_string(kHuge) + " bytes in realloc")) << text;
  }
  EXPECT_EQ(before, block.get());
  EXPECT_EQ(0, std::memcmp(block.get(), "abcd", 4));
}

TEST(ScopedMalloc, ResetAndRelease) {
  scoped_malloc block(MallocOrThrow(8));
  block.reset(MallocOrThrow(16));
  void *kept = block.release();
  EXPECT_EQ(nullptr, block.get());
  std::free(kept);
}

}  // namespace
}  // namespace util
