#include "util/decompress.hh"

#include "util/exception.hh"
#include "util/compress_for_test.hh"
#include "util/file.hh"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace util {
namespace {

const char kName[] = "corpus-for-test";

// Text of many short lines with some repetition, so that it compresses but
// not to nothing; `bytes` long.
std::string SampleText(std::size_t bytes) {
  std::mt19937 rng(7);
  const char *words[] = {"in", "the", "beginning", "God", "created", "heaven", "and", "earth", "\xc3\xa9t\xc3\xa9"};
  std::string text;
  while (text.size() < bytes) {
    text += words[rng() % 9];
    text += (rng() % 8) ? ' ' : '\n';
  }
  text.resize(bytes);
  return text;
}

std::string Plain(const std::string &text) { return text; }

struct Format {
  const char *name;
  Compression compression;
  std::string (*encode)(const std::string &);
};

const Format kFormats[] = {
    {"plain", Compression::kNone, Plain},
    {"gzip", Compression::kGzip, GzipForTest},
    {"bzip2", Compression::kBzip2, Bzip2ForTest},
    {"xz", Compression::kXz, XzForTest},
};

const Format kCompressed[] = {kFormats[1], kFormats[2], kFormats[3]};

// A descriptor on an unlinked temporary file holding `content`.
int FileWith(const std::string &content) {
  int fd = MakeTemp("/tmp/quarn_decompress_test_");
  WriteOrThrow(fd, content.data(), content.size());
  SeekOrThrow(fd, 0);
  return fd;
}

std::string ReadAll(Decompress &reader, std::size_t chunk) {
  std::string out;
  std::vector<char> buffer(chunk);
  while (std::size_t got = reader.Read(buffer.data(), chunk)) {
    out.append(buffer.data(), got);
    if (got < chunk) {
      EXPECT_EQ(0u, reader.Read(buffer.data(), chunk)) << "a short read before the end";
      break;
    }
  }
  return out;
}

// Reading `content` (named kName) to its end throws the exception of the
// format, with the file's name and `what` in the message.
void ExpectThrows(const Format &format, const std::string &content, const std::string &what) {
  SCOPED_TRACE(format.name);
  try {
    Decompress reader(FileWith(content), kName);
    ReadAll(reader, 1 << 16);
    ADD_FAILURE() << "read to the end without an error";
  } catch (const CompressedException &e) {
    std::string message = e.what();
    EXPECT_NE(std::string::npos, message.find(kName)) << message;
    EXPECT_NE(std::string::npos, message.find(what)) << message;
    switch (format.compression) {
      case Compression::kGzip:
        EXPECT_NE(nullptr, dynamic_cast<const GZException *>(&e));
        break;
      case Compression::kBzip2:
        EXPECT_NE(nullptr, dynamic_cast<const BZException *>(&e));
        break;
      case Compression::kXz:
        EXPECT_NE(nullptr, dynamic_cast<const XZException *>(&e));
        break;
      case Compression::kNone:
        ADD_FAILURE() << "plain text has no exception";
    }
  }
}

TEST(Decompress, EveryFormatReadsBackInAnyChunkSize) {
  // Larger than an input block, so that the data arrives in several.
  const std::string text = SampleText(2 * Decompress::kInputBlock + 12345);
  for (const Format &format : kFormats) {
    const std::string encoded = format.encode(text);
    for (std::size_t chunk : {std::size_t{1} << 16, std::size_t{4093}, Decompress::kInputBlock + 3, text.size() + 1}) {
      SCOPED_TRACE(std::string(format.name) + " in chunks of " + std::to_string(chunk));
      Decompress reader(FileWith(encoded), kName);
      EXPECT_EQ(format.compression, reader.Format());
      EXPECT_TRUE(ReadAll(reader, chunk) == text);
      EXPECT_EQ(encoded.size(), reader.RawAmount());
      EXPECT_EQ(0u, reader.Read(nullptr, 0));
    }
  }
}

TEST(Decompress, ConcatenatedStreamsReadAsOne) {
  const std::string first = SampleText(100000), second = "and the earth was without form\n";
  for (const Format &format : kCompressed) {
    SCOPED_TRACE(format.name);
    Decompress reader(FileWith(format.encode(first) + format.encode(second) + format.encode("")), kName);
    EXPECT_TRUE(ReadAll(reader, 4096) == first + second);
  }
}

TEST(Decompress, TruncatedDataThrowsNamingTheFile) {
  const std::string text = SampleText(200000);
  for (const Format &format : kCompressed) {
    const std::string encoded = format.encode(text);
    for (std::size_t keep : {encoded.size() - 1, encoded.size() / 2, std::size_t{6}})
      ExpectThrows(format, encoded.substr(0, keep), "truncated");
  }
}

TEST(Decompress, TruncatedSecondStreamThrows) {
  for (const Format &format : kCompressed) {
    const std::string second = format.encode(SampleText(5000));
    ExpectThrows(format, format.encode("first\n") + second.substr(0, second.size() / 2), "truncated");
  }
}

TEST(Decompress, DamagedDataThrowsNamingTheFile) {
  const std::string text = SampleText(200000);
  for (const Format &format : kCompressed) {
    std::string encoded = format.encode(text);
    for (std::size_t at = encoded.size() / 2; at < encoded.size() / 2 + 16; ++at) encoded[at] ^= 0x5a;
    ExpectThrows(format, encoded, "damaged");
  }
}

TEST(Decompress, BytesAfterTheDataThrow) {
  for (const Format &format : kCompressed)
    ExpectThrows(format, format.encode("one line\n") + "plain words\n", "damaged");
}

TEST(Decompress, ShortAndEmptyInputIsPlain) {
  for (const std::string &content : {std::string(), std::string("BZ"), std::string("\x1f", 1), std::string("a\n")}) {
    Decompress reader(FileWith(content), kName);
    EXPECT_EQ(Compression::kNone, reader.Format());
    EXPECT_EQ(content, ReadAll(reader, 3));
  }
}

TEST(Decompress, ReadsAPipe) {
  const std::string text = "not seekable\nat all\n";
  for (const Format &format : kFormats) {
    SCOPED_TRACE(format.name);
    const std::string encoded = format.encode(text);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    WriteOrThrow(fds[1], encoded.data(), encoded.size());
    close(fds[1]);
    Decompress reader(fds[0], kName);
    EXPECT_EQ(text, ReadAll(reader, 5));
  }
}

}  // namespace
}  // namespace util
