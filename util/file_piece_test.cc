#include "util/file_piece.hh"

#include "util/exception.hh"
#include "util/file.hh"
#include "util/mmap.hh"
#include "util/progress.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace util {
namespace {

// minimum_buffer 1 gives the smallest window: two pages.
const std::size_t kWindow = 2 * SizePage();

typedef TempFileForTest TempFile;

enum class Source { MAPPED, PIPE, STREAM };

std::string SourceLabel(const testing::TestParamInfo<Source> &info) {
  switch (info.param) {
    case Source::MAPPED: return "Mapped";
    case Source::PIPE: return "Pipe";
    case Source::STREAM: return "Stream";
  }
  return "";
}

// A reader over `content` from a regular file, a pipe fed by a thread in
// uneven pieces, or a string stream; holds whatever keeps that input alive.
class Input {
 public:
  Input(Source source, const std::string &content, std::size_t minimum_buffer = 1,
        std::ostream *progress = nullptr) {
    switch (source) {
      case Source::MAPPED:
        file_.emplace(content);
        reader_.emplace(file_->Name(), progress, minimum_buffer);
        break;
      case Source::PIPE: {
        int fds[2];
        if (pipe(fds)) std::abort();
        writer_ = std::jthread(WritePipe, fds[1], content);
        reader_.emplace(fds[0], "pipe", progress, minimum_buffer);
        break;
      }
      case Source::STREAM:
        stream_.emplace(content);
        reader_.emplace(*stream_, nullptr, minimum_buffer);
        break;
    }
  }

  FilePiece &operator*() { return *reader_; }
  FilePiece *operator->() { return &*reader_; }
  std::string FileName() const { return file_->Name(); }

 private:
  // Writes in pieces of varying size so that reads end at odd places; stops
  // quietly when the reader has gone.
  static void WritePipe(int fd, std::string content) {
    std::signal(SIGPIPE, SIG_IGN);
    std::size_t piece = 1;
    for (std::size_t done = 0; done < content.size();) {
      ssize_t ret = write(fd, content.data() + done, std::min(piece, content.size() - done));
      if (ret < 0 && errno == EINTR) continue;
      if (ret <= 0) break;
      done += static_cast<std::size_t>(ret);
      piece = piece * 7 % 5003 + 1;
    }
    close(fd);
  }

  std::optional<TempFile> file_;
  std::optional<std::istringstream> stream_;
  std::jthread writer_;
  // Destroyed first: closing the read end releases a blocked writer.
  std::optional<FilePiece> reader_;
};

// Deterministic text: words of varying length separated by runs of blanks,
// lines ending in LF or CR LF, lines from empty to about 3 KB.
std::string MakeText(std::size_t size) {
  std::string text;
  uint64_t state = 12345;
  auto next = [&state](uint64_t bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state >> 33) % bound;
  };
  const char blanks[] = " \t\v\f";
  while (text.size() < size) {
    std::size_t words = next(8) ? next(12) : next(400);
    for (std::size_t w = 0; w < words; ++w) {
      if (w) text.append(1 + next(3), blanks[next(4)]);
      text.append(1 + next(9), static_cast<char>('a' + next(26)));
    }
    text += next(4) ? "\n" : "\r\n";
  }
  text.resize(size);
  return text;
}

// Lines as ReadLine('\n', true) must give them, computed independently.
std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) {
      lines.push_back(text.substr(begin));
      break;
    }
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    begin = end + 1;
  }
  return lines;
}

std::vector<std::string> SplitTokens(const std::string &text) {
  std::vector<std::string> tokens;
  const char *blanks = " \t\n\v\f\r";
  for (std::size_t begin = text.find_first_not_of(blanks); begin != std::string::npos;) {
    std::size_t end = text.find_first_of(blanks, begin);
    tokens.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    begin = text.find_first_not_of(blanks, end == std::string::npos ? text.size() : end);
  }
  return tokens;
}

void ExpectEndOfFile(FilePiece &reader) {
  try {
    reader.get();
    FAIL() << "expected the end of the input";
  } catch (const EndOfFileException &e) {
    EXPECT_STREQ("End of file", e.what());
  }
}

class FilePieceTest : public testing::TestWithParam<Source> {};

INSTANTIATE_TEST_SUITE_P(AllSources, FilePieceTest,
                         testing::Values(Source::MAPPED, Source::PIPE, Source::STREAM), SourceLabel);

