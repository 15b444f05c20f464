#include "util/exception.hh"

#include "util/file.hh"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include <unistd.h>

namespace util {
namespace {

std::string Located(const char *source, unsigned line, const char *function, const char *class_name,
                    const char *condition, const char *message) {
  Exception e;
  e.SetLocation(source, line, function, class_name, condition);
  e << message;
  return e.what();
}

TEST(SetLocation, HeaderForms) {
  struct Case {
    const char *source, *function, *class_name, *condition;
    std::string expected;
  } cases[] = {
      {"util/file", "int f(int)", "ErrnoException", nullptr, "util/file:12 in int f(int) threw ErrnoException.\nmsg"},
      {"util/file", "int f(int)", "ErrnoException", "ret < 0",
       "util/file:12 in int f(int) threw ErrnoException because `ret < 0'.\nmsg"},
      {"util/file", nullptr, "Exception", "x", "util/file:12Exception because `x'.\nmsg"},
      {"lm/vocab", "void g()", nullptr, nullptr, "lm/vocab:12 in void g() threw PN4util9ExceptionE.\nmsg"},
      {nullptr, "void g()", "Exception", nullptr, ":12 in void g() threw Exception.\nmsg"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(c.expected, Located(c.source, 12, c.function, c.class_name, c.condition, "msg"));
}

TEST(SetLocation, KeepsConstructorTextAfterHeader) {
  EndOfFileException e;
  e.SetLocation("util/file_piece", 7, nullptr, "EndOfFileException", nullptr);
  e << " tail";
  EXPECT_STREQ("util/file_piece:7EndOfFileException.\nEnd of file tail", e.what());
  EXPECT_STREQ("End of file", EndOfFileException().what());
}

TEST(ConstructorText, ParseNumber) {
  std::string token("1.5\0x", 5);
  ParseNumberException e{StringPiece(token)};
  e << "float";
  EXPECT_EQ(std::string("Could not parse \"1.5\0x\" into a float", 36), std::string(e.what(), 36));
}

TEST(ConstructorText, Errno) {
  struct Case {
    int error;
    std::string text;
  } cases[] = {
      {ENOENT, "No such file or directory "},
      {0, "Success "},
      {123456, ""},  // no description: nothing, not even the blank
  };
  for (const Case &c : cases) {
    errno = c.error;
    ErrnoException e;
    EXPECT_EQ(c.text, e.what());
    EXPECT_EQ(c.error, e.Error());
  }
}

TEST(ConstructorText, MallocAndFD) {
  errno = ENOMEM;
  MallocException m(1000);
  EXPECT_STREQ("Cannot allocate memory for 1000 bytes ", m.what());

  char path[] = "/tmp/quarn_exception_test.XXXXXX";
  scoped_fd file(mkstemp(path));
  ASSERT_NE(-1, file.get());
  errno = EBADF;
  FDException fd_error(file.get());
  unlink(path);
  EXPECT_EQ(std::string("Bad file descriptor in ") + path + " ", fd_error.what());
  EXPECT_EQ(file.get(), fd_error.FD());
  EXPECT_EQ(path, fd_error.NameGuess());
  EXPECT_EQ(EBADF, fd_error.Error());

  errno = EIO;
  EXPECT_STREQ("Input/output error in fd 987 ", FDException(987).what());
}

TEST(ConstructorText, CopyKeepsEverything) {
  errno = EACCES;
  FDException original(987);
  original << "while " << 5;
  FDException copy(original);
  EXPECT_STREQ(original.what(), copy.what());
  EXPECT_EQ(std::string("Permission denied in fd 987 while 5"), copy.what());
  EXPECT_EQ(EACCES, copy.Error());
  EXPECT_EQ(987, copy.FD());
  EXPECT_EQ("fd 987", copy.NameGuess());
}

enum Small { kZero, kSeven = 7 };
enum class Scoped : int64_t { kNegative = -3 };

template <class T> std::string Streamed(const T &value) {
  Exception e;
  e << value;
  return e.what();
}

// The first `length` bytes of the text after streaming `value` and "#"; for
// values holding NUL bytes, which what() read as a C string would cut off.
// The texts are short enough to sit in the string's inline buffer.
template <class T> std::string StreamedBytes(const T &value, std::size_t length) {
  Exception e;
  e << value << '#';
  return std::string(e.what(), length);
}

TEST(Streaming, ValueTexts) {
  const char *null_text = nullptr;
  char writable[] = "mutable";
  EXPECT_EQ("", Streamed(null_text));
  EXPECT_EQ("mutable", Streamed(static_cast<char *>(writable)));
  EXPECT_EQ(std::string("a\0b#", 4), StreamedBytes(std::string("a\0b", 3), 4));
  EXPECT_EQ(std::string("p\0q#", 4), StreamedBytes(StringPiece("p\0qrs", 3), 4));
  EXPECT_EQ("x", Streamed('x'));
  EXPECT_EQ("-2147483648", Streamed(std::numeric_limits<int32_t>::min()));
  EXPECT_EQ("2147483647", Streamed(std::numeric_limits<int32_t>::max()));
  EXPECT_EQ("4294967295", Streamed(std::numeric_limits<uint32_t>::max()));
  EXPECT_EQ("-9223372036854775808", Streamed(std::numeric_limits<int64_t>::min()));
  EXPECT_EQ("18446744073709551615", Streamed(std::numeric_limits<uint64_t>::max()));
  EXPECT_EQ("-9223372036854775808", Streamed(LLONG_MIN));
  EXPECT_EQ("0", Streamed(0));
  EXPECT_EQ("0.1", Streamed(0.1f));
  EXPECT_EQ("0.1", Streamed(0.1));
  EXPECT_EQ("-1e-7", Streamed(-1e-7));
  EXPECT_EQ("0x0", Streamed(static_cast<const void *>(nullptr)));
  EXPECT_EQ("0x1000", Streamed(reinterpret_cast<void *>(0x1000)));
  EXPECT_EQ("7", Streamed(kSeven));
  EXPECT_EQ("-3", Streamed(Scoped::kNegative));
}

TEST(Streaming, ChainKeepsConcreteClass) {
  static_assert(std::is_same_v<decltype(std::declval<FDException &>() << "a" << 1 << 2.0 << 'c'), FDException &>);
  static_assert(std::is_same_v<decltype(std::declval<EndOfFileException &>() << std::string()), EndOfFileException &>);
  EndOfFileException e;
  e << " at " << 12u << ' ' << StringPiece("x");
  EXPECT_STREQ("End of file at 12 x", e.what());
}

int Throwing(int x, unsigned &line) {
  line = __LINE__ + 1;
  UTIL_THROW_IF(x == 3, util::ErrnoException, "x was " << x);
  return x;
}

TEST(Macros, ConditionalThrowHeader) {
  unsigned line = 0;
  EXPECT_EQ(2, Throwing(2, line));
  errno = ENOENT;
  try {
    Throwing(3, line);
    FAIL();
  } catch (const ErrnoException &e) {
    EXPECT_EQ("util/exception_test:" + std::to_string(line) +
                  " in int util::{anonymous}::Throwing(int, unsigned int&) threw util::ErrnoException because `x == 3'.\n"
                  "No such file or directory x was 3",
              e.what());
  }
}

TEST(Macros, UnconditionalAndTextForms) {
  try {
    UTIL_THROW_ARG(MallocException, (12), "in " << "test");
  } catch (const MallocException &e) {
    std::string text = e.what();
    EXPECT_NE(std::string::npos, text.find(" threw MallocException.\n")) << text;
    EXPECT_NE(std::string::npos, text.find("for 12 bytes in test")) << text;
  }
  try {
    UTIL_THROW_IF_TEXT(1 + 1 == 2, "documented text", Exception, , "done");
  } catch (const Exception &e) {
    std::string text = e.what();
    EXPECT_NE(std::string::npos, text.find(" threw Exception because `documented text'.\ndone")) << text;
  }
}

}  // namespace
}  // namespace util
