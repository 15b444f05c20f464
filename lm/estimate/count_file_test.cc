// Count files and the estimate made from them.
//
// A text cut at line ends into k pieces (k = 1, 2, 3, 7, a piece per line,
// empty pieces at the front, middle and end, one-line pieces), each counted
// into a count file and the files merged, gives byte for byte the ARPA file
// of the text estimated in one piece, whose n-grams and values match the
// naive estimator's; the report sums the pieces' lines and tokens.  On the
// King James text the merge sorts in little memory.  Damaged, truncated,
// foreign, other-version and other-order files are refused with a message
// naming the file, and no output is left behind.
#include "lm/estimate/arpa_table_for_test.hh"
#include "lm/estimate/estimate.hh"
#include "lm/estimate/memory_lines_for_test.hh"
#include "lm/estimate/naive_estimate_for_test.hh"
#include "lm/estimate/sample_texts_for_test.hh"
#include "lm/estimate/text_source.hh"
#include "util/exception.hh"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace lm {
namespace estimate {
namespace {

const char kRealText[] = "data/kjv-genesis-exodus.txt";

std::string Contents(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream out;
  out << file.rdbuf();
  return out.str();
}

void Replace(const std::string &path, const std::string &contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << contents;
}

// A fresh directory, removed afterwards with all it holds.
class Directory {
 public:
  Directory() {
    std::string name = "/tmp/quarn_count_file_XXXXXX";
    if (!mkdtemp(name.data())) std::abort();
    directory_ = name;
  }
  ~Directory() { std::filesystem::remove_all(directory_); }

  std::string Path(const std::string &name) const { return (directory_ / name).string(); }
  std::size_t Entries() const {
    return std::distance(std::filesystem::directory_iterator(directory_), std::filesystem::directory_iterator());
  }

