#include "lm/estimate/text_source.hh"

#include "util/compress_for_test.hh"
#include "util/exception.hh"
#include "util/file.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace lm {
namespace estimate {
namespace {

struct Line {
  std::string name;
  uint64_t number;
  std::string text;
  bool operator==(const Line &other) const = default;
};

std::vector<Line> ReadAll(LineSource &source) {
  std::vector<Line> lines;
  StringPiece line;
  while (source.Next(line)) lines.push_back({source.Name(), source.LineNumber(), std::string(line.data(), line.size())});
  return lines;
}

// Lines of `content` split independently of the reader: at every '\n', the
// last one only when it is not empty.
std::vector<Line> Split(const std::string &name, const std::string &content) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    lines.push_back({name, lines.size() + 1, content.substr(start, end - start)});
    start = end + 1;
  }
  return lines;
}

std::string RandomText(std::size_t bytes, unsigned seed) {
  std::mt19937 rng(seed);
  std::string text;
  while (text.size() < bytes) {
    // Mostly short lines, now and then a long one or an empty one.
    std::size_t length = rng() % 16 ? rng() % 80 : rng() % 20000;
    for (std::size_t i = 0; i < length; ++i) text += "abc \r\t"[rng() % 6];
    text += '\n';
  }
  return text;
}

template <class Expect> void ExpectThrowsWith(Expect &&expect, std::vector<std::string> fragments) {
  try {
    expect();
    ADD_FAILURE() << "no exception";
  } catch (const util::Exception &e) {
    for (const std::string &fragment : fragments)
      EXPECT_NE(std::string::npos, std::string(e.what()).find(fragment)) << e.what() << "\nlacks " << fragment;
  }
}

TEST(FileLineSource, SplitsAtNewlinesOnly) {
  // A last line without '\n' counts, empty lines are lines, '\r' stays.
  util::TempFileForTest file("a b\nc\r\n\n \t\nlast");
  FileLineSource source({file.Name()});
  std::string name = file.Name();
  std::vector<Line> expected = {{name, 1, "a b"}, {name, 2, "c\r"}, {name, 3, ""}, {name, 4, " \t"}, {name, 5, "last"}};
  EXPECT_EQ(expected, ReadAll(source));
  StringPiece line;
  EXPECT_FALSE(source.Next(line));
}

TEST(FileLineSource, FilesFollowEachOtherInEveryFormat) {
  // Large enough to cross many reads, with lines longer than a read now and then.
  const std::string texts[] = {RandomText(3 << 20, 1), RandomText(100000, 2), "", "one\n", RandomText(2 << 20, 3)};
  std::string (*encoders[])(const std::string &) = {util::GzipForTest, util::Bzip2ForTest, util::XzForTest};
  std::vector<std::unique_ptr<util::TempFileForTest>> files;
  std::vector<std::string> paths;
  std::vector<Line> expected;
  uint64_t raw_bytes = 0;
  for (std::size_t i = 0; i < std::size(texts); ++i) {
    std::string content = i % 2 ? texts[i] : encoders[i % 3](texts[i]);
    raw_bytes += content.size();
    files.push_back(std::make_unique<util::TempFileForTest>(content));
    paths.push_back(files.back()->Name());
    for (const Line &line : Split(paths.back(), texts[i])) expected.push_back(line);
  }
  FileLineSource source(paths);
  EXPECT_EQ(raw_bytes, source.TotalBytes());
  EXPECT_EQ(0u, source.BytesDone());
  std::vector<Line> got = ReadAll(source);
  ASSERT_EQ(expected.size(), got.size());
  for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(expected[i], got[i]) << "line " << i;
  EXPECT_EQ(raw_bytes, source.BytesDone());
}

TEST(FileLineSource, ReadsStandardInput) {
  util::TempFileForTest file(util::GzipForTest("from\nstandard input\n"));
  util::scoped_fd saved(util::DupOrThrow(STDIN_FILENO));
  {
    util::scoped_fd text(util::OpenReadOrThrow(file.Name()));
    ASSERT_EQ(STDIN_FILENO, dup2(text.get(), STDIN_FILENO));
  }
  FileLineSource source({"-"});
  std::vector<Line> got = ReadAll(source);
  ASSERT_EQ(STDIN_FILENO, dup2(saved.get(), STDIN_FILENO));
  EXPECT_EQ((std::vector<Line>{{"standard input", 1, "from"}, {"standard input", 2, "standard input"}}), got);
  EXPECT_EQ(util::kBadSize, source.TotalBytes());
}