TEST(FilePieceKSpacesTest, ExactlyTheSixBlanks) {
  for (int c = 0; c < 256; ++c) {
    bool blank = c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ' ';
    EXPECT_EQ(blank, kSpaces[c]) << c;
  }
}

TEST_P(FilePieceTest, LineEndings) {
  struct Case {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"a\r\nb", {"a", "b"}},
      {"a\r\nb\r", {"a", "b\r"}},  // no stripping without a newline
      {"one\ntwo\n", {"one", "two"}},
      {"\n\n", {"", ""}},
      {"\r\n", {""}},
      {"x\r\r\n", {"x\r"}},
      {"no newline at all", {"no newline at all"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Input input(GetParam(), c.text);
    for (const std::string &line : c.lines) EXPECT_EQ(line, input->ReadLine());
    StringPiece line;
    EXPECT_FALSE(input->ReadLineOrEOF(line));
    try {
      input->ReadLine();
      FAIL() << "ReadLine past the end";
    } catch (const EndOfFileException &e) {
      EXPECT_STREQ("End of file", e.what());
    }
  }
}

TEST_P(FilePieceTest, LinesAcrossWindows) {
  const std::string text = MakeText(20 * kWindow + 77);
  const std::vector<std::string> expected = SplitLines(text);
  Input input(GetParam(), text);
  std::size_t offset = 0;
  std::size_t count = 0;
  for (StringPiece line; input->ReadLineOrEOF(line); ++count) {
    ASSERT_LT(count, expected.size());
    ASSERT_EQ(expected[count], line.as_string()) << "line " << count;
    offset = text.find('\n', offset);
    offset = offset == std::string::npos ? text.size() : offset + 1;
    ASSERT_EQ(offset, input->ByteOffset()) << "line " << count;
  }
  EXPECT_EQ(expected.size(), count);
}

TEST_P(FilePieceTest, TokensAcrossWindows) {
  const std::string text = MakeText(20 * kWindow + 5);
  const std::vector<std::string> expected = SplitTokens(text);
  Input input(GetParam(), text);
  std::vector<std::string> tokens;
  try {
    while (true) {
      input->SkipDelimiters();
      tokens.push_back(input->ReadUntilDelimiter().as_string());
    }
  } catch (const EndOfFileException &) {
  }
  EXPECT_EQ(expected, tokens);
}

TEST_P(FilePieceTest, GetEveryByte) {
  const std::string full = MakeText(5 * kWindow + 123);
  for (std::size_t size : {std::size_t(1), kWindow - 1, kWindow, kWindow + 1, 2 * kWindow, full.size()}) {
    SCOPED_TRACE(size);
    const std::string text = full.substr(0, size);
    Input input(GetParam(), text);
    for (std::size_t i = 0; i < size; ++i) {
      ASSERT_EQ(i, input->ByteOffset());
      ASSERT_EQ(text[i], input->get()) << "byte " << i;
    }
    ExpectEndOfFile(*input);
  }
}

// The window doubles until the line (or the token) fits.
TEST_P(FilePieceTest, LineLongerThanWindow) {
  const std::string long_line(3 * kWindow + 17, 'x');
  const std::string text = "short\n" + long_line + "\nend";
  {
    Input input(GetParam(), text);
    EXPECT_EQ("short", input->ReadLine());
    EXPECT_EQ(long_line, input->ReadLine());
    EXPECT_EQ("end", input->ReadLine());
  }
  {
    Input input(GetParam(), text);
    EXPECT_EQ("short", input->ReadUntilDelimiter());
    input->SkipDelimiters();
    EXPECT_EQ(long_line, input->ReadUntilDelimiter());
    EXPECT_EQ('\n', input->get());
    EXPECT_EQ("end", input->ReadUntilDelimiter());
  }
}

TEST_P(FilePieceTest, LineIteratorWithNulDelimiter) {
  Input input(GetParam(), std::string("a\0bc\0\0d", 7));
  std::vector<std::string> lines;
  for (LineIterator it(*input, '\0'); it; ++it) lines.push_back(it->as_string());
  EXPECT_EQ((std::vector<std::string>{"a", "bc", "", "d"}), lines);
}

// Numbers of every length and form, separated by every kind of blank run,
// read across window or read boundaries; the last has no blank after it.
// The C library's correctly rounded conversions are the reference.
TEST_P(FilePieceTest, NumbersAcrossWindows) {
  std::string text;
  uint64_t state = 99;
  auto next = [&state](uint64_t bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (state >> 33) % bound;
  };
  const char *separators[] = {" ", "\t", "\n", "\r\n", "   ", "\t\n\v\f"};
  std::vector<std::string> tokens;
  while (text.size() < 6 * kWindow) {
    if (!tokens.empty()) text += separators[next(6)];
    char buf[64];
    double value = (static_cast<double>(next(2000000)) - 1000000.0) * std::pow(10.0, static_cast<int>(next(20)) - 12);
    std::snprintf(buf, sizeof(buf), "%.*g", static_cast<int>(1 + next(17)), value);
    tokens.push_back(buf);
    text += buf;
  }
  {
    Input input(GetParam(), text);
    for (std::size_t i = 0; i < tokens.size(); ++i)
      ASSERT_EQ(std::strtof(tokens[i].c_str(), nullptr), input->ReadFloat()) << tokens[i];
    EXPECT_THROW(input->ReadFloat(), EndOfFileException);
  }
  {
    Input input(GetParam(), text);
    for (std::size_t i = 0; i < tokens.size(); ++i)
      ASSERT_EQ(std::strtod(tokens[i].c_str(), nullptr), input->ReadDouble()) << tokens[i];
    EXPECT_THROW(input->ReadDouble(), EndOfFileException);
  }
}

TEST_P(FilePieceTest, IntegersAcrossWindows) {
  std::string text;
  std::vector<long> values;
  for (long i = 0; text.size() < 4 * kWindow; ++i) {
    long value = (i % 2 ? -1 : 1) * (i * i * i * 7919 % 1000000007) * (i % 5 ? 1 : 1000000000);
    values.push_back(value);
    text += std::to_string(value) + (i % 3 ? " " : "\n");
  }
  text.pop_back();
  {
    Input input(GetParam(), text);
    for (long value : values) ASSERT_EQ(value, input->ReadLong());
    EXPECT_THROW(input->ReadLong(), EndOfFileException);
  }
  {
    Input input(GetParam(), text);
    for (long value : values) ASSERT_EQ(static_cast<unsigned long>(value), input->ReadULong());
  }
}

enum class Kind { FLOAT, DOUBLE, LONG, ULONG };

double ReadAs(Kind kind, FilePiece &reader) {
  switch (kind) {
    case Kind::FLOAT: return reader.ReadFloat();
    case Kind::DOUBLE: return reader.ReadDouble();
    case Kind::LONG: return static_cast<double>(reader.ReadLong());
    case Kind::ULONG: return static_cast<double>(reader.ReadULong());
  }
  return 0.0;
}

TEST_P(FilePieceTest, NumberValues) {
  const double kInf = std::numeric_limits<double>::infinity();
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::string text;
    Kind kind;
    double value;
    std::optional<char> next;  // the byte left after the number, or none: the input is used up
  } cases[] = {
      {"1.5\t", Kind::FLOAT, 1.5, '\t'},
      {"1.5", Kind::FLOAT, 1.5, std::nullopt},
      {"1.5 \n", Kind::FLOAT, 1.5, std::nullopt},
      {"0x10 ", Kind::FLOAT, 0.0, 'x'},
      {"1.5x ", Kind::FLOAT, 1.5, 'x'},
      {" \n\t-2.25e1 ", Kind::DOUBLE, -22.5, ' '},
      {"0.1", Kind::DOUBLE, 0.1, std::nullopt},
      {"inf ", Kind::FLOAT, kInf, ' '},
      {"-inf\n", Kind::DOUBLE, -kInf, '\n'},
      {"NaN rest", Kind::FLOAT, kNaN, ' '},
      {"nan\tx", Kind::DOUBLE, kNaN, '\t'},
      {"nan", Kind::FLOAT, kNaN, std::nullopt},
      {"NaN", Kind::DOUBLE, kNaN, std::nullopt},
      {"-42 ", Kind::LONG, -42.0, ' '},
      {"9223372036854775807\n", Kind::LONG, 9223372036854775807.0, '\n'},
      {"10000000000000000000 ", Kind::ULONG, 1e19, ' '},
      {"18446744073709551615", Kind::ULONG, 18446744073709551615.0, std::nullopt},
      {"12345", Kind::LONG, 12345.0, std::nullopt},
      {"7.5 ", Kind::LONG, 7.0, '.'},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Input input(GetParam(), c.text);
    double value = ReadAs(c.kind, *input);
    if (std::isnan(c.value)) {
      EXPECT_TRUE(std::isnan(value));
    } else {
      EXPECT_EQ(c.value, value);
    }
    if (c.next) {
      EXPECT_EQ(*c.next, input->get());
    } else {
      EXPECT_THROW(ReadAs(c.kind, *input), EndOfFileException);
    }
  }
}

