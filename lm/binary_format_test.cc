#include "lm/binary_format.hh"

#include "lm/lm_exception.hh"
#include "util/exception.hh"
#include "util/file.hh"
#include "util/mmap.hh"
#include "util/text_match_for_test.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

namespace lm {
namespace ngram {
namespace {

using util::EndsWith;

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "binary_format_testXXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const char *name) const { return (path_ / name).string(); }
  bool Empty() const { return std::filesystem::is_empty(path_); }

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The text of the exception of class Ex that `f` throws; fails the test if
// it throws nothing.
template <class Ex, class F> std::string ThrownText(F &&f) {
  try {
    f();
  } catch (const Ex &e) {
    return e.what();
  }
  ADD_FAILURE() << "nothing thrown";
  return "";
}

template <class T> void AppendRaw(std::string &to, T value) {
  to.append(reinterpret_cast<const char *>(&value), sizeof(T));
}

// The reference Sanity written out byte by byte (little-endian IEEE floats).
std::string SanityBytes() {
  std::string out = std::string("mmap lm ") + kMagicSite + " format version 5\n";
  out.append(2, '\0');  // end of the magic
  out.append(3, '\0');  // padding
  out.append("\x00\x00\x00\x00", 4);  // 0.0f
  out.append("\x00\x00\x80\x3f", 4);  // 1.0f
  out.append("\x00\x00\x00\xbf", 4);  // -0.5f
  out.append("\x01\x00\x00\x00", 4);  // word identifier 1
  out.append("\xff\xff\xff\xff", 4);  // largest word identifier
  out.append(4, '\0');                // padding
  out.append("\x01\x00\x00\x00\x00\x00\x00\x00", 8);
  return out;
}

std::string HeaderBytes(const std::vector<uint64_t> &counts, float multiplier, uint32_t model_type,
                        bool has_vocabulary, uint32_t search_version) {
  std::string out = SanityBytes();
  out += static_cast<char>(counts.size());
  out.append(3, '\0');
  AppendRaw(out, multiplier);
  AppendRaw(out, model_type);
  out += static_cast<char>(has_vocabulary);
  out.append(3, '\0');
  AppendRaw(out, search_version);
  for (uint64_t count : counts) AppendRaw(out, count);
  out.append(4, '\0');  // 108 + 8N is 4 bytes short of a multiple of 8
  return out;
}

TEST(BinaryFormatTest, MagicTexts) {
  const std::string start = std::string("mmap lm ") + kMagicSite;
  EXPECT_EQ(start + " format version 5\n" + std::string(2, '\0'),
            std::string(kMagicBytes.data(), kMagicBytes.size()));
  EXPECT_EQ(start + " incomplete\n" + std::string(1, '\0'),
            std::string(kMagicIncomplete.data(), kMagicIncomplete.size()));
  EXPECT_EQ(start + " format version" + std::string(1, '\0'),
            std::string(kMagicBeforeVersion.data(), kMagicBeforeVersion.size()));
  EXPECT_EQ(88u, SanityBytes().size());
}

TEST(BinaryFormatTest, HeaderSize) {
  const struct {
    unsigned char order;
    uint64_t size;
  } kCases[] = {{1, 120}, {2, 128}, {3, 136}, {4, 144}, {5, 152}, {6, 160}};
  for (const auto &c : kCases) {
    EXPECT_EQ(c.size, TotalHeaderSize(c.order)) << "order " << static_cast<int>(c.order);
    EXPECT_EQ(c.size, HeaderBytes(std::vector<uint64_t>(c.order, 1), 1.5f, 0, true, 0).size());
  }
}

// A small build: order 3, a vocabulary region of 24 bytes, 8 bytes of
// padding and a search region of 40 bytes, each filled with its own pattern.
const std::vector<uint64_t> kCounts = {5, 7, 3};
constexpr std::size_t kVocabSize = 24;
constexpr std::size_t kPad = 8;
constexpr std::size_t kSearchSize = 40;
constexpr std::size_t kHeader = 136;
constexpr float kMultiplier = 2.25f;
const std::string kWords("<unk>\0<s>\0</s>\0a\0", 17);

std::string VocabPattern() {
  std::string out;
  for (std::size_t i = 0; i < kVocabSize; ++i) out += static_cast<char>(i + 1);
  return out;
}

std::string SearchPattern() {
  std::string out;
  for (std::size_t i = 0; i < kSearchSize; ++i) out += static_cast<char>(0x80 + i);
  return out;
}

std::string Region() { return VocabPattern() + std::string(kPad, '\0') + SearchPattern(); }

std::string ExpectedFile(bool keep_words) {
  return HeaderBytes(kCounts, kMultiplier, REST_PROBING, keep_words, 0) + Region() + (keep_words ? kWords : "");
}

std::string Bytes(const void *at, std::size_t size) { return std::string(static_cast<const char *>(at), size); }

Config BuildConfig(const char *path, Config::WriteMethod mode, bool keep_words) {
  Config config;
  config.binary_output_path = path;
  config.binary_write_mode = mode;
  config.binary_keeps_words = keep_words;
  config.probing_multiplier = kMultiplier;
  return config;
}

// Runs the building sequence, checking that the data survives every call
// that may move it.  Stops before FinishFile when `finish` is false.
void Build(const Config &config, bool finish = true) {
  BinaryFormat format(config);
  void *vocab = format.SetupJustVocab(kVocabSize, static_cast<uint8_t>(kCounts.size()));
  ASSERT_EQ(std::string(kVocabSize, '\0'), Bytes(vocab, kVocabSize));
  std::memcpy(vocab, VocabPattern().data(), kVocabSize);

  void *vocab_base = nullptr;
  void *search = format.GrowForSearch(kSearchSize, kPad, vocab_base);
  ASSERT_EQ(VocabPattern(), Bytes(vocab_base, kVocabSize));
  ASSERT_EQ(std::string(kSearchSize, '\0'), Bytes(search, kSearchSize));
  std::memcpy(search, SearchPattern().data(), kSearchSize);
  EXPECT_EQ(kHeader + kVocabSize + kPad + kSearchSize, format.VocabStringReadingOffset());

  if (config.binary_keeps_words) {
    void *search_base = nullptr;
    format.WriteVocabWords(kWords, vocab_base, search_base);
    ASSERT_EQ(VocabPattern(), Bytes(vocab_base, kVocabSize));
    ASSERT_EQ(SearchPattern(), Bytes(search_base, kSearchSize));
  }
  if (finish) format.FinishFile(config, REST_PROBING, 0, kCounts);
}

TEST(BinaryFormatTest, BothWriteModesWriteTheExpectedFile) {
  TempDir dir;
  const std::string path = dir.File("model.bin");
  for (bool keep_words : {true, false}) {
    for (Config::WriteMethod mode : {Config::WRITE_IN_PLACE, Config::WRITE_WHEN_DONE}) {
      SCOPED_TRACE(::testing::Message() << "mode " << mode << " keep_words " << keep_words);
      Build(BuildConfig(path.c_str(), mode, keep_words));
      const std::string written = ReadFile(path);
      EXPECT_EQ(ExpectedFile(keep_words), written);
      EXPECT_EQ(keep_words ? '\1' : '\0', written.at(100));
    }
  }
}

TEST(BinaryFormatTest, EveryLoadMethodReadsBackTheRegion) {
  TempDir dir;
  const std::string path = dir.File("model.bin");
  Build(BuildConfig(path.c_str(), Config::WRITE_IN_PLACE, true));
  for (util::LoadMethod method : {util::LAZY, util::POPULATE_OR_LAZY, util::POPULATE_OR_READ, util::READ}) {
    SCOPED_TRACE(::testing::Message() << "load method " << method);
    Config config;
    config.load_method = method;
    int fd = util::OpenReadOrThrow(path.c_str());
    ASSERT_TRUE(IsBinaryFormat(fd));
    BinaryFormat format(config);
    Parameters params;
    format.InitializeBinary(fd, REST_PROBING, 0, params);
    EXPECT_EQ(fd, format.FileDescriptor());
    EXPECT_EQ(3, params.fixed.order);
    EXPECT_EQ(kMultiplier, params.fixed.probing_multiplier);
    EXPECT_EQ(REST_PROBING, params.fixed.model_type);
    EXPECT_TRUE(params.fixed.has_vocabulary);
    EXPECT_EQ(0u, params.fixed.search_version);
    EXPECT_EQ(kCounts, params.counts);

    char search_start[4];
    format.ReadForConfig(search_start, sizeof(search_start), kVocabSize + kPad);
    EXPECT_EQ(SearchPattern().substr(0, 4), Bytes(search_start, 4));

    const std::string region = Region();
    void *loaded = format.LoadBinary(region.size());
    EXPECT_EQ(region, Bytes(loaded, region.size()));
    EXPECT_EQ(kHeader + region.size(), format.VocabStringReadingOffset());
    std::string words(kWords.size(), '\0');
    util::ErsatzPRead(format.FileDescriptor(), words.data(), words.size(), format.VocabStringReadingOffset());
    EXPECT_EQ(kWords, words);
  }
}

TEST(BinaryFormatTest, WithoutOutputFileNothingIsWritten) {
  TempDir dir;
  Config config;
  config.binary_keeps_words = true;
  BinaryFormat format(config);
  void *vocab = format.SetupJustVocab(kVocabSize, 3);
  ASSERT_EQ(std::string(kVocabSize, '\0'), Bytes(vocab, kVocabSize));
  std::memcpy(vocab, VocabPattern().data(), kVocabSize);
  void *vocab_base = nullptr;
  void *search = format.GrowForSearch(kSearchSize, 0, vocab_base);
  EXPECT_EQ(vocab, vocab_base);
  ASSERT_EQ(std::string(kSearchSize, '\0'), Bytes(search, kSearchSize));
  void *search_base = nullptr;
  format.WriteVocabWords(kWords, vocab_base, search_base);
  EXPECT_EQ(vocab, vocab_base);
  EXPECT_EQ(search, search_base);
  format.FinishFile(config, PROBING, 0, kCounts);
  EXPECT_EQ(VocabPattern(), Bytes(vocab, kVocabSize));
  EXPECT_EQ(-1, format.FileDescriptor());
  EXPECT_TRUE(dir.Empty());
}

TEST(BinaryFormatTest, AbandonedBuildNeverLooksFinished) {
  TempDir dir;
  const std::string path = dir.File("model.bin");
  for (bool keep_words : {true, false}) {
    Build(BuildConfig(path.c_str(), Config::WRITE_IN_PLACE, keep_words), false);
    const std::string written = ReadFile(path);
    const std::string incomplete(kMagicIncomplete.data(), kMagicIncomplete.size());
    EXPECT_EQ(incomplete + std::string(kHeader - incomplete.size(), '\0'), written.substr(0, kHeader));
    EXPECT_EQ(Region() + (keep_words ? kWords : ""), written.substr(kHeader));
    util::scoped_fd fd(util::OpenReadOrThrow(path.c_str()));
    EXPECT_TRUE(EndsWith(ThrownText<FormatLoadException>([&] { IsBinaryFormat(fd.get()); }),
                         "This binary file did not finish building"));
  }
  // Written when done, the file holds at most the words until the end.
  Build(BuildConfig(path.c_str(), Config::WRITE_WHEN_DONE, true), false);
  EXPECT_EQ(std::string(kHeader + Region().size(), '\0') + kWords, ReadFile(path));
  util::scoped_fd fd(util::OpenReadOrThrow(path.c_str()));
  EXPECT_FALSE(IsBinaryFormat(fd.get()));
}

std::string SwapEvery4(std::string bytes, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; i += 4) {
    std::swap(bytes[i], bytes[i + 3]);
    std::swap(bytes[i + 1], bytes[i + 2]);
  }
  return bytes;
}

TEST(BinaryFormatTest, IsBinaryFormat) {
  const std::string sanity = SanityBytes();
  std::string version4 = sanity;
  version4[49] = '4';
  std::string version12 = sanity;
  version12.replace(49, 3, "12\n");
  std::string no_version = sanity;
  no_version[49] = 'x';
  std::string swapped = SwapEvery4(sanity, 56, 76);
  std::reverse(swapped.begin() + 80, swapped.end());
  std::string narrow_identifiers = sanity;
  narrow_identifiers.replace(72, 4, "\xff\xff\x00\x00", 4);
  const std::string incomplete = std::string(kMagicIncomplete.data(), kMagicIncomplete.size());

  const char *const kTestValues =
      "File looks like it should be loaded with mmap, but the test values don't match.  Try rebuilding the "
      "binary format LM using the same code revision, compiler, and architecture";
  const struct {
    const char *name;
    std::string bytes;
    bool binary;
    const char *message;  // null: no exception
  } kCases[] = {
      {"empty", "", false, nullptr},
      {"exactly Sanity", sanity, false, nullptr},
      {"Sanity and one byte", sanity + '\0', true, nullptr},
      {"ARPA text", "\n\\data\\\nngram 1=3\nngram 2=2\n" + std::string(100, '\n'), false, nullptr},
      {"zero bytes", std::string(200, '\0'), false, nullptr},
      {"incomplete", incomplete + std::string(90, '\0'), false, "This binary file did not finish building"},
      {"version 4", version4 + '\0',
       false,
       "Binary file has version 4 but this implementation expects version 5 so you'll have to use the ARPA to "
       "rebuild your binary"},
      {"version 12", version12 + '\0', false,
       "Binary file has version 12 but this implementation expects version 5 so you'll have to use the ARPA to "
       "rebuild your binary"},
      {"no version", no_version + '\0', false, kTestValues},
      {"other byte order", swapped + '\0', false, kTestValues},
      {"16-bit identifiers", narrow_identifiers + '\0', false, kTestValues},
  };
  TempDir dir;
  const std::string path = dir.File("file");
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    WriteFile(path, c.bytes);
    util::scoped_fd fd(util::OpenReadOrThrow(path.c_str()));
    if (c.message) {
      const std::string text = ThrownText<FormatLoadException>([&] { IsBinaryFormat(fd.get()); });
      EXPECT_TRUE(EndsWith(text, c.message)) << text;
      EXPECT_EQ(0u, text.find("lm/binary_format:")) << text;
      EXPECT_NE(std::string::npos, text.find(" threw FormatLoadException")) << text;
    } else {
      EXPECT_EQ(c.binary, IsBinaryFormat(fd.get()));
    }
  }
}

TEST(BinaryFormatTest, PipeIsNotBinary) {
  int fds[2];
  ASSERT_EQ(0, pipe(fds));
  util::scoped_fd read_end(fds[0]), write_end(fds[1]);
  EXPECT_FALSE(IsBinaryFormat(read_end.get()));
}

TEST(BinaryFormatTest, ReadHeaderOfShortFileHitsEndOfFile) {
  TempDir dir;
  const std::string path = dir.File("file");
  WriteFile(path, SanityBytes() + '\3');
  util::scoped_fd fd(util::OpenReadOrThrow(path.c_str()));
  ASSERT_TRUE(IsBinaryFormat(fd.get()));
  Parameters params;
  EXPECT_THROW(ReadHeader(fd.get(), params), util::EndOfFileException);
}

TEST(BinaryFormatTest, ReadHeaderMultiplier) {
  const struct {
    float multiplier;
    const char *message;
  } kCases[] = {
      {0.5f, "Binary format claims to have a probing multiplier of 0.5 which is < 1.0."},
      {-2.0f, "Binary format claims to have a probing multiplier of -2 which is < 1.0."},
      {1.0f, nullptr},
      {256.0f, nullptr},
      // A damaged header's multiplier would size tables past any file.
      {std::numeric_limits<float>::quiet_NaN(),
       "Binary format claims to have a probing multiplier of NaN which is not a number of at most 256."},
      {std::numeric_limits<float>::infinity(),
       "Binary format claims to have a probing multiplier of inf which is not a number of at most 256."},
      {1e30f, "Binary format claims to have a probing multiplier of 1e30 which is not a number of at most 256."},
  };
  TempDir dir;
  const std::string path = dir.File("file");
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.multiplier);
    WriteFile(path, HeaderBytes({4, 2}, c.multiplier, TRIE, false, 1));
    util::scoped_fd fd(util::OpenReadOrThrow(path.c_str()));
    Parameters params;
    if (c.message) {
      EXPECT_TRUE(EndsWith(ThrownText<FormatLoadException>([&] { ReadHeader(fd.get(), params); }), c.message));
    } else {
      ReadHeader(fd.get(), params);
      EXPECT_EQ(2, params.fixed.order);
      EXPECT_EQ(TRIE, params.fixed.model_type);
      EXPECT_FALSE(params.fixed.has_vocabulary);
      EXPECT_EQ(1u, params.fixed.search_version);
      EXPECT_EQ((std::vector<uint64_t>{4, 2}), params.counts);
    }
  }
}

