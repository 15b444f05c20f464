#include "util/mmap.hh"

#include "util/exception.hh"
#include "util/file.hh"
#include "util/text_match_for_test.hh"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

// Failed huge allocations must come back as null, also under AddressSanitizer.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace util {
namespace {

constexpr std::size_t kHuge = std::size_t(1) << 62;

// Whether the page holding `addr` is mapped (msync reports ENOMEM otherwise).
bool Mapped(const void *addr) {
  uintptr_t page = reinterpret_cast<uintptr_t>(addr) & ~(SizePage() - 1);
  return msync(reinterpret_cast<void *>(page), SizePage(), MS_ASYNC) == 0;
}

void *MapAnonymous(std::size_t size) {
  void *ret = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  EXPECT_NE(MAP_FAILED, ret);
  return ret;
}

// An unlinked temporary file of three pages and a bit, with varied bytes.
class MapFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_.reset(MakeTemp("/tmp/quarn_mmap_test."));
    contents_.resize(3 * SizePage() + 123);
    for (std::size_t i = 0; i < contents_.size(); ++i) contents_[i] = static_cast<char>(i * 7 + i / 251);
    WriteOrThrow(file_.get(), contents_.data(), contents_.size());
  }

  scoped_fd file_;
  std::string contents_;
};

TEST_F(MapFileTest, EveryLoadMethodGivesTheSameBytes) {
  const uint64_t offset = SizePage();
  const std::size_t size = 2 * SizePage() + 100;
  struct Case {
    LoadMethod method;
    scoped_memory::Alloc kind;
  } cases[] = {
      {LAZY, scoped_memory::MAP_EXACT},
      {POPULATE_OR_LAZY, scoped_memory::MAP_EXACT},
      {POPULATE_OR_READ, scoped_memory::HEAP_BLOCK},
      {READ, scoped_memory::HEAP_BLOCK},
  };
  scoped_memory out;
  for (const Case &c : cases) {
    SeekOrThrow(file_.get(), 5);
    // `out` still holds the previous case's region, which must be released.
    MapRead(c.method, file_.get(), offset, size, out);
    EXPECT_EQ(c.kind, out.source()) << c.method;
    ASSERT_EQ(size, out.size());
    EXPECT_EQ(out.begin() + size, out.end());
    EXPECT_EQ(0, std::memcmp(out.begin(), contents_.data() + offset, size)) << c.method;
  }
}

TEST_F(MapFileTest, ReadAtUnalignedOffset) {
  scoped_memory out;
  MapRead(READ, file_.get(), 17, 1000, out);
  EXPECT_EQ(0, std::memcmp(out.begin(), contents_.data() + 17, 1000));
}

TEST_F(MapFileTest, ReadPastEndThrows) {
  scoped_memory out;
  EXPECT_THROW(MapRead(READ, file_.get(), 0, contents_.size() + 1, out), EndOfFileException);
}

TEST_F(MapFileTest, RefusedMethodsLeaveOutIntact) {
  scoped_memory out;
  HugeMalloc(10, false, out);
  std::memcpy(out.get(), "untouched", 10);
  void *before = out.get();
  struct Case {
    LoadMethod method;
    std::string ending;
  } cases[] = {
      {PARALLEL_READ, " threw Exception.\nParallel read was removed from this repo."},
      {static_cast<LoadMethod>(5), " threw Exception.\nUnknown load method 5"},
      {static_cast<LoadMethod>(4294967295u), " threw Exception.\nUnknown load method 4294967295"},
  };
  for (const Case &c : cases) {
    try {
      MapRead(c.method, file_.get(), 0, 100, out);
      ADD_FAILURE() << c.ending;
    } catch (const Exception &e) {
      EXPECT_TRUE(EndsWith(e.what(), c.ending)) << e.what();
      EXPECT_EQ(0u, std::string(e.what()).find("util/mmap:")) << e.what();
    }
    EXPECT_EQ(before, out.get());
    EXPECT_EQ(10u, out.size());
    EXPECT_EQ(scoped_memory::HEAP_BLOCK, out.source());
    EXPECT_STREQ("untouched", out.begin());
  }
}

