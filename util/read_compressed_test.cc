#include "util/read_compressed.hh"

#include "util/exception.hh"
#include "util/file.hh"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace util {
namespace {

// A descriptor open on an unlinked temporary file holding `content`,
// positioned at its start.
int FileWith(const std::string &content) {
  int fd = MakeTemp("/tmp/quarn_read_compressed_test_");
  WriteOrThrow(fd, content.data(), content.size());
  SeekOrThrow(fd, 0);
  return fd;
}

// The read end of a pipe that already holds `content` (small enough for the
// pipe's buffer) and whose write end is closed.
int PipeWith(const std::string &content) {
  int fds[2];
  if (pipe(fds)) std::abort();
  WriteOrThrow(fds[1], content.data(), content.size());
  close(fds[1]);
  return fds[0];
}

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

std::string ReadAll(ReadCompressed &reader, std::size_t chunk) {
  std::string out;
  std::vector<char> buffer(chunk);
  while (std::size_t got = reader.Read(buffer.data(), chunk)) out.append(buffer.data(), got);
  return out;
}

const std::string kGzip("\x1f\x8b\x08\x00\x00\x00\x00\x00", 8);
const std::string kBzip("BZh91AY&SY");
const std::string kXz("\xfd" "7zXZ\0\0\x04", 8);

const char kGzipMessage[] = "This looks like a gzip file but gzip support was not compiled in.";
const char kBzipMessage[] =
    "This looks like a bzip file (it begins with BZh), but bzip support was not compiled in.";
const char kXzMessage[] = "This looks like an xz file, but xz support was not compiled in.";

struct Refusal {
  std::string content;
  const char *message;
};

const Refusal kRefusals[] = {
    {kGzip, kGzipMessage},
    {std::string("\x1f\x8b", 2), kGzipMessage},
    {kBzip, kBzipMessage},
    {"BZh", kBzipMessage},
    {kXz, kXzMessage},
    {std::string("\xfd" "7zXZ\0", 6), kXzMessage},
};

void ExpectRefused(int fd, const char *message) {
  ReadCompressed reader;
  try {
    reader.Reset(fd);
    FAIL() << "accepted input that should be refused with " << message;
  } catch (const CompressedException &e) {
    std::string text = e.what();
    // Unconditional throw: the class name ends the header line.
    EXPECT_NE(std::string::npos, text.find("util/read_compressed:"));
    EXPECT_NE(std::string::npos, text.find(" threw CompressedException.\n" + std::string(message)));
    EXPECT_EQ(message, text.substr(text.size() - std::string(message).size()));
  }
  EXPECT_FALSE(IsOpen(fd)) << "the refused descriptor must be closed";
}

TEST(ReadCompressedTest, RefusesCompressedFilesAndPipes) {
  for (const Refusal &refusal : kRefusals) {
    SCOPED_TRACE(refusal.message);
    ExpectRefused(FileWith(refusal.content), refusal.message);
    ExpectRefused(PipeWith(refusal.content), refusal.message);
  }
}

// Prefixes of the magics, and look-alikes, are ordinary bytes.
TEST(ReadCompressedTest, PassesThroughEverythingElse) {
  const std::string cases[] = {
      "",
      "abc",
      "\x1f",
      "BZ",
      "BZx9 and more",
      std::string("\xfd" "7zXZ", 5),
      std::string("\xfd" "7zXZ\x01 tail", 11),
      "\\data\\\nngram 1=5\n",
      std::string("a\0b\0c", 5),
  };
  for (const std::string &content : cases) {
    SCOPED_TRACE(content);
    for (int fd : {FileWith(content), PipeWith(content)}) {
      ReadCompressed reader(fd);
      EXPECT_EQ(content, ReadAll(reader, 1000));
      char byte;
      EXPECT_EQ(0u, reader.Read(&byte, 1));
      EXPECT_EQ(content.size(), reader.RawAmount());
    }
  }
}

// Reads in every chunk size cross the end of the six header bytes at a
// different place; the bytes and the raw count must come out whole.
TEST(ReadCompressedTest, HeaderThenDescriptorInAnyChunks) {
  std::string content;
  for (int i = 0; i < 5000; ++i) content += static_cast<char>('a' + i % 23);
  for (std::size_t chunk : {1, 2, 5, 6, 7, 13, 4096, 10000}) {
    SCOPED_TRACE(chunk);
    ReadCompressed reader(FileWith(content));
    EXPECT_EQ(6u, reader.RawAmount()) << "the header is read at Reset";
    EXPECT_EQ(content, ReadAll(reader, chunk));
    EXPECT_EQ(content.size(), reader.RawAmount());
  }
}

TEST(ReadCompressedTest, ReadOrEOFFillsAcrossReaders) {
  const std::string content = "0123456789abcdefghij";
  ReadCompressed reader(FileWith(content));
  char buffer[32];
  ASSERT_EQ(15u, reader.ReadOrEOF(buffer, 15));
  EXPECT_EQ(content.substr(0, 15), std::string(buffer, 15));
  ASSERT_EQ(5u, reader.ReadOrEOF(buffer, 32));
  EXPECT_EQ(content.substr(15), std::string(buffer, 5));
  EXPECT_EQ(0u, reader.ReadOrEOF(buffer, 32));
}

TEST(ReadCompressedTest, ResetReadsFromTheCurrentPosition) {
  int fd = FileWith("skip this|keep this");
  AdvanceOrThrow(fd, 10);
  ReadCompressed reader(fd);
  EXPECT_EQ("keep this", ReadAll(reader, 4));
  EXPECT_EQ(9u, reader.RawAmount());
  // A second Reset starts a new count and closes the old descriptor.
  int other = FileWith("xy");
  reader.Reset(other);
  EXPECT_FALSE(IsOpen(fd));
  EXPECT_EQ("xy", ReadAll(reader, 4));
  EXPECT_EQ(2u, reader.RawAmount());
}

TEST(ReadCompressedTest, DetectCompressedMagic) {
  struct Case {
    std::string bytes;
    bool compressed;
  } cases[] = {
      {kGzip.substr(0, 6), true},
      {kBzip.substr(0, 6), true},
      {kXz.substr(0, 6), true},
      {std::string("BZh\0\0\0", 6), true},
      {"mmap l", false},
      {"\\data\\", false},
      {std::string("\xfd" "7zXZ\x01", 6), false},
      {std::string("\x1f\x8a\0\0\0\0", 6), false},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(ReadCompressed::kMagicSize, c.bytes.size());
    EXPECT_EQ(c.compressed, ReadCompressed::DetectCompressedMagic(c.bytes.data())) << c.bytes;
  }
}

TEST(ReadCompressedTest, StreamIsPassedThroughWithoutMagicTest) {
  std::istringstream input(kGzip + "rest");
  ReadCompressed reader(input);
  EXPECT_EQ(kGzip + "rest", ReadAll(reader, 5));
  EXPECT_EQ(kGzip.size() + 4, reader.RawAmount());
}

// Delivers its bytes, then fails instead of reporting the end.
class FailingBuf : public std::streambuf {
 public:
  explicit FailingBuf(std::string bytes) : bytes_(std::move(bytes)) {
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
  }

 protected:
  int_type underflow() override { throw std::ios_base::failure("device failed"); }

 private:
  std::string bytes_;
};

TEST(ReadCompressedTest, StreamFailureBeforeItsEnd) {
  FailingBuf buf("abc");
  std::istream input(&buf);
  ReadCompressed reader(input);
  char buffer[2];
  ASSERT_EQ(2u, reader.Read(buffer, 2));
  char more[10];
  try {
    reader.Read(more, 10);
    FAIL() << "a failing stream must throw";
  } catch (const ErrnoException &e) {
    std::string text = e.what();
    EXPECT_NE(std::string::npos, text.find("threw ErrnoException because `!stream_.eof()'.\n")) << text;
    EXPECT_EQ("istream error", text.substr(text.size() - 13));
  }
}

}  // namespace
}  // namespace util