TEST(BinaryFormatTest, MatchCheck) {
  const struct {
    unsigned int stored_type;
    unsigned int stored_version;
    ModelType type;
    unsigned int version;
    const char *message;
    const char *condition;
  } kCases[] = {
      {TRIE, 1, PROBING, 0,
       "The binary file was built for trie but the inference code is trying to load probing hash tables", nullptr},
      {7, 0, PROBING, 0, "The binary file claims to be model type 7 but this is not implemented for in this inference code.",
       nullptr},
      {PROBING, 1, PROBING, 0,
       "The binary file has probing hash tables version 1 but this code expects probing hash tables version 0",
       "because `search_version != params.fixed.search_version'."},
      {QUANT_ARRAY_TRIE, 1, QUANT_ARRAY_TRIE, 1, nullptr, nullptr},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(::testing::Message() << c.stored_type << " " << c.stored_version);
    Parameters params;
    params.fixed.model_type = static_cast<ModelType>(c.stored_type);
    params.fixed.search_version = c.stored_version;
    if (!c.message) {
      EXPECT_NO_THROW(MatchCheck(c.type, c.version, params));
      continue;
    }
    const std::string text = ThrownText<FormatLoadException>([&] { MatchCheck(c.type, c.version, params); });
    EXPECT_TRUE(EndsWith(text, c.message)) << text;
    if (c.condition) {
      EXPECT_NE(std::string::npos, text.find(c.condition)) << text;
    }
  }
}