 private:
  std::filesystem::path directory_;
};

EstimateOptions Options(unsigned order) {
  EstimateOptions options;
  options.order = order;
  options.discount_fallback = true;
  options.show_progress = false;
  options.memory = 2 << 20;
  return options;
}

// A cut of `lines` lines into pieces: the number of lines of each.
typedef std::function<std::vector<std::size_t>(std::size_t lines)> Cut;

struct Sharding {
  std::string name;
  Cut cut;
};

std::vector<std::size_t> Even(std::size_t lines, std::size_t k) {
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < k; ++i) sizes.push_back(lines * (i + 1) / k - lines * i / k);
  return sizes;
}

const std::vector<Sharding> &Shardings() {
  static const std::vector<Sharding> shardings = {
      {"one piece", [](std::size_t n) { return Even(n, 1); }},
      {"two pieces", [](std::size_t n) { return Even(n, 2); }},
      {"three pieces", [](std::size_t n) { return Even(n, 3); }},
      {"seven pieces", [](std::size_t n) { return Even(n, 7); }},
      {"a piece per line", [](std::size_t n) { return std::vector<std::size_t>(n, 1); }},
      {"empty pieces around one-line pieces",
       [](std::size_t n) {
         return std::vector<std::size_t>{0, 1, 0, n - 3, 0, 0, 1, 1, 0};
       }},
  };
  return shardings;
}

// Counts each piece of `lines` into a count file of `directory`; the files
// in text order.
std::vector<std::string> CountPieces(const std::vector<std::string> &lines, const std::vector<std::size_t> &sizes,
                                     const EstimateOptions &options, const Directory &directory,
                                     EstimateResult &sum) {
  std::vector<std::string> paths;
  std::size_t begin = 0;
  for (std::size_t size : sizes) {
    MemoryLines piece(std::vector<std::string>(lines.begin() + begin, lines.begin() + begin + size));
    begin += size;
    paths.push_back(directory.Path("piece" + std::to_string(paths.size()) + ".counts"));
    const EstimateResult counted = CountOnly(piece, options, paths.back());
    EXPECT_TRUE(counted.orders.empty());
    sum.lines += counted.lines;
    sum.tokens += counted.tokens;
  }
  EXPECT_EQ(lines.size(), begin);
  return paths;
}

// Estimates `lines` whole and from every sharding; all must be the same
// bytes, the naive model's n-grams and values, and the same report.
void ExpectShardingsMatch(const std::vector<std::string> &lines, const EstimateOptions &options) {
  Directory directory;
  const std::string whole = directory.Path("whole.arpa");
  MemoryLines source(lines);
  const EstimateResult expected = Estimate(source, options, whole);
  const NaiveModel naive = NaiveEstimate(lines, options);
  EXPECT_EQ(naive.result.lines, expected.lines);
  EXPECT_TRUE(ArpaTablesMatch(naive.arpa, ReadArpaTableForTest(whole)));
  for (const Sharding &sharding : Shardings()) {
    SCOPED_TRACE(sharding.name);
    Directory pieces;
    EstimateResult counted;
    const std::vector<std::string> paths = CountPieces(lines, sharding.cut(lines.size()), options, pieces, counted);
    const std::string merged = pieces.Path("merged.arpa");
    const EstimateResult result = EstimateFromCounts(paths, options, merged);
    EXPECT_EQ(expected.lines, result.lines);
    EXPECT_EQ(expected.tokens, result.tokens);
    EXPECT_EQ(counted.lines, result.lines);
    EXPECT_EQ(counted.tokens, result.tokens);
    EXPECT_EQ(expected.vocabulary, result.vocabulary);
    ASSERT_EQ(expected.orders.size(), result.orders.size());
    for (std::size_t n = 0; n < expected.orders.size(); ++n) EXPECT_EQ(expected.orders[n].ngrams, result.orders[n].ngrams);
    EXPECT_TRUE(Contents(whole) == Contents(merged)) << "the merged model differs from the whole text's";
    EXPECT_TRUE(ArpaTablesMatch(naive.arpa, ReadArpaTableForTest(merged)));
  }
}

TEST(CountFile, ShardsMakeTheSameModel) {
  for (const SampleText &text : SampleTexts()) {
    if (text.lines.size() < 4) continue;
    for (unsigned order = 1; order <= 5; ++order) {
      SCOPED_TRACE(text.name + ", order " + std::to_string(order));
      ExpectShardingsMatch(text.lines, Options(order));
    }
  }
}

// The smallest text: a one-line piece and an empty one.
TEST(CountFile, TinyTextInPieces) {
  const std::vector<std::string> lines = {"a b", "a"};
  const EstimateOptions options = Options(3);
  Directory directory;
  MemoryLines source(lines);
  Estimate(source, options, directory.Path("whole.arpa"));
  EstimateResult counted;
  const std::vector<std::string> paths = CountPieces(lines, {1, 0, 1}, options, directory, counted);
  EstimateFromCounts(paths, options, directory.Path("merged.arpa"));
  EXPECT_EQ(Contents(directory.Path("whole.arpa")), Contents(directory.Path("merged.arpa")));
}

std::vector<std::string> RealLines() {
  FileLineSource source({kRealText});
  std::vector<std::string> lines;
  StringPiece line;
  while (source.Next(line)) lines.emplace_back(line.data(), line.size());
  return lines;
}

// Far less memory than the counts take: the counting, the merge of the
// count files and the later stages all spill and merge many runs.
TEST(CountFile, RealTextInLittleMemory) {
  const std::vector<std::string> lines = RealLines();
  ASSERT_GT(lines.size(), 2000u);
  EstimateOptions options = Options(5);
  Directory directory;
  MemoryLines source(lines);
  options.memory = 256 << 20;
  Estimate(source, options, directory.Path("whole.arpa"));
  options.memory = 1 << 20;
  for (std::size_t k : {2u, 5u}) {
    SCOPED_TRACE(std::to_string(k) + " pieces");
    EstimateResult counted;
    const std::vector<std::string> paths = CountPieces(lines, Even(lines.size(), k), options, directory, counted);
    EstimateFromCounts(paths, options, directory.Path("merged.arpa"));
    EXPECT_TRUE(Contents(directory.Path("whole.arpa")) == Contents(directory.Path("merged.arpa")));
  }
}

// Two good count files of order 3 (and one of order 2) to damage.
class CountFileRefusal : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<std::string> lines = RandomLines(200, 30, 5, true);
    EstimateResult counted;
    paths_ = CountPieces(lines, Even(lines.size(), 2), Options(3), directory_, counted);
    MemoryLines other(lines);
    paths_.push_back(directory_.Path("order2.counts"));
    CountOnly(other, Options(2), paths_.back());
  }

  // Estimating from the first two files (the first as `damaged`) fails with
  // a message holding the first file's name and `why`; no output remains.
  void ExpectRefused(const std::string &damaged, const std::string &why) {
    Replace(paths_[0], damaged);
    const std::size_t entries = directory_.Entries();
    try {
      EstimateFromCounts({paths_[1], paths_[0]}, Options(3), directory_.Path("model.arpa"));
      ADD_FAILURE() << "accepted a bad count file for: " << why;
    } catch (const util::Exception &e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find("the count file " + paths_[0] + " ")) << e.what();
      EXPECT_NE(std::string::npos, std::string(e.what()).find(why)) << e.what();
    }
    EXPECT_EQ(entries, directory_.Entries());
  }

  Directory directory_;
  std::vector<std::string> paths_;
};