TEST_F(MapFileTest, MapZeroedWriteClearsAndSharesWithFile) {
  char *data = static_cast<char *>(MapZeroedWrite(file_.get(), 3000));
  {
    scoped_memory region;
    region.reset(data, 3000, scoped_memory::MAP_EXACT);
    EXPECT_EQ(3000u, SizeFile(file_.get()));
    EXPECT_EQ(std::string(3000, '\0'), std::string(data, 3000));
    data[2999] = 'z';
  }
  char last;
  ErsatzPRead(file_.get(), &last, 1, 2999);
  EXPECT_EQ('z', last);
}

TEST(MapZeroedWrite, CreatesNamedFile) {
  char dir[] = "/tmp/quarn_mmap_test.XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::string name = std::string(dir) + "/zeroed";
  {
    scoped_fd file;
    scoped_memory region;
    region.reset(MapZeroedWrite(name.c_str(), 5000, file), 5000, scoped_memory::MAP_EXACT);
    EXPECT_EQ(name, NameFromFD(file.get()));
    EXPECT_EQ(5000u, SizeFile(file.get()));
    EXPECT_EQ(std::string(5000, '\0'), std::string(region.begin(), 5000));
  }
  unlink(name.c_str());
  rmdir(dir);
}

TEST(MapOrThrow, FailureText) {
  try {
    MapOrThrow(4096, false, kFileFlags, false, -1, 8192);
    FAIL();
  } catch (const ErrnoException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "because `(ret = mmap(__null, size, protect, flags, fd, offset)) == ((void *)-1)'.\n"))
        << text;
    EXPECT_TRUE(EndsWith(text, "Bad file descriptor mmap failed for size 4096 at offset 8192")) << text;
  }
}

TEST(SyncAndUnmap, FailureTexts) {
  char *page = static_cast<char *>(MapAnonymous(SizePage()));
  SyncOrThrow(page + 1, 0);
  try {
    SyncOrThrow(page + 1, 10);
    FAIL();
  } catch (const ErrnoException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "because `length && msync(start, length, 0x0000)'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "Invalid argument Failed to sync mmap")) << text;
  }
  try {
    UnmapOrThrow(page + 1, 10);
    FAIL();
  } catch (const ErrnoException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "because `munmap(start, length)'.\n")) << text;
    char pointer[32];
    std::snprintf(pointer, sizeof(pointer), "%p", static_cast<void *>(page + 1));
    EXPECT_TRUE(EndsWith(text, std::string("munmap failed with ") + pointer + " for length 10")) << text;
  }
  UnmapOrThrow(page, SizePage());
  EXPECT_FALSE(Mapped(page));
}

TEST(ScopedMmapDeathTest, FailedReleaseAborts) {
  char *page = static_cast<char *>(MapAnonymous(SizePage()));
  EXPECT_DEATH({ scoped_mmap bad(page + 1, 10); }, "Failed to sync mmap");
  UnmapOrThrow(page, SizePage());
}

TEST(ScopedMemory, RoundedKindsUnmapWholeUnits) {
  const std::size_t kPage = SizePage();
  struct Case {
    scoped_memory::Alloc kind;
    std::size_t unit;
  } cases[] = {
      {scoped_memory::MAP_ROUNDED_PAGE, kPage},
      {scoped_memory::MAP_ROUNDED_2M, std::size_t(1) << 21},
      {scoped_memory::MAP_ROUNDED_1G, std::size_t(1) << 30},
  };
  for (const Case &c : cases) {
    // Holding one and a half units releases two.
    char *base = static_cast<char *>(MapAnonymous(2 * c.unit));
    {
      scoped_memory region;
      region.reset(base, c.unit + c.unit / 2, c.kind);
      EXPECT_EQ(c.kind, region.source());
    }
    EXPECT_FALSE(Mapped(base)) << c.kind;
    EXPECT_FALSE(Mapped(base + 2 * c.unit - 1)) << c.kind;
  }
}

