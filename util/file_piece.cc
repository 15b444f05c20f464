#include "util/file_piece.hh"

#include <double-conversion/string-to-double.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <type_traits>
#include <utility>

namespace util {

// Entries 9 to 13 (tab, newline, vertical tab, form feed, carriage return)
// and 32 (space) are true; all others are false.
const bool kSpaces[256] = {
    false, false, false, false, false, false, false, false, false,                         // 0-8
    true,  true,  true,  true,  true,                                                      // 9-13
    false, false, false, false, false, false, false, false, false, false, false, false,  // 14-25
    false, false, false, false, false, false,                                            // 26-31
    true};                                                                               // 32

namespace {

const std::size_t kPageSize = SizePage();

const double_conversion::StringToDoubleConverter kConverter(
    double_conversion::StringToDoubleConverter::ALLOW_TRAILING_JUNK |
        double_conversion::StringToDoubleConverter::ALLOW_LEADING_SPACES,
    std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN(), "inf", "NaN");

std::size_t WindowSize(std::size_t minimum_buffer) {
  return kPageSize * std::max<std::size_t>(minimum_buffer / kPageSize + 1, 2);
}

// The offending token of a number error: the text up to its first blank.
StringPiece FirstToken(StringPiece text) {
  const char *at = text.begin();
  while (at != text.end() && !kSpaces[static_cast<unsigned char>(*at)]) ++at;
  return StringPiece(text.data(), static_cast<std::size_t>(at - text.data()));
}

// Powers of ten that float and double represent exactly.
template <class Float> struct ExactPowers;
template <> struct ExactPowers<float> {
  static constexpr int kMax = 10;
  static constexpr uint64_t kMaxMantissa = uint64_t(1) << 24;
  static constexpr float kPowers[kMax + 1] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
};
template <> struct ExactPowers<double> {
  static constexpr int kMax = 22;
  static constexpr uint64_t kMaxMantissa = uint64_t(1) << 53;
  static constexpr double kPowers[kMax + 1] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                               1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
};

// The common shape of numbers in ARPA files, an optional '-', digits and an
// optional '.' followed by digits, read without the converter when the
// digits (as an integer) and the power of ten are both exact in Float: the
// hardware then rounds the quotient correctly, which is the value the
// converter returns.  Anything else (a '+', an exponent, a long mantissa, a
// number not followed by a blank) returns null and goes to the converter.
template <class Float> const char *ParseDecimal(const char *at, Float &out) {
  const bool negative = *at == '-';
  at += negative;
  uint64_t mantissa = 0;
  const char *const digits = at;
  for (; static_cast<unsigned char>(*at - '0') < 10 && at - digits < 19; ++at) mantissa = mantissa * 10 + (*at - '0');
  if (at == digits) return nullptr;
  int scale = 0;
  if (*at == '.') {
    const char *const fraction = ++at;
    for (; static_cast<unsigned char>(*at - '0') < 10 && at - digits < 20; ++at) mantissa = mantissa * 10 + (*at - '0');
    scale = static_cast<int>(at - fraction);
    if (!scale) return nullptr;
  }
  if (!kSpaces[static_cast<unsigned char>(*at)] || scale > ExactPowers<Float>::kMax ||
      mantissa > ExactPowers<Float>::kMaxMantissa) {
    return nullptr;
  }
  const Float value = static_cast<Float>(mantissa) / ExactPowers<Float>::kPowers[scale];
  out = negative ? -value : value;
  return at;
}

// Each parser reads a number from the front of `text`, which is followed by a
// blank inside `text` or by a NUL, and returns the end of the number.
template <class Float> const char *ParseFloating(StringPiece text, Float &out, const char *type_name) {
  if (const char *end = ParseDecimal(text.data(), out)) return end;
  int length = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
  int processed;
  if constexpr (std::is_same_v<Float, float>) {
    out = kConverter.StringToFloat(text.data(), length, &processed);
  } else {
    out = kConverter.StringToDouble(text.data(), length, &processed);
  }
  if (!std::isnan(out)) return text.data() + processed;
  StringPiece token = FirstToken(text);
  UTIL_THROW_IF_TEXT(token != "NaN" && token != "nan",
                     "CrossPlatformIsNaN(out) && str != \"NaN\" && str != \"nan\"", ParseNumberException,
                     (token), type_name);
  return token.end();
}

const char *ParseNumber(StringPiece str, float &out) { return ParseFloating(str, out, "float"); }

const char *ParseNumber(StringPiece str, double &out) { return ParseFloating(str, out, "double"); }

const char *ParseNumber(StringPiece str, long &out) {
  char *end;
  errno = 0;
  out = std::strtol(str.data(), &end, 10);
  UTIL_THROW_IF_ARG(errno || (end == str.data()), ParseNumberException, (FirstToken(str)), "long int");
  return end;
}

const char *ParseNumber(StringPiece str, unsigned long &out) {
  char *end;
  errno = 0;
  out = std::strtoul(str.data(), &end, 10);
  UTIL_THROW_IF_ARG(errno || (end == str.data()), ParseNumberException, (FirstToken(str)), "unsigned long int");
  return end;
}

}  // namespace

FilePiece::FilePiece(const char *name, std::ostream *progress_stream, std::size_t minimum_buffer)
    : FilePiece(Source{name, OpenReadOrThrow(name)}, progress_stream, minimum_buffer) {}

FilePiece::FilePiece(int fd, const char *name, std::ostream *progress_stream, std::size_t minimum_buffer)
    : FilePiece(Source{name ? std::string(name) : NameFromFD(fd), fd}, progress_stream, minimum_buffer) {}

FilePiece::FilePiece(Source source, std::ostream *progress_stream, std::size_t minimum_buffer)
    : file_(source.fd),
      total_size_(SizeFile(file_.get())),
      progress_(total_size_, total_size_ == kBadSize ? nullptr : progress_stream, "Reading " + source.name),
      file_name_(std::move(source.name)) {
  Initialize(progress_stream, minimum_buffer);
}

FilePiece::FilePiece(std::istream &input, const char *, std::size_t minimum_buffer)
    : total_size_(kBadSize), window_size_(WindowSize(minimum_buffer)), reading_(true), file_name_("istream") {
  HugeMalloc(window_size_, false, data_);
  position_ = data_.begin();
  position_end_ = position_;
  last_space_end_ = position_;
  reader_.Reset(input);
}

FilePiece::~FilePiece() {}

void FilePiece::Initialize(std::ostream *progress_stream, std::size_t minimum_buffer) {
  window_size_ = WindowSize(minimum_buffer);
  bool positioned = true;
  uint64_t start = 0;
  try {
    start = AdvanceOrThrow(file_.get(), 0);
  } catch (const FDException &) {
    positioned = false;
  }
  if (positioned && total_size_ != kBadSize) {
    mapped_offset_ = start;
  } else {
    if (progress_stream) {
      *progress_stream << "File " << file_name_
                       << " isn't normal.  Using slower read() instead of mmap().  No progress bar." << std::endl;
    }
    TransitionToRead();
  }
  Shift();
  if (position_end_ - position_ >= static_cast<std::ptrdiff_t>(ReadCompressed::kMagicSize) &&
      ReadCompressed::DetectCompressedMagic(position_) && !reading_) {
    at_end_ = false;
    TransitionToRead();
  }
}

bool FilePiece::ReadLineOrEOF(StringPiece &to, char delimiter, bool drop_carriage_return) {
  std::size_t searched = 0;
  while (true) {
    const char *from = position_ + searched;
    const void *found = std::memchr(from, delimiter, static_cast<std::size_t>(position_end_ - from));
    if (found) {
      const char *line_end = static_cast<const char *>(found);
      to = Consume(line_end);
      ++position_;
      if (drop_carriage_return && !to.empty() && to.end()[-1] == '\r') to = StringPiece(to.data(), to.size() - 1);
      return true;
    }
    if (at_end_) {
      if (position_ == position_end_) {
        progress_.Finished();
        return false;
      }
      to = Consume(position_end_);
      return true;
    }
    searched = static_cast<std::size_t>(position_end_ - position_);
    Shift();
  }
}

StringPiece FilePiece::ReadLine(char delimiter, bool drop_carriage_return) {
  StringPiece line;
  if (!ReadLineOrEOF(line, delimiter, drop_carriage_return)) EndOfInput();
  return line;
}

const char *FilePiece::FindDelimiterAfterRefill(const bool *delimiter) {
  std::size_t scanned = static_cast<std::size_t>(position_end_ - position_);
  while (true) {
    if (at_end_) {
      if (position_ == position_end_) EndOfInput();
      return position_end_;
    }
    Shift();
    for (const char *at = position_ + scanned; at != position_end_; ++at)
      if (delimiter[static_cast<unsigned char>(*at)]) return at;
    scanned = static_cast<std::size_t>(position_end_ - position_);
  }
}

template <class T> T FilePiece::ReadNumber() {
  SkipDelimiters(kSpaces);
  // The blank after the number must lie in the buffer to stop the parse.
  while (last_space_end_ <= position_) {
    if (at_end_) return ReadNumberAtEnd<T>();
    Shift();
  }
  T ret;
  position_ = ParseNumber(StringPiece(position_, static_cast<std::size_t>(last_space_end_ - 1 - position_)), ret);
  return ret;
}

// The rest of the input is one number without a blank after it: parse a
// NUL-terminated copy.
template <class T> T FilePiece::ReadNumberAtEnd() {
  if (position_ == position_end_) EndOfInput();
  std::string copy(position_, position_end_);
  T ret;
  const char *end = ParseNumber(StringPiece(copy), ret);
  position_ += end - copy.data();
  return ret;
}

float FilePiece::ReadFloat() { return ReadNumber<float>(); }
double FilePiece::ReadDouble() { return ReadNumber<double>(); }
long FilePiece::ReadLong() { return ReadNumber<long>(); }
unsigned long FilePiece::ReadULong() { return ReadNumber<unsigned long>(); }

void FilePiece::UpdateProgress() {
  if (!reading_) progress_.MoveTo(ByteOffset());
}

void FilePiece::EndOfInput() {
  progress_.Finished();
  throw EndOfFileException();
}

void FilePiece::Shift() {
  if (at_end_) EndOfInput();
  uint64_t desired_begin = ByteOffset();
  if (reading_) {
    ReadShift();
  } else {
    MapShift(desired_begin);
  }
  last_space_end_ = position_end_;
  while (last_space_end_ > position_ && !kSpaces[static_cast<unsigned char>(last_space_end_[-1])]) --last_space_end_;
}

void FilePiece::MapShift(uint64_t desired_begin) {
  uint64_t ignore = desired_begin % kPageSize;
  uint64_t mapped_offset = desired_begin - ignore;
  const char *start = data_.begin();
  // Nothing consumed since the last window was mapped: one line or token
  // needs a longer window.
  if (start && position_ == start + ignore) GrowWindow();
  uint64_t remaining = total_size_ > mapped_offset ? total_size_ - mapped_offset : 0;
  uint64_t mapped_size = window_size_;
  if (mapped_size >= remaining) {
    at_end_ = true;
    mapped_size = remaining;
  }
  data_.reset();
  MapRead(POPULATE_OR_LAZY, file_.get(), mapped_offset, static_cast<std::size_t>(mapped_size), data_);
  mapped_offset_ = mapped_offset;
  start = data_.begin();
  position_ = start + ignore;
  position_end_ = start + mapped_size;
  progress_.MoveTo(desired_begin);
}

void FilePiece::ReadShift() {
  char *start = static_cast<char *>(data_.get());
  if (position_ == position_end_) {
    mapped_offset_ += static_cast<uint64_t>(position_ - start);
    position_ = start;
    position_end_ = start;
  }
  if (static_cast<std::size_t>(position_end_ - start) == window_size_) {
    std::size_t kept = static_cast<std::size_t>(position_end_ - position_);
    if (position_ == start) {
      GrowWindow();
      HugeRealloc(window_size_, false, data_);
      start = static_cast<char *>(data_.get());
    } else {
      std::memmove(start, position_, kept);
      mapped_offset_ += static_cast<uint64_t>(position_ - start);
    }
    position_ = start;
    position_end_ = start + kept;
  }
  std::size_t filled = static_cast<std::size_t>(position_end_ - start);
  std::size_t got = reader_.Read(start + filled, window_size_ - filled);
  progress_.MoveTo(reader_.RawAmount());
  if (!got) at_end_ = true;
  position_end_ += got;
}

void FilePiece::GrowWindow() {
  UTIL_THROW_IF(window_size_ >= kLongestLine, Exception,
                "A line or token in " << file_name_ << " is longer than " << kLongestLine << " bytes");
  window_size_ *= 2;
}

void FilePiece::TransitionToRead() {
  reading_ = true;
  data_.reset();
  HugeMalloc(window_size_, false, data_);
  position_ = data_.begin();
  position_end_ = position_;
  reader_.Reset(file_.release());
}

}  // namespace util