TEST(FileLineSource, RefusesALineAboveTheLimit) {
  struct Case {
    std::string content;
    std::size_t limit;
    uint64_t bad_line;
  };
  const Case cases[] = {
      {"12345\n123456\n", 5, 2},
      {"12345\n123456", 5, 2},                              // no '\n' at the end
      {"ab\n" + std::string(3 << 20, 'x') + "\n", 1 << 20, 2},  // longer than the buffer
      {std::string(3 << 20, 'x'), (3 << 20) - 1, 1},
  };
  for (const Case &c : cases) {
    util::TempFileForTest file(c.content);
    FileLineSource source({file.Name()}, c.limit);
    ExpectThrowsWith([&] { ReadAll(source); },
                     {file.Name(), " line " + std::to_string(c.bad_line) + " is longer than " + std::to_string(c.limit)});
  }
  // At the limit is fine, however the line falls across reads.
  const std::string line(5 << 20, 'y');
  util::TempFileForTest file("a\n" + line + "\nb");
  FileLineSource source({file.Name()}, line.size());
  std::vector<Line> got = ReadAll(source);
  ASSERT_EQ(3u, got.size());
  EXPECT_TRUE(got[1].text == line);
  EXPECT_EQ("b", got[2].text);
}

TEST(FileLineSource, RefusesMissingFilesAndDirectoriesAtOnce) {
  util::TempFileForTest file("fine\n");
  ExpectThrowsWith([&] { FileLineSource({file.Name(), "/nonexistent/corpus.txt"}); }, {"/nonexistent/corpus.txt"});
  ExpectThrowsWith([&] { FileLineSource({file.Name(), "/tmp"}); }, {"/tmp", "directory"});
}

TEST(FileLineSource, TruncatedCompressedTextThrowsNamingTheFile) {
  std::string compressed = util::XzForTest(RandomText(100000, 4));
  util::TempFileForTest file(compressed.substr(0, compressed.size() - 10));
  FileLineSource source({file.Name()});
  ExpectThrowsWith([&] { ReadAll(source); }, {file.Name(), "truncated"});
}

// Lines from a vector; "FAIL" makes the callback fail.
struct Lines {
  std::vector<std::string> lines;
  std::size_t next = 0;

  static int Next(void *context, const char **data, std::size_t *size) {
    Lines &self = *static_cast<Lines *>(context);
    if (self.next == self.lines.size()) return 0;
    const std::string &line = self.lines[self.next++];
    if (line == "FAIL") return -1;
    *data = line.data();
    *size = line.size();
    return 1;
  }
};

TEST(CallbackLineSource, HandsOverLinesWithoutOneNewline) {
  Lines lines{{"a b\n", "c", "", "d\n\n", "e\r\n"}};
  CallbackLineSource source(Lines::Next, &lines, "lines");
  std::vector<Line> expected = {{"lines", 1, "a b"}, {"lines", 2, "c"}, {"lines", 3, ""},
                                {"lines", 4, "d\n"}, {"lines", 5, "e\r"}};
  EXPECT_EQ(expected, ReadAll(source));
  EXPECT_EQ(11u, source.BytesDone());  // the bytes handed over
  EXPECT_EQ(util::kBadSize, source.TotalBytes());
}

TEST(CallbackLineSource, FailureAndLongLinesThrow) {
  Lines failing{{"a", "FAIL", "b"}};
  CallbackLineSource failing_source(Lines::Next, &failing, "iterable");
  StringPiece line;
  EXPECT_TRUE(failing_source.Next(line));
  EXPECT_THROW(failing_source.Next(line), LineCallbackException);

  Lines long_lines{{"1234\n", "12345"}};
  CallbackLineSource long_source(Lines::Next, &long_lines, "iterable", 4);
  ExpectThrowsWith([&] { ReadAll(long_source); }, {"iterable line 2 is longer than 4 bytes"});
}

}  // namespace
}  // namespace estimate
}  // namespace lm