TEST(ScopedMemory, ExactAndUnownedKinds) {
  const std::size_t kPage = SizePage();
  char *base = static_cast<char *>(MapAnonymous(2 * kPage));
  {
    scoped_memory region;
    region.reset(base, kPage, scoped_memory::MAP_EXACT);
  }
  EXPECT_FALSE(Mapped(base));
  EXPECT_TRUE(Mapped(base + kPage));
  {
    scoped_memory view;
    view.reset(base + kPage, kPage, scoped_memory::NOT_OWNED);
  }
  EXPECT_TRUE(Mapped(base + kPage));
  UnmapOrThrow(base + kPage, kPage);
}

TEST(ScopedMemory, DefaultAndSizedConstruction) {
  scoped_memory empty;
  EXPECT_EQ(nullptr, empty.get());
  EXPECT_EQ(0u, empty.size());
  EXPECT_EQ(scoped_memory::NOT_OWNED, empty.source());

  scoped_memory zeroed(1000, true);
  EXPECT_EQ(scoped_memory::HEAP_BLOCK, zeroed.source());
  EXPECT_EQ(std::string(1000, '\0'), std::string(zeroed.begin(), 1000));

  void *block = zeroed.steal();
  EXPECT_EQ(scoped_memory::NOT_OWNED, zeroed.source());
  EXPECT_EQ(nullptr, zeroed.get());
  std::free(block);
}

TEST(HugeMalloc, ReleasesOldAndRecordsHeapBlock) {
  scoped_memory mem;
  HugeMalloc(100, false, mem);
  std::memset(mem.get(), 0xff, 100);
  HugeMalloc(4096, true, mem);
  EXPECT_EQ(4096u, mem.size());
  EXPECT_EQ(scoped_memory::HEAP_BLOCK, mem.source());
  EXPECT_EQ(std::string(4096, '\0'), std::string(mem.begin(), 4096));
}

TEST(HugeMalloc, FailureLeavesNullBlockOfRequestedSize) {
  for (bool zero : {false, true}) {
    scoped_memory mem(10, false);
    try {
      HugeMalloc(kHuge, zero, mem);
      FAIL();
    } catch (const ErrnoException &e) {
      std::string text = e.what();
      EXPECT_TRUE(Contains(text, "because `!to.get()'.\n")) << text;
      EXPECT_TRUE(EndsWith(text, "Failed to allocate " + std::to_string(kHuge) + " bytes")) << text;
    }
    EXPECT_EQ(nullptr, mem.get());
    EXPECT_EQ(kHuge, mem.size());
    EXPECT_EQ(scoped_memory::HEAP_BLOCK, mem.source());
  }
}

TEST(HugeRealloc, GrowsWithZeroFillAndShrinks) {
  scoped_memory mem;
  HugeRealloc(100, false, mem);
  EXPECT_EQ(scoped_memory::HEAP_BLOCK, mem.source());
  std::string pattern(100, '\0');
  for (std::size_t i = 0; i < 100; ++i) pattern[i] = static_cast<char>(i + 1);
  std::memcpy(mem.get(), pattern.data(), 100);

  HugeRealloc(200, true, mem);
  ASSERT_EQ(200u, mem.size());
  EXPECT_EQ(scoped_memory::HEAP_BLOCK, mem.source());
  EXPECT_EQ(pattern, std::string(mem.begin(), 100));
  EXPECT_EQ(std::string(100, '\0'), std::string(mem.begin() + 100, 100));

  HugeRealloc(50, true, mem);
  ASSERT_EQ(50u, mem.size());
  EXPECT_EQ(pattern.substr(0, 50), std::string(mem.begin(), 50));

  HugeRealloc(0, true, mem);
  EXPECT_EQ(nullptr, mem.get());
  EXPECT_EQ(0u, mem.size());
  EXPECT_EQ(scoped_memory::NOT_OWNED, mem.source());
}

