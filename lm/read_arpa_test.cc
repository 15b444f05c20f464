#include "lm/read_arpa.hh"

#include "lm/magic.hh"
#include "util/standard_error_for_test.hh"
#include "util/temp_file_for_test.hh"

#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

namespace lm {
namespace {

// Identifiers 1, 2, ... in order of first insertion; "<unk>" and "<UNK>" are
// 0, as is every word never inserted.
class FakeVocab {
 public:
  WordIndex Insert(const StringPiece &word) {
    if (word == "<unk>" || word == "<UNK>") return 0;
    auto [it, inserted] = ids_.emplace(word.as_string(), next_);
    if (inserted) ++next_;
    return it->second;
  }

  WordIndex Index(const StringPiece &word) const {
    auto it = ids_.find(word.as_string());
    return it == ids_.end() ? 0 : it->second;
  }

 private:
  std::unordered_map<std::string, WordIndex> ids_;
  WordIndex next_ = 1;
};

// A file holding `text`, removed when the object goes.
typedef util::TempFileForTest TempFile;

struct NGram {
  std::vector<WordIndex> words;
  ProbBackoff weights;
};

struct Loaded {
  std::vector<uint64_t> counts;
  FakeVocab vocab;
  std::vector<ProbBackoff> unigrams;      // by identifier
  std::vector<std::vector<NGram>> orders;  // orders[n - 2]: the n-grams in file order
};

// Reads a whole ARPA file in the order every model load uses: lower orders
// into ProbBackoff records, the highest order (from 2 up) into Prob records.
Loaded Load(const std::string &name, WarnPolicy policy = THROW_ERROR) {
  Loaded out;
  util::FilePiece f(name.c_str());
  ReadARPACounts(f, out.counts);
  PositiveProbWarn warn(policy);
  if (!out.counts.empty()) {
    ReadNGramHeader(f, 1);
    out.unigrams.resize(out.counts[0] + 1);
    for (uint64_t i = 0; i < out.counts[0]; ++i) Read1Gram(f, out.vocab, out.unigrams.data(), warn);
  }
  for (unsigned char n = 2; n <= out.counts.size(); ++n) {
    ReadNGramHeader(f, n);
    std::vector<NGram> &entries = out.orders.emplace_back();
    for (uint64_t i = 0; i < out.counts[n - 1]; ++i) {
      NGram &entry = entries.emplace_back();
      entry.words.resize(n);
      if (n == out.counts.size()) {
        Prob prob;
        ReadNGram(f, n, out.vocab, entry.words.begin(), prob, warn);
        entry.weights = {prob.prob, 0.0f};
      } else {
        ReadNGram(f, n, out.vocab, entry.words.begin(), entry.weights, warn);
      }
    }
  }
  ReadEnd(f);
  return out;
}

Loaded LoadText(const std::string &text, WarnPolicy policy = THROW_ERROR) {
  TempFile file(text);
  return Load(file.Name(), policy);
}

uint32_t Bits(float value) { return std::bit_cast<uint32_t>(value); }
constexpr uint32_t kNegativeZeroBits = 0x80000000;

// Everything after the header line (the whole text when there is none).
std::string Body(const std::string &what) {
  std::size_t newline = what.find('\n');
  return newline == std::string::npos ? what : what.substr(newline + 1);
}

std::string HeaderLine(const std::string &what) { return what.substr(0, what.find('\n') + 1); }

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Declares one 1-gram, up to the first entry line (byte 28).
const std::string kUnigramHead = "\\data\\\nngram 1=1\n\n\\1-grams:\n";
// Declares the 1-grams a and b and one 2-gram, up to the first 2-gram (byte 59).
const std::string kBigramHead = "\\data\\\nngram 1=2\nngram 2=1\n\n\\1-grams:\n-1\ta\n-1\tb\n\n\\2-grams:\n";

TEST(ReadARPATest, HeadsEndWhereTheOffsetsAssume) {
  EXPECT_EQ(28u, kUnigramHead.size());
  EXPECT_EQ(59u, kBigramHead.size());
}

enum class Thrown { kFormat, kEndOfFile, kParseNumber };

struct FailureCase {
  const char *name;
  std::string text;
  Thrown thrown;
  // The whole message after the header line; "{file}" stands for the file name.
  std::string message;
  // The failed condition the header quotes, or null for an unconditional throw.
  const char *condition;
  // The function the header names as the thrower (FormatLoadException only).
  const char *raiser;
};

const FailureCase kFailures[] = {
    {"CommentAmongCounts", "\\data\\\nngram 1=1\n# note\n\n", Thrown::kFormat,
     "count line \"# note\"doesn't begin with \"ngram \"", nullptr, "ReadARPACounts"},
    {"OrdersNotConsecutive", "\\data\\\nngram 1=1\nngram 3=1\n\n", Thrown::kFormat,
     "ngram count lengths should be consecutive starting with 1: ngram 3=1", nullptr, "ReadARPACounts"},
    {"OrderMissing", "\\data\\\nngram =1\n\n", Thrown::kFormat,
     "ngram count lengths should be consecutive starting with 1: ngram =1", nullptr, "ReadARPACounts"},
    {"SpaceBeforeEquals", "\\data\\\nngram 1 =1\n\n", Thrown::kFormat,
     "Expected = immediately following the first number in the count line ngram 1 =1", nullptr, "ReadARPACounts"},
    {"CountNotANumber", "\\data\\\nngram 1=abc\n\n", Thrown::kFormat, "Bad count abc", "!stream",
     "ReadCount"},
    // A sign would once wrap to an enormous count.
    {"NegativeCount", "\\data\\\nngram 1=2\nngram 2=-8\n\n", Thrown::kFormat, "Bad count -8",
     "!stream", "ReadCount"},
    {"CountAboveTheLimit", "\\data\\\nngram 1=2\nngram 2=17592186044417\n\n", Thrown::kFormat,
     "The model claims 17592186044417 2-grams but at most 17592186044416 are supported", "counts[n] > kMaxCount",
     "CheckCountRange"},
    {"UnigramsBeyondTheIdentifiers", "\\data\\\nngram 1=4294967295\n\n", Thrown::kFormat,
     "The model claims 4294967295 1-grams but word identifiers allow fewer than 4294967295",
     "!counts.empty() && counts[0] >= kMaxWordIndex", "CheckCountRange"},
    {"LongLineQuotedInPart", "\\data\\\nngram 1=1\n" + std::string(300, 'x') + "\n\n", Thrown::kFormat,
     "count line \"" + std::string(256, 'x') + "... (300 bytes in all)\"doesn't begin with \"ngram \"", nullptr,
     "ReadARPACounts"},
    // The word list of a binary file separates words with NUL bytes.
    {"NulInWord", kUnigramHead + std::string("-1\ta\0b\n", 8), Thrown::kFormat,
     "A word contains a NUL byte in the 1-gram at byte 34",
     "std::memchr(word.data(), '\\0', word.size())", "Read1Gram"},
    {"CountBeyond64Bits", "\\data\\\nngram 1=18446744073709551616\n\n", Thrown::kFormat,
     "Bad count 18446744073709551616", "!stream", "ReadCount"},
    {"SingleByteFirstLine", "\n \t\n# comment\nx\n", Thrown::kFormat,
     "first non-empty line was \"x\" not \\data\\.", nullptr,
     "ReadARPACounts"},
    {"Gzip", "\x1f\x8bxy\n", Thrown::kFormat,
     "Looks like a gzip file.  If this is an ARPA file, pipe {file} through zcat.  If this already in binary format, "
     "you need to decompress it because mmap doesn't work on top of gzip.",
     nullptr, "ReadARPACounts"},
    {"BinaryModel", std::string(ngram::kMagicPrefix) + std::string("\0\0\1\n", 4), Thrown::kFormat,
     "This looks like a binary file but got sent to the ARPA parser.  Did you compress the binary file or pass a "
     "binary file where only ARPA files are accepted?",
     nullptr, "ReadARPACounts"},
    {"IRSTLMBinary", "blmt 3\n", Thrown::kFormat,
     "This looks like an IRSTLM binary file.  Did you forget to pass --text yes to compile-lm?",
     "line.size() >= 4 && StringPiece(line.data(), 4) == \"blmt\"", "ReadARPACounts"},
    {"IRSTLMiARPA", "iARPA\n", Thrown::kFormat,
     "This looks like an IRSTLM iARPA file.  You need an ARPA file.  Run\n  compile-lm --text yes {file} "
     "{file}.arpa\nfirst.",
     "line == \"iARPA\"", "ReadARPACounts"},
    {"EndsBeforeData", "# only a comment\n", Thrown::kFormat,
     "The file has no \\data\\ line: it is neither an ARPA file nor a binary model.",
     "!in.ReadLineOrEOF(line, '\\n', true)", "ReadARPACounts"},
    {"HeaderWithTrailingSpace", "\\data\\\nngram 1=1\n\n\\1-grams: \n-1\ta\n", Thrown::kFormat,
     "Was expecting n-gram header \\1-grams: but got \\1-grams:  instead", nullptr, "ReadNGramHeader"},
    {"HeaderOfWrongOrder", kBigramHead.substr(0, 49) + "\\3-grams:\n", Thrown::kFormat,
     "Was expecting n-gram header \\2-grams: but got \\3-grams: instead", nullptr, "ReadNGramHeader"},
    // "-1" is bytes 28-29; get() consumes the blank at 30.
    {"SpaceAfterUnigramProbability", kUnigramHead + "-1 a\n", Thrown::kFormat,
     "Expected tab after probability in the 1-gram at byte 31", "f.get() != '\\t'", "Read1Gram"},
    {"ProbabilityNotANumber", kUnigramHead + "abc\ta\n", Thrown::kParseNumber,
     "Could not parse \"abc\" into a float in the 1-gram at byte 28", nullptr, nullptr},
    // The word "a" is byte 31; get() consumes the blank at 32.
    {"SpaceThenTabBeforeBackoff", kUnigramHead + "-1\ta \t-0.5\n", Thrown::kFormat,
     "Expected tab or newline for backoff in the 1-gram at byte 33", nullptr, "ReadBackoff"},
    // "-0.5" is bytes 33-36; get() consumes the blank at 37.
    {"SpaceAfterBackoff", kUnigramHead + "-1\ta\t-0.5 \n", Thrown::kFormat,
     "Expected newline after backoffs, got   in the 1-gram at byte 38", nullptr, "ReadBackoff"},
    {"CarriageReturnWithoutNewline", kUnigramHead + "-1\ta\t-0.5\rx\n", Thrown::kFormat,
     "Expected newline got 'x' in the 1-gram at byte 39", "'\\n' != follow", "ConsumeNewline"},
    {"InfiniteBackoff", kUnigramHead + "-1\ta\t-inf\n", Thrown::kFormat, "Bad backoff -inf in the 1-gram at byte 37",
     "float_class == 0x02 || float_class == 0x01", "ReadBackoff"},
    {"PositiveUnigramProbability", kUnigramHead + "0.5\ta\n", Thrown::kFormat,
     "Positive log probability 0.5 in the model.  This is a bug in IRSTLM; you can set "
     "config.positive_log_probability = SILENT or pass -i to packmodel to substitute 0.0 for the log probability.  "
     "Error in the 1-gram at byte 31",
     nullptr, "PositiveProbWarn::Warn"},
    {"EndsInsideUnigram", kUnigramHead + "-1\ta", Thrown::kEndOfFile, "End of file in the 1-gram at byte 32",
     nullptr, nullptr},
    {"MoreUnigramsThanDeclared", kUnigramHead + "-1\ta\n-1\tb\n\n\\end\\\n", Thrown::kFormat,
     "Expected \\end\\ but the ARPA file has -1\tb", nullptr, "ReadEnd"},
    // "-1\ta " is bytes 59-63; reading the word "c" at 64 leaves the reader at 65.
    {"UnknownWord", kBigramHead + "-1\ta c\n\\end\\\n", Thrown::kFormat,
     "Word c was not seen in the unigrams (which are supposed to list the entire vocabulary) but appears in the "
     "2-gram at byte 65",
     "index == 0 && (word != StringPiece(\"<unk>\", 5)) && (word != StringPiece(\"<UNK>\", 5))", "ReadNGram"},
    {"NonZeroHighestOrderBackoff", kBigramHead + "-1\ta b\t-0.5\n\\end\\\n", Thrown::kFormat,
     "Non-zero backoff -0.5 provided for an n-gram that should have no backoff in the 2-gram at byte 70", nullptr,
     "ReadBackoff"},
    {"ThirdWordInBigram", kBigramHead + "-1\ta b a\n\\end\\\n", Thrown::kFormat,
     "Expected tab or newline for backoff in the 2-gram at byte 66", nullptr, "ReadBackoff"},
    {"PositiveBigramProbability", kBigramHead + "0.5\ta b\n\\end\\\n", Thrown::kFormat,
     "Positive log probability 0.5 in the model.  This is a bug in IRSTLM; you can set "
     "config.positive_log_probability = SILENT or pass -i to packmodel to substitute 0.0 for the log probability.  "
     "Error in the 2-gram at byte 62",
     nullptr, "PositiveProbWarn::Warn"},
    {"TrailingLine", kUnigramHead + "-1\ta\n\n\\end\\\n \n\njunk\n", Thrown::kFormat, "Trailing line junk",
     nullptr, "ReadEnd"},
    {"NoEnd", kUnigramHead + "-1\ta\n\n\n", Thrown::kEndOfFile, "End of file", nullptr, nullptr},
};

class ReadARPAFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(ReadARPAFailureTest, RefusesWithPosition) {
  const FailureCase &c = GetParam();
  TempFile file(c.text);
  try {
    Load(file.Name());
    ADD_FAILURE() << "no exception";
  } catch (const util::Exception &e) {
    const std::string what = e.what();
    EXPECT_EQ(ReplaceAll(c.message, "{file}", file.Name()), Body(what));
    switch (c.thrown) {
      case Thrown::kFormat: {
        EXPECT_NE(nullptr, dynamic_cast<const FormatLoadException *>(&e)) << what;
        const std::string header = HeaderLine(what);
        EXPECT_EQ(0u, header.find("lm/read_arpa:")) << header;
        EXPECT_NE(std::string::npos, header.find(std::string("::") + c.raiser + "(")) << header;
        const std::string tail = c.condition ? std::string(" threw FormatLoadException because `") + c.condition +
                                                   "'.\n"
                                             : std::string(" threw FormatLoadException.\n");
        EXPECT_TRUE(header.ends_with(tail)) << header;
        break;
      }
      case Thrown::kEndOfFile:
        EXPECT_NE(nullptr, dynamic_cast<const util::EndOfFileException *>(&e)) << what;
        break;
      case Thrown::kParseNumber:
        EXPECT_NE(nullptr, dynamic_cast<const util::ParseNumberException *>(&e)) << what;
        break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadARPAFailureTest, testing::ValuesIn(kFailures),
                         [](const testing::TestParamInfo<FailureCase> &info) { return info.param.name; });

TEST(ReadARPATest, ReadsAModel) {
  Loaded loaded = LoadText(
      "# made by hand\n"
      "\n"
      "  \t\n"
      "\\data\\\n"
      "ngram 1=4\n"
      "ngram 2=3\n"
      "ngram 3=1\n"
      " \t\n"
      "\\1-grams:\n"
      "-1.5\t<s>\t-0.25\n"
      "-2\ta\n"
      "-0.5\tb\t0\n"
      "-3\t</s>\t-0\n"
      "\n"
      "\\2-grams:\n"
      "-0.5\t<s> a\t-0.125\n"
      "-0.75 \t a\t\t b\n"
      "-1\t<UNK> <unk>\t0.0\n"
      "\n"
      "\\3-grams:\n"
      "-0.25\t<s> a b\t0\n"
      "\n"
      "\\end\\\n"
      "\n"
      " \t\n");
  ASSERT_EQ((std::vector<uint64_t>{4, 3, 1}), loaded.counts);

  const FakeVocab &vocab = loaded.vocab;
  ASSERT_EQ(1u, vocab.Index("<s>"));
  ASSERT_EQ(4u, vocab.Index("</s>"));
  EXPECT_EQ(-1.5f, loaded.unigrams[1].prob);
  EXPECT_EQ(-0.25f, loaded.unigrams[1].backoff);
  EXPECT_EQ(-2.0f, loaded.unigrams[2].prob);
  // Absent, "0" and "-0" backoffs all become the no-extension marker.
  for (WordIndex word = 2; word <= 4; ++word) {
    EXPECT_EQ(kNegativeZeroBits, Bits(loaded.unigrams[word].backoff)) << word;
  }

  ASSERT_EQ(2u, loaded.orders.size());
  const std::vector<NGram> &bigrams = loaded.orders[0];
  EXPECT_EQ((std::vector<WordIndex>{1, 2}), bigrams[0].words);
  EXPECT_EQ(-0.125f, bigrams[0].weights.backoff);
  // Blanks and tabs mixed between the tokens of a 2-gram.
  EXPECT_EQ((std::vector<WordIndex>{2, 3}), bigrams[1].words);
  EXPECT_EQ(-0.75f, bigrams[1].weights.prob);
  EXPECT_EQ(kNegativeZeroBits, Bits(bigrams[1].weights.backoff));
  // Unlisted <UNK> and <unk> are accepted as identifier 0.
  EXPECT_EQ((std::vector<WordIndex>{0, 0}), bigrams[2].words);
  EXPECT_EQ(kNegativeZeroBits, Bits(bigrams[2].weights.backoff));

  // The highest order accepts a tab and a zero.
  EXPECT_EQ((std::vector<WordIndex>{1, 2, 3}), loaded.orders[1][0].words);
  EXPECT_EQ(-0.25f, loaded.orders[1][0].weights.prob);
}

TEST(ReadARPATest, AcceptsCarriageReturnLineEnds) {
  Loaded loaded = LoadText(
      "\\data\\\r\n"
      "ngram 1=2\r\n"
      "ngram 2=2\r\n"
      "\r\n"
      "\\1-grams:\r\n"
      "-1\ta\t-0.5\r\n"
      "-2\tb\r\n"
      "\r\n"
      "\\2-grams:\r\n"
      "-0.5\ta b\r\n"
      "-0.25\tb a\t0\r\n"
      "\r\n"
      "\\end\\\r\n");
  ASSERT_EQ((std::vector<uint64_t>{2, 2}), loaded.counts);
  EXPECT_EQ(-0.5f, loaded.unigrams[1].backoff);
  EXPECT_EQ(kNegativeZeroBits, Bits(loaded.unigrams[2].backoff));
  EXPECT_EQ((std::vector<WordIndex>{1, 2}), loaded.orders[0][0].words);
  EXPECT_EQ((std::vector<WordIndex>{2, 1}), loaded.orders[0][1].words);
  EXPECT_EQ(-0.25f, loaded.orders[0][1].weights.prob);
}

TEST(ReadARPATest, EmptyCountList) {
  TempFile file("\\data\\\n\nrest\n");
  util::FilePiece f(file.Name());
  std::vector<uint64_t> counts{7};
  ReadARPACounts(f, counts);
  EXPECT_TRUE(counts.empty());
  EXPECT_EQ("rest", f.ReadLine());
}

TEST(ReadARPATest, CountIsTheLeadingNumber) {
  const struct {
    const char *line;
    uint64_t count;
  } kCases[] = {
      {"ngram 1=12abc", 12},
      {"ngram 1= \t7 8", 7},
      {"ngram 1=4294967294", 4294967294},
      {"ngram 1=+3", 3},
      {"ngram +1=0", 0},
  };
  for (const auto &c : kCases) {
    TempFile file(std::string("\\data\\\n") + c.line + "\n\n");
    util::FilePiece f(file.Name());
    std::vector<uint64_t> counts;
    ReadARPACounts(f, counts);
    EXPECT_EQ(std::vector<uint64_t>{c.count}, counts) << c.line;
  }
}

TEST(ReadARPATest, VerticalTabAndFormFeedBelongToTheWord) {
  Loaded loaded = LoadText("\\data\\\nngram 1=2\n\n\\1-grams:\n-1\ta\vb\n-1\t\fc\f\n\n\\end\\\n");
  EXPECT_EQ(1u, loaded.vocab.Index(StringPiece("a\vb", 3)));
  EXPECT_EQ(2u, loaded.vocab.Index(StringPiece("\fc\f", 3)));
  EXPECT_EQ(0u, loaded.vocab.Index("a"));
}

// Two positive probabilities, one a 1-gram and one a 2-gram.
const std::string kPositive = "\\data\\\nngram 1=2\nngram 2=1\n\n\\1-grams:\n0.5\ta\n-1\tb\n\n\\2-grams:\n0.25\ta b\n\n"
                              "\\end\\\n";

TEST(ReadARPATest, PositiveProbabilityComplainsOnce) {
  Loaded loaded;
  std::string complaint = util::StandardErrorOf([&] { loaded = LoadText(kPositive, COMPLAIN); });
  EXPECT_EQ(
      "There's a positive log probability 0.5 in the APRA file, probably because of a bug in IRSTLM.  This and "
      "subsequent entires will be mapped to 0 log probability.\n",
      complaint);
  EXPECT_EQ(0u, Bits(loaded.unigrams[1].prob));
  EXPECT_EQ(0u, Bits(loaded.orders[0][0].weights.prob));
}

TEST(ReadARPATest, PositiveProbabilitySilent) {
  Loaded loaded;
  EXPECT_EQ("", util::StandardErrorOf([&] { loaded = LoadText(kPositive, SILENT); }));
  EXPECT_EQ(0u, Bits(loaded.unigrams[1].prob));
  EXPECT_EQ(0u, Bits(loaded.orders[0][0].weights.prob));
}

TEST(ReadARPATest, DefaultWarnThrows) {
  PositiveProbWarn warn;
  EXPECT_THROW(warn.Warn(1.0f), FormatLoadException);
}

TEST(ReadARPATest, ARPASpacesAreTabNewlineCarriageReturnAndSpace) {
  for (int byte = 0; byte < 256; ++byte) {
    bool expected = byte == '\t' || byte == '\n' || byte == '\r' || byte == ' ';
    EXPECT_EQ(expected, kARPASpaces[byte]) << byte;
  }
}

}  // namespace
}  // namespace lm