// Plain decimals, the numbers of ARPA files, are read without the converter
// when that is exact; the results must still be the correctly rounded values,
// with the C library's strtof and strtod as the truth, also at the limits of
// that shortcut (mantissas near 2^24 and 2^53, long fractions, zero signs).
TEST_P(FilePieceTest, DecimalsAreCorrectlyRounded) {
  std::vector<std::string> texts = {"0", "-0", "-0.0", "0.1", "-5.68582", "16777216", "16777217", "-16777217.0",
                                    "1.6777217", "0.000000001", "0.00000000001", "7.0000001", "9007199254740993",
                                    "900719925474099.3", "1234567890.123456789", "12345678901234567890",
                                    "0.1234567890123456789", "1e5", "-99"};
  std::mt19937_64 random(5);
  for (int i = 0; i < 2000; ++i) {
    std::string text = random() % 2 ? "-" : "";
    text += std::to_string(random() % 1000);
    if (random() % 8) {
      text += '.';
      text += std::to_string(random() % 100000000000ULL).substr(random() % 6);
    }
    texts.push_back(text);
  }
  std::string content;
  for (const std::string &text : texts) content += text + "\n";
  Input floats(GetParam(), content);
  Input doubles(GetParam(), content);
  for (const std::string &text : texts) {
    SCOPED_TRACE(text);
    EXPECT_EQ(std::bit_cast<uint32_t>(std::strtof(text.c_str(), nullptr)), std::bit_cast<uint32_t>(floats->ReadFloat()));
    EXPECT_EQ(std::bit_cast<uint64_t>(std::strtod(text.c_str(), nullptr)), std::bit_cast<uint64_t>(doubles->ReadDouble()));
  }
}

