#include "lm/read_arpa.hh"

#include "lm/blank.hh"
#include "lm/magic.hh"
#include "util/exception.hh"
#include "util/number_format.hh"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace lm {

// Tab, newline, carriage return and space; the remaining entries are false.
const bool kARPASpaces[256] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};

namespace {

// Empty, or made only of the bytes isspace accepts in the default locale.
bool IsEntirelyWhiteSpace(const StringPiece &line) {
  for (char c : line) {
    if (!util::kSpaces[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

StringPiece ReadARPALine(util::FilePiece &in) { return in.ReadLine('\n', true); }

StringPiece ReadNonBlankLine(util::FilePiece &in) {
  StringPiece line;
  do {
    line = ReadARPALine(in);
  } while (IsEntirelyWhiteSpace(line));
  return line;
}

// The count after "=": leading whitespace skipped, then decimal digits (a
// plus sign allowed) that must fit in 64 bits; trailing text is ignored.  A
// minus sign is refused rather than wrapped to an enormous count.
uint64_t ReadCount(const std::string &from) {
  std::size_t start = 0;
  while (start < from.size() && util::kSpaces[static_cast<unsigned char>(from[start])]) ++start;
  if (start < from.size() && from[start] == '+') ++start;
  uint64_t ret;
  const std::from_chars_result parsed = std::from_chars(from.data() + start, from.data() + from.size(), ret);
  UTIL_THROW_IF_TEXT(parsed.ec != std::errc(), "!stream", FormatLoadException, , "Bad count " << util::Excerpt(from));
  return ret;
}

}  // namespace

void CheckCountRange(const std::vector<uint64_t> &counts) {
  for (std::size_t n = 0; n < counts.size(); ++n) {
    UTIL_THROW_IF(counts[n] > kMaxCount, FormatLoadException,
                  "The model claims " << counts[n] << " " << (n + 1) << "-grams but at most " << kMaxCount
                                      << " are supported");
  }
  UTIL_THROW_IF(!counts.empty() && counts[0] >= kMaxWordIndex, FormatLoadException,
                "The model claims " << counts[0] << " 1-grams but word identifiers allow fewer than "
                                    << kMaxWordIndex);
}

void ReadARPACounts(util::FilePiece &in, std::vector<uint64_t> &counts) {
  counts.clear();
  StringPiece line;
  do {
    UTIL_THROW_IF(!in.ReadLineOrEOF(line, '\n', true), FormatLoadException,
                  "The file has no \\data\\ line: it is neither an ARPA file nor a binary model.");
  } while (IsEntirelyWhiteSpace(line) || line[0] == '#');

  if (line != "\\data\\") {
    // Say what the file looks like instead.
    if (line.size() >= 2 && line[0] == '\x1f' && line[1] == '\x8b') {
      UTIL_THROW(FormatLoadException, "Looks like a gzip file.  If this is an ARPA file, pipe "
                                          << in.SourceName()
                                          << " through zcat.  If this already in binary format, you need to "
                                             "decompress it because mmap doesn't work on top of gzip.");
    }
    constexpr std::size_t kMagicLength = sizeof(ngram::kMagicPrefix) - 1;
    if (line.size() >= kMagicLength && StringPiece(line.data(), kMagicLength) == ngram::kMagicPrefix) {
      UTIL_THROW(FormatLoadException,
                 "This looks like a binary file but got sent to the ARPA parser.  Did you compress the binary file "
                 "or pass a binary file where only ARPA files are accepted?");
    }
    UTIL_THROW_IF(line.size() >= 4 && StringPiece(line.data(), 4) == "blmt", FormatLoadException,
                  "This looks like an IRSTLM binary file.  Did you forget to pass --text yes to compile-lm?");
    UTIL_THROW_IF(line == "iARPA", FormatLoadException,
                  "This looks like an IRSTLM iARPA file.  You need an ARPA file.  Run\n  compile-lm --text yes "
                      << in.SourceName() << " " << in.SourceName() << ".arpa\nfirst.");
    UTIL_THROW(FormatLoadException, "first non-empty line was \"" << util::Excerpt(line) << "\" not \\data\\.");
  }

  while (!IsEntirelyWhiteSpace(line = ReadARPALine(in))) {
    if (line.size() < 6 || std::memcmp(line.data(), "ngram ", 6)) {
      UTIL_THROW(FormatLoadException, "count line \"" << util::Excerpt(line) << "\"doesn't begin with \"ngram \"");
    }
    // A copy of its own so that strtol stops at the end of the line.
    const std::string remaining(line.data() + 6, line.size() - 6);
    char *end_ptr;
    const unsigned int order = static_cast<unsigned int>(std::strtol(remaining.c_str(), &end_ptr, 10));
    if (end_ptr == remaining.c_str() || order - 1 != counts.size()) {
      UTIL_THROW(FormatLoadException, "ngram count lengths should be consecutive starting with 1: " << util::Excerpt(line));
    }
    if (*end_ptr != '=') {
      UTIL_THROW(FormatLoadException,
                 "Expected = immediately following the first number in the count line " << util::Excerpt(line));
    }
    counts.push_back(ReadCount(remaining.substr(end_ptr + 1 - remaining.c_str())));
  }
  CheckCountRange(counts);
}

void ReadNGramHeader(util::FilePiece &in, unsigned int order) {
  const StringPiece line = ReadNonBlankLine(in);
  char expected_buf[1 + util::ToStringBuf<uint32_t>::kBytes + 7];
  expected_buf[0] = '\\';
  char *end = util::ToString(static_cast<uint32_t>(order), expected_buf + 1);
  std::memcpy(end, "-grams:", 7);
  const StringPiece expected(expected_buf, end + 7 - expected_buf);
  if (line != expected) {
    UTIL_THROW(FormatLoadException, "Was expecting n-gram header " << expected << " but got " << util::Excerpt(line) << " instead");
  }
}

void ReadBackoff(util::FilePiece &in, Prob & /*weights*/) {
  switch (in.get()) {
    case '\t': {
      const float got = in.ReadFloat();
      if (got != 0.0f) {
        UTIL_THROW(FormatLoadException,
                   "Non-zero backoff " << got << " provided for an n-gram that should have no backoff");
      }
      break;
    }
    case '\r':
      ConsumeNewline(in);
      break;
    case '\n':
      break;
    default:
      UTIL_THROW(FormatLoadException, "Expected tab or newline for backoff");
  }
}

void ReadBackoff(util::FilePiece &in, float &backoff) {
  switch (in.get()) {
    case '\t': {
      backoff = in.ReadFloat();
      if (backoff == 0.0f) backoff = kNoExtensionBackoff;
      UTIL_THROW_IF_TEXT(std::isnan(backoff) || std::isinf(backoff), "float_class == 0x02 || float_class == 0x01",
                         FormatLoadException, , "Bad backoff " << backoff);
      const char follow = in.get();
      if (follow == '\r') {
        ConsumeNewline(in);
      } else if (follow != '\n') {
        UTIL_THROW(FormatLoadException, "Expected newline after backoffs, got " << follow);
      }
      break;
    }
    case '\r':
      ConsumeNewline(in);
      backoff = kNoExtensionBackoff;
      break;
    case '\n':
      backoff = kNoExtensionBackoff;
      break;
    default:
      UTIL_THROW(FormatLoadException, "Expected tab or newline for backoff");
  }
}

void ConsumeNewline(util::FilePiece &in) {
  const char follow = in.get();
  UTIL_THROW_IF('\n' != follow, FormatLoadException, "Expected newline got '" << follow << "'");
}

void ReadEnd(util::FilePiece &in) {
  const StringPiece line = ReadNonBlankLine(in);
  if (line != "\\end\\") UTIL_THROW(FormatLoadException, "Expected \\end\\ but the ARPA file has " << util::Excerpt(line));
  StringPiece trailing;
  while (in.ReadLineOrEOF(trailing, '\n', true)) {
    if (!IsEntirelyWhiteSpace(trailing)) UTIL_THROW(FormatLoadException, "Trailing line " << util::Excerpt(trailing));
  }
}

void PositiveProbWarn::Warn(float prob) {
  switch (action_) {
    case THROW_ERROR:
      UTIL_THROW(FormatLoadException,
                 "Positive log probability "
                     << prob
                     << " in the model.  This is a bug in IRSTLM; you can set config.positive_log_probability = "
                        "SILENT or pass -i to packmodel to substitute 0.0 for the log probability.  Error");
    case COMPLAIN:
      std::cerr << "There's a positive log probability " << prob
                << " in the APRA file, probably because of a bug in IRSTLM.  This and subsequent entires will be "
                   "mapped to 0 log probability."
                << std::endl;
      action_ = SILENT;
      break;
    case SILENT:
      break;
  }
}

}  // namespace lm