TEST_F(CountFileRefusal, DamagedTruncatedAndForeign) {
  const std::string good = Contents(paths_[0]);
  // The header's fields at their documented offsets.
  auto field = [&good](std::size_t offset) {
    uint64_t value;
    std::memcpy(&value, good.data() + offset, sizeof(value));
    return value;
  };
  constexpr std::size_t kHeader = 64;
  ASSERT_EQ("QRNCOUNT", good.substr(0, 8));
  ASSERT_GT(field(32), 5u);   // words
  ASSERT_GT(field(48), 10u);  // records
  const std::size_t records_at = kHeader + field(40);
  // Order 3: three word identifiers, then the count at byte 16 of 24.
  ASSERT_EQ(good.size(), records_at + 24 * field(48));
  // A copy of the good file with the byte at `offset` changed.
  auto flipped = [&good](std::size_t offset) {
    std::string bad = good;
    bad[offset] ^= 0x10;
    return bad;
  };
  struct Case {
    std::string what, bytes, why;
  };
  const std::vector<Case> cases = {
      {"empty", "", "is truncated"},
      {"half a header", good.substr(0, 30), "is truncated"},
      {"without its last record", good.substr(0, good.size() - 16), "is truncated"},
      {"cut in the vocabulary", good.substr(0, kHeader + 8), "is truncated or damaged"},
      {"a byte more", good + '\0', "is damaged"},
      {"a text file", "the cat sat on the mat and more words to fill a header's sixty-four bytes or so\n",
       "wrong magic"},
      {"another version", flipped(8), "has format version 17; this program reads version 1"},
      {"a flipped line count", flipped(16), "checksum"},
      {"a flipped word", flipped(kHeader + 1), "checksum"},
      {"a flipped count", flipped(records_at + 16), "checksum"},
      {"a word beyond the vocabulary", flipped(records_at + 3), "names word"},
  };
  for (const Case &bad : cases) {
    SCOPED_TRACE(bad.what);
    ExpectRefused(bad.bytes, bad.why);
  }
}

TEST_F(CountFileRefusal, AnotherOrder) {
  try {
    EstimateFromCounts({paths_[0], paths_[2]}, Options(3), directory_.Path("model.arpa"));
    ADD_FAILURE() << "merged count files of orders 3 and 2";
  } catch (const util::Exception &e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("the count file " + paths_[2] + " has order 2, but " +
                                                             paths_[0] + " has order 3"))
        << e.what();
  }
}

TEST(CountFile, EmptyPiecesOnlyHoldNoWord) {
  Directory directory;
  EstimateResult counted;
  const std::vector<std::string> paths = CountPieces({"", "  "}, {1, 1}, Options(3), directory, counted);
  EXPECT_EQ(0u, counted.lines);
  try {
    EstimateFromCounts(paths, Options(3), directory.Path("model.arpa"));
    ADD_FAILURE() << "estimated from no word";
  } catch (const util::Exception &e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("the count files hold no word")) << e.what();
  }
  EXPECT_EQ(2u, directory.Entries());
}

}  // namespace
}  // namespace estimate
}  // namespace lm