TEST(HugeRealloc, FailureKeepsOldBlock) {
  scoped_memory mem;
  HugeRealloc(10, true, mem);
  void *before = mem.get();
  try {
    HugeRealloc(kHuge, true, mem);
    FAIL();
  } catch (const ErrnoException &e) {
    std::string text = e.what();
    EXPECT_TRUE(Contains(text, "because `!new_addr'.\n")) << text;
    EXPECT_TRUE(EndsWith(text, "realloc to " + std::to_string(kHuge) + " bytes failed.")) << text;
  }
  EXPECT_EQ(before, mem.get());
  EXPECT_EQ(10u, mem.size());
  EXPECT_EQ(scoped_memory::HEAP_BLOCK, mem.source());
}

TEST(HugeRealloc, RefusesMappings) {
  char *base = static_cast<char *>(MapAnonymous(SizePage()));
  scoped_memory mem;
  mem.reset(base, SizePage(), scoped_memory::MAP_EXACT);
  try {
    HugeRealloc(2 * SizePage(), false, mem);
    FAIL();
  } catch (const Exception &e) {
    EXPECT_TRUE(EndsWith(e.what(), " threw Exception.\nHugeRealloc called with type 3")) << e.what();
  }
  EXPECT_EQ(base, mem.get());
  EXPECT_EQ(SizePage(), mem.size());
  EXPECT_EQ(scoped_memory::MAP_EXACT, mem.source());
}

TEST(SizePage, MatchesSystem) { EXPECT_EQ(static_cast<uint64_t>(sysconf(_SC_PAGESIZE)), SizePage()); }

// Carves `size` bytes and checks whether they follow the previous piece.
class PoolProbe {
 public:
  bool CarveAdjacent(std::size_t size) {
    char *piece = static_cast<char *>(pool.Carve(size));
    std::memset(piece, 0x5a, size);
    bool adjacent = piece == next_;
    next_ = piece + size;
    return adjacent;
  }
  Pool pool;

 private:
  char *next_ = nullptr;
};

TEST(Pool, BlocksDoubleFrom32) {
  PoolProbe probe;
  EXPECT_FALSE(probe.CarveAdjacent(10));   // new block of 32
  EXPECT_TRUE(probe.CarveAdjacent(22));    // fills it exactly
  EXPECT_FALSE(probe.CarveAdjacent(30));   // new block of 64
  EXPECT_TRUE(probe.CarveAdjacent(34));    // fills it exactly
  EXPECT_FALSE(probe.CarveAdjacent(100));  // new block of max(100, 128)
  EXPECT_TRUE(probe.CarveAdjacent(28));    // fills it exactly
  EXPECT_FALSE(probe.CarveAdjacent(1));    // new block of 256
  EXPECT_FALSE(probe.CarveAdjacent(1000)); // new block of max(1000, 512)
  EXPECT_FALSE(probe.CarveAdjacent(1));    // 1000 filled it; new block of 1024

  probe.pool.FreeAll();
  EXPECT_FALSE(probe.CarveAdjacent(10));  // back to 32
  EXPECT_TRUE(probe.CarveAdjacent(22));
  EXPECT_FALSE(probe.CarveAdjacent(1));
}

TEST(Pool, PiecesKeepTheirBytes) {
  Pool pool;
  std::vector<std::pair<char *, std::string>> pieces;
  for (int i = 0; i < 200; ++i) {
    std::string text(static_cast<std::size_t>(i % 37 + 1), static_cast<char>('a' + i % 26));
    char *piece = static_cast<char *>(pool.Carve(text.size()));
    std::memcpy(piece, text.data(), text.size());
    pieces.emplace_back(piece, text);
  }
  for (const auto &[piece, text] : pieces) EXPECT_EQ(text, std::string(piece, text.size()));
}

}  // namespace
}  // namespace util
