#include "util/sized_iterator.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace util {
namespace {

// Orders records of `size` bytes by all their bytes.
class ByteCompare {
 public:
  explicit ByteCompare(std::size_t size) : size_(size) {}
  bool operator()(const void *first, const void *second) const { return std::memcmp(first, second, size_) < 0; }

 private:
  std::size_t size_;
};

// `count` records of `size` random bytes drawn from a small alphabet, so that
// many records share long prefixes and some are equal.
std::string RandomRecords(std::size_t count, std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> byte(0, 2);
  std::string ret(count * size, '\0');
  for (char &c : ret) c = static_cast<char>(byte(generator));
  return ret;
}

std::vector<std::string> Split(const std::string &records, std::size_t size) {
  std::vector<std::string> ret;
  for (std::size_t i = 0; i < records.size(); i += size) ret.push_back(records.substr(i, size));
  return ret;
}

class SizedSortTest : public testing::TestWithParam<std::size_t> {};

// The block sizes, the proxy path (36, 44) and a record too large for
// SizedValue's inline room (100).
INSTANTIATE_TEST_SUITE_P(Sizes, SizedSortTest, testing::Values(4, 8, 12, 16, 17, 20, 24, 28, 32, 36, 44, 100));

TEST_P(SizedSortTest, SortsLikeAReferenceSort) {
  const std::size_t size = GetParam();
  for (std::size_t count : {0u, 1u, 2u, 15u, 1000u}) {
    std::string records = RandomRecords(count, size, static_cast<unsigned>(size * 1000 + count));
    std::vector<std::string> expected = Split(records, size);
    std::sort(expected.begin(), expected.end());

    SizedSort(records.data(), records.data() + records.size(), size, ByteCompare(size));
    EXPECT_EQ(expected, Split(records, size)) << count << " records";
  }
}

struct ViewCase {
  std::size_t stride;
  std::size_t offset;
  std::size_t size;
};

class PartialViewTest : public testing::TestWithParam<ViewCase> {};

INSTANTIATE_TEST_SUITE_P(Views, PartialViewTest,
                         testing::Values(ViewCase{12, 4, 8}, ViewCase{28, 4, 16}, ViewCase{13, 1, 5},
                                         ViewCase{20, 0, 4}, ViewCase{90, 10, 70}));

TEST_P(PartialViewTest, MovesOnlyTheViewedBytes) {
  const ViewCase view = GetParam();
  const std::size_t count = 500;
  std::string records = RandomRecords(count, view.stride, static_cast<unsigned>(view.stride));
  const std::string original = records;

  std::vector<std::string> expected;
  for (std::size_t i = 0; i < count; ++i) expected.push_back(records.substr(i * view.stride + view.offset, view.size));
  std::sort(expected.begin(), expected.end());

  ProxySort(PartialViewProxy(records.data() + view.offset, view.size, view.stride), count, ByteCompare(view.size));

  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t start = i * view.stride;
    ASSERT_EQ(expected[i], records.substr(start + view.offset, view.size)) << "element " << i;
    ASSERT_EQ(original.substr(start, view.offset), records.substr(start, view.offset)) << "record " << i;
    const std::size_t after = view.offset + view.size;
    ASSERT_EQ(original.substr(start + after, view.stride - after), records.substr(start + after, view.stride - after))
        << "record " << i;
  }
}

}  // namespace
}  // namespace util
