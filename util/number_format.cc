#include "util/number_format.hh"

#include <double-conversion/double-conversion.h>

#include <charconv>
#include <cmath>
#include <cstring>

namespace util {
namespace {

// "00", "01", ... "99" laid end to end: two digits per table lookup.
struct DigitPairs {
  char text[200];
  constexpr DigitPairs() : text() {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr DigitPairs kDigitPairs;

// Writes exactly `digits` digits of `value` (< 10^digits), zero padded.
char *WriteFixed(uint64_t value, unsigned digits, char *to) {
  char *end = to + digits;
  char *at = end;
  while (at - to >= 2) {
    at -= 2;
    std::memcpy(at, kDigitPairs.text + 2 * (value % 100), 2);
    value /= 100;
  }
  if (at != to) *--at = static_cast<char>('0' + value);
  return end;
}

unsigned DigitCount(uint64_t value) {
  unsigned digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

// Digits most significant first: a leading group without zeros, then full
// groups of eight.
char *WriteUnsigned(uint64_t value, char *to) {
  constexpr uint64_t kGroup = 100000000ULL;
  if (value < kGroup) return WriteFixed(value, DigitCount(value), to);
  if (value < kGroup * kGroup) {
    uint64_t high = value / kGroup;
    to = WriteFixed(high, DigitCount(high), to);
    return WriteFixed(value % kGroup, 8, to);
  }
  uint64_t high = value / (kGroup * kGroup);
  to = WriteFixed(high, DigitCount(high), to);
  to = WriteFixed((value / kGroup) % kGroup, 8, to);
  return WriteFixed(value % kGroup, 8, to);
}

char *WriteSigned(int64_t value, char *to) {
  if (value >= 0) return WriteUnsigned(static_cast<uint64_t>(value), to);
  *to++ = '-';
  return WriteUnsigned(0 - static_cast<uint64_t>(value), to);
}

const double_conversion::DoubleToStringConverter kShortest(
    double_conversion::DoubleToStringConverter::NO_FLAGS, "inf", "NaN", 'e', -6, 21, 6, 0, 0);

template <class Float, class Convert>
char *WriteShortest(Float value, std::size_t room, Convert convert, char *to) {
  double_conversion::StringBuilder builder(to, static_cast<int>(room));
  convert(value, &builder);
  std::size_t written = static_cast<std::size_t>(builder.position());
  builder.Finalize();
  return to + written;
}

}  // namespace

char *ToString(uint64_t value, char *to) { return WriteUnsigned(value, to); }
char *ToString(int64_t value, char *to) { return WriteSigned(value, to); }
char *ToString(uint32_t value, char *to) { return WriteUnsigned(value, to); }
char *ToString(int32_t value, char *to) { return WriteSigned(value, to); }
char *ToString(uint16_t value, char *to) { return WriteUnsigned(value, to); }
char *ToString(int16_t value, char *to) { return WriteSigned(value, to); }

char *ToString(const void *value, char *to) {
  static const char kHex[] = "0123456789abcdef";
  *to++ = '0';
  *to++ = 'x';
  uint64_t bits = reinterpret_cast<uintptr_t>(value);
  unsigned digits = 1;
  while (digits < 16 && (bits >> (4 * digits))) ++digits;
  for (unsigned i = digits; i > 0; --i) *to++ = kHex[(bits >> (4 * (i - 1))) & 0xf];
  return to;
}

char *ToString(double value, char *to) {
  return WriteShortest(value, ToStringBuf<double>::kBytes,
                       [](double v, double_conversion::StringBuilder *b) { kShortest.ToShortest(v, b); }, to);
}

char *ToString(float value, char *to) {
  // Log10 probabilities and backoffs lie here, where the shortest fixed text
  // of std::to_chars is the converter's (so a check of every float between
  // 1e-6 and 100 found) and takes a fraction of its time.
  const float magnitude = std::fabs(value);
  if (magnitude >= 1e-5f && magnitude < 100.0f) {
    char *end = std::to_chars(to, to + ToStringBuf<float>::kBytes, value, std::chars_format::fixed).ptr;
    *end = '\0';
    return end;
  }
  return WriteShortest(value, ToStringBuf<float>::kBytes,
                       [](float v, double_conversion::StringBuilder *b) { kShortest.ToShortestSingle(v, b); }, to);
}

}  // namespace util
