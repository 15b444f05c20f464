#include "util/number_format.hh"

#include <double-conversion/double-conversion.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

namespace util {
namespace {

constexpr char kGuard = '\x7f';

// Formats into a guarded buffer of exactly the advertised room and checks
// that nothing is written past it.
template <class T> std::string Format(T value) {
  constexpr std::size_t kRoom = ToStringBuf<T>::kBytes;
  char buf[kRoom + 8];
  std::memset(buf, kGuard, sizeof(buf));
  char *end = ToString(value, buf);
  EXPECT_LE(end, buf + kRoom);
  for (std::size_t i = kRoom; i < sizeof(buf); ++i) EXPECT_EQ(kGuard, buf[i]) << "overrun at " << i;
  if constexpr (std::is_floating_point_v<T>) {
    EXPECT_EQ('\0', *end);
  }
  return std::string(buf, end);
}

TEST(ToString, IntegerExtremes) {
  EXPECT_EQ("65535", Format(std::numeric_limits<uint16_t>::max()));
  EXPECT_EQ("-32768", Format(std::numeric_limits<int16_t>::min()));
  EXPECT_EQ("4294967295", Format(std::numeric_limits<uint32_t>::max()));
  EXPECT_EQ("-2147483648", Format(std::numeric_limits<int32_t>::min()));
  EXPECT_EQ("18446744073709551615", Format(std::numeric_limits<uint64_t>::max()));
  EXPECT_EQ("-9223372036854775808", Format(std::numeric_limits<int64_t>::min()));
  EXPECT_EQ("9223372036854775807", Format(std::numeric_limits<int64_t>::max()));
  EXPECT_EQ("0", Format(uint64_t(0)));
  EXPECT_EQ("0", Format(int32_t(0)));
  EXPECT_EQ("-1", Format(int16_t(-1)));
}

// Around every power of ten, where the digit groups change, against the
// standard library's formatting.
TEST(ToString, GroupBoundariesMatchStandardText) {
  uint64_t power = 1;
  for (int digits = 1; digits <= 20; ++digits) {
    for (uint64_t value : {power - 1, power, power + 1, power * 5 + 3}) {
      if (digits == 20 && value != power - 1 && value != power && value != power + 1) continue;
      EXPECT_EQ(std::to_string(value), Format(value));
      if (value <= uint64_t(std::numeric_limits<int64_t>::max())) {
        int64_t negative = -static_cast<int64_t>(value);
        EXPECT_EQ(std::to_string(negative), Format(negative));
      }
      if (value <= std::numeric_limits<uint32_t>::max()) {
        EXPECT_EQ(std::to_string(value), Format(static_cast<uint32_t>(value)));
      }
    }
    if (digits < 20) power *= 10;
  }
  std::mt19937_64 random(42);
  for (int i = 0; i < 10000; ++i) {
    uint64_t value = random() >> (random() % 64);
    EXPECT_EQ(std::to_string(value), Format(value));
  }
}

TEST(ToString, Pointers) {
  EXPECT_EQ("0x0", Format(static_cast<const void *>(nullptr)));
  EXPECT_EQ("0x1000", Format(reinterpret_cast<const void *>(0x1000)));
  EXPECT_EQ("0xffffffffffffffff", Format(reinterpret_cast<const void *>(~uintptr_t(0))));
  EXPECT_EQ("0xabcdef0123", Format(reinterpret_cast<const void *>(0xabcdef0123)));
}

TEST(ToString, DoubleShortestTexts) {
  struct Case {
    double value;
    const char *text;
  } cases[] = {
      {1.0, "1"},
      {0.5, "0.5"},
      {1e-7, "1e-7"},
      {1e-6, "0.000001"},
      {-0.0, "-0"},
      {0.0, "0"},
      {1e21, "1e21"},
      {1e20, "100000000000000000000"},
      {0.1, "0.1"},
      {-2.5e-300, "-2.5e-300"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-1.2345678901234567e-6, "-0.0000012345678901234567"},  // the longest form
  };
  for (const Case &c : cases) EXPECT_EQ(c.text, Format(c.value));
}

TEST(ToString, FloatShortestTexts) {
  struct Case {
    float value;
    const char *text;
  } cases[] = {
      {-1e20f, "-100000000000000000000"},
      {0.1f, "0.1"},
      {-0.0f, "-0"},
      {3.4028235e38f, "3.4028235e38"},
      {-1.2345678e-6f, "-0.0000012345678"},
  };
  for (const Case &c : cases) EXPECT_EQ(c.text, Format(c.value));
}

// Where the float texts take a faster path: the same texts as the converter
// gives, on both sides of the path's bounds and at random within them.
TEST(ToString, FloatTextsMatchTheConverter) {
  const double_conversion::DoubleToStringConverter converter(double_conversion::DoubleToStringConverter::NO_FLAGS,
                                                             "inf", "NaN", 'e', -6, 21, 6, 0, 0);
  std::vector<float> values = {1e-5f, 100.0f, 99.99999f, 0.5f, 1.0f, 12.345678f, 3.0517578e-5f};
  for (std::size_t i = 0, count = values.size(); i < count; ++i) {
    values.push_back(std::nextafter(values[i], 0.0f));
    values.push_back(std::nextafter(values[i], 1000.0f));
  }
  std::mt19937 random(11);
  std::uniform_real_distribution<float> exponent(-5.0f, 2.0f);
  for (int i = 0; i < 100000; ++i) values.push_back(std::pow(10.0f, exponent(random)));
  for (float magnitude : values) {
    for (float value : {magnitude, -magnitude}) {
      char expected[64];
      double_conversion::StringBuilder builder(expected, sizeof(expected));
      converter.ToShortestSingle(value, &builder);
      builder.Finalize();
      ASSERT_EQ(std::string(expected), Format(value)) << value;
    }
  }
}

TEST(ToString, FloatingTextsReadBack) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 10000; ++i) {
    uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    if (std::isnan(value)) continue;
    EXPECT_EQ(value, std::strtod(Format(value).c_str(), nullptr));
    float single = static_cast<float>(std::ldexp(static_cast<double>(bits >> 40), static_cast<int>(bits % 80) - 60));
    EXPECT_EQ(single, std::strtof(Format(single).c_str(), nullptr));
  }
}

}  // namespace
}  // namespace util