TEST(BinaryFormatTest, RecognizeBinary) {
  TempDir dir;
  const std::string binary = dir.File("binary");
  WriteFile(binary, HeaderBytes({4, 2}, 1.5f, 7, false, 0));
  ModelType recognized = PROBING;
  EXPECT_TRUE(RecognizeBinary(binary.c_str(), recognized));
  EXPECT_EQ(7u, static_cast<unsigned int>(recognized));

  const std::string text = dir.File("text");
  WriteFile(text, "\\data\\\nngram 1=1\n" + std::string(100, '\n'));
  recognized = TRIE;
  EXPECT_FALSE(RecognizeBinary(text.c_str(), recognized));
  EXPECT_EQ(TRIE, recognized);

  EXPECT_THROW(RecognizeBinary(dir.File("missing").c_str(), recognized), util::ErrnoException);
}

TEST(BinaryFormatTest, TruncatedFileRefusedBySize) {
  TempDir dir;
  const std::string path = dir.File("model.bin");
  Build(BuildConfig(path.c_str(), Config::WRITE_WHEN_DONE, false));
  const uint64_t full = kHeader + Region().size();
  ASSERT_EQ(0, truncate(path.c_str(), full - 1));
  BinaryFormat format{Config()};
  Parameters params;
  format.InitializeBinary(util::OpenReadOrThrow(path.c_str()), REST_PROBING, 0, params);
  const std::string text = ThrownText<FormatLoadException>([&] { format.LoadBinary(Region().size()); });
  EXPECT_TRUE(EndsWith(text, "Binary file has size " + std::to_string(full - 1) +
                                 " but the headers say it should be at least " + std::to_string(full)))
      << text;
  EXPECT_NE(std::string::npos, text.find("`file_size != util::kBadSize && file_size < total_map'")) << text;
}

}  // namespace
}  // namespace ngram
}  // namespace lm