TEST_P(FilePieceTest, NumberErrors) {
  const std::string kFloatCondition = "because `CrossPlatformIsNaN(out) && str != \"NaN\" && str != \"nan\"'.\n";
  const std::string kIntegerCondition = "because `errno || (end == str.data())'.\n";
  struct Case {
    std::string text;
    Kind kind;
    std::string token;
  } cases[] = {
      {"abc def", Kind::FLOAT, "abc"},
      {"Inf x", Kind::FLOAT, "Inf"},
      {"NaNx ", Kind::FLOAT, "NaNx"},
      {"-nan ", Kind::DOUBLE, "-nan"},
      {"NAN\n", Kind::FLOAT, "NAN"},
      {"abc", Kind::DOUBLE, "abc"},
      {"nanx", Kind::DOUBLE, "nanx"},
      {"10000000000000000000 ", Kind::LONG, "10000000000000000000"},
      {"18446744073709551616\t", Kind::ULONG, "18446744073709551616"},
      {"- 5", Kind::LONG, "-"},
      {"x1", Kind::ULONG, "x1"},
  };
  const char *type_names[] = {"float", "double", "long int", "unsigned long int"};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Input input(GetParam(), c.text);
    try {
      ReadAs(c.kind, *input);
      ADD_FAILURE() << "accepted";
    } catch (const ParseNumberException &e) {
      std::string text = e.what();
      bool integer = c.kind == Kind::LONG || c.kind == Kind::ULONG;
      EXPECT_EQ(0u, text.find("util/file_piece:")) << text;
      EXPECT_NE(std::string::npos, text.find(integer ? kIntegerCondition : kFloatCondition)) << text;
      std::string message =
          "\nCould not parse \"" + c.token + "\" into a " + type_names[static_cast<int>(c.kind)];
      EXPECT_EQ(message, text.substr(text.find('\n'))) << text;
    }
    // A failed parse leaves the reader at the token.
    EXPECT_EQ(c.token, input->ReadUntilDelimiter());
  }
}

