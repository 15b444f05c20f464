#include "util/huge_pages.hh"

#include "util/mmap.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace util {
namespace {

constexpr uintptr_t kHuge = uintptr_t(1) << 21;

TEST(HugePages, ParsesTheBracketedMode) {
  const struct {
    const char *text;
    HugePageMode mode;
  } kCases[] = {
      {"always [madvise] never\n", HugePageMode::MADVISE},
      {"[always] madvise never\n", HugePageMode::ALWAYS},
      {"always madvise [never]\n", HugePageMode::NEVER},
      {"always madvise never\n", HugePageMode::NEVER},
      {"", HugePageMode::NEVER},
      {"[sometimes] never", HugePageMode::NEVER},
      {"always [madvise", HugePageMode::NEVER},
  };
  for (const auto &c : kCases) EXPECT_EQ(c.mode, detail::ParseHugePageMode(c.text)) << c.text;
}

TEST(HugePages, InteriorIsTheWholeHugePagesInside) {
  const struct {
    uintptr_t start, size, interior_start, interior_size;
  } kCases[] = {
      {kHuge, kHuge, kHuge, kHuge},
      {kHuge, 3 * kHuge + 5, kHuge, 3 * kHuge},
      {kHuge + 1, 3 * kHuge, 2 * kHuge, 2 * kHuge},
      {kHuge + 1, kHuge, 0, 0},
      {kHuge - 16, 2 * kHuge, kHuge, kHuge},
      {kHuge, kHuge - 1, 0, 0},
      {0, 0, 0, 0},
      {~uintptr_t(0) - 10, 5, 0, 0},
  };
  for (const auto &c : kCases) {
    const detail::HugeInterior got = detail::HugePageInterior(reinterpret_cast<void *>(c.start), c.size);
    EXPECT_EQ(c.interior_start, reinterpret_cast<uintptr_t>(got.start)) << c.start << " " << c.size;
    EXPECT_EQ(c.interior_size, got.size) << c.start << " " << c.size;
  }
}

TEST(HugePages, AdviceOnAnyRangeIsQuiet) {
  char small[100];
  AdviseHugePages(nullptr, 0);
  AdviseHugePages(small, sizeof(small));
  // Memory that is not mapped: the kernel refuses, nothing is thrown.
  AdviseHugePages(reinterpret_cast<void *>(kHuge), 4 * kHuge);
}

// The AnonHugePages figure (kB) of the mapping of /proc/self/smaps holding
// `addr`, or -1 when no mapping holds it.
long AnonHugeKiB(const void *addr) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(addr);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    uintptr_t begin, end;
    char dash;
    std::istringstream range(line);
    if ((range >> std::hex >> begin >> dash >> end) && dash == '-') {
      inside = begin <= at && at < end;
      continue;
    }
    if (inside && line.rfind("AnonHugePages:", 0) == 0) return std::stol(line.substr(14));
  }
  return -1;
}

TEST(HugePages, LargeHeapBlockGetsHugePagesWhereTheKernelAllows) {
  if (SystemHugePageMode() == HugePageMode::NEVER || HugePagesTurnedOff())
    GTEST_SKIP() << "the kernel gives no transparent huge pages";
  constexpr std::size_t kSize = 64 << 20;
  scoped_memory block;
  HugeMalloc(kSize, true, block);
  std::memset(block.get(), 1, kSize);
  EXPECT_GT(AnonHugeKiB(block.begin() + kSize / 2), 0);
  for (std::size_t i = 0; i < kSize; i += 4096) ASSERT_EQ(1, block.begin()[i]);
}

}  // namespace
}  // namespace util