// A not-a-number token is accepted wherever a refill cuts it.
TEST_P(FilePieceTest, NaNAtTheWindowEnd) {
  for (const char *nan : {"nan", "NaN"}) {
    std::string text;
    while (text.size() < kWindow - 2) text += "1 ";
    std::size_t ones = text.size() / 2;
    text += nan + std::string(" 2");
    Input input(GetParam(), text);
    for (std::size_t i = 0; i < ones; ++i) ASSERT_EQ(1.0f, input->ReadFloat());
    EXPECT_TRUE(std::isnan(input->ReadFloat()));
    EXPECT_EQ(kWindow + 1, input->ByteOffset()) << "consumes exactly the three bytes";
    EXPECT_EQ(2.0f, input->ReadFloat());
  }
}

TEST(FilePieceMappedTest, ProgressBarCompletesAtTheEnd) {
  const std::string text = MakeText(10 * kWindow);
  std::ostringstream progress;
  Input input(Source::MAPPED, text, 1, &progress);
  const std::string heading = "Reading " + input.FileName() + "\n" + kProgressBanner;
  EXPECT_EQ(heading, progress.str());
  std::size_t lines = 0;
  for (LineIterator it(*input); it; ++it) ++lines;
  EXPECT_EQ(SplitLines(text).size(), lines);
  EXPECT_EQ(heading + std::string(100, '*') + "\n", progress.str());
}

TEST(FilePiecePipeTest, NoticeAndNoBar) {
  std::ostringstream progress;
  {
    Input input(Source::PIPE, MakeText(3 * kWindow), 1, &progress);
    while (true) {
      StringPiece line;
      if (!input->ReadLineOrEOF(line)) break;
    }
    EXPECT_EQ("pipe", input->SourceName());
  }
  EXPECT_EQ("File pipe isn't normal.  Using slower read() instead of mmap().  No progress bar.\n", progress.str());
}

TEST(FilePieceStreamTest, SourceNameAndOffset) {
  std::istringstream stream("first\nsecond");
  FilePiece reader(stream, "ignored", 1);
  EXPECT_EQ("istream", reader.SourceName());
  EXPECT_EQ("first", reader.ReadLine());
  EXPECT_EQ(6u, reader.ByteOffset());
  EXPECT_EQ("second", reader.ReadLine());
}

TEST(FilePieceMappedTest, EmptyFileCannotBeMapped) {
  TempFile file("");
  try {
    FilePiece reader(file.Name(), nullptr, 1);
    FAIL() << "an empty file was accepted";
  } catch (const ErrnoException &e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("mmap failed for size 0 at offset 0")) << e.what();
  }
}

TEST(FilePieceMappedTest, DescriptorPositionedInside) {
  const std::string text = MakeText(4 * kWindow);
  TempFile file(text);
  int fd = OpenReadOrThrow(file.Name());
  SeekOrThrow(fd, 1000);
  FilePiece reader(fd, nullptr, nullptr, 1);
  EXPECT_EQ(file.Name(), reader.SourceName());
  EXPECT_EQ(1000u, reader.ByteOffset());
  std::string rest;
  try {
    while (true) rest += reader.get();
  } catch (const EndOfFileException &) {
  }
  EXPECT_EQ(text.substr(1000), rest);
  EXPECT_EQ(text.size(), reader.ByteOffset());
}

TEST(FilePieceCompressedTest, RefusedFromFilesAndPipes) {
  struct Case {
    std::string magic;
    const char *message;
  } cases[] = {
      {std::string("\x1f\x8b\x08\x00", 4), "This looks like a gzip file but gzip support was not compiled in."},
      {"BZh91AY", "This looks like a bzip file (it begins with BZh), but bzip support was not compiled in."},
      {std::string("\xfd" "7zXZ\0", 6), "This looks like an xz file, but xz support was not compiled in."},
  };
  for (const Case &c : cases) {
    for (Source source : {Source::MAPPED, Source::PIPE}) {
      SCOPED_TRACE(c.message);
      try {
        Input input(source, c.magic + " and some more bytes\n");
        ADD_FAILURE() << "compressed input accepted";
      } catch (const CompressedException &e) {
        std::string text = e.what();
        EXPECT_EQ(c.message, text.substr(text.find('\n') + 1));
      }
    }
  }
}

}  // namespace
}  // namespace util
