#include "util/usage.hh"

#include "util/exception.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>

namespace util {
namespace {

TEST(ParseSizeTest, Values) {
  const struct {
    const char *text;
    uint64_t expected;
  } kCases[] = {
      {"2G", 2147483648ULL},
      {"1.5K", 1536},
      {"10", 10240},
      {"10k", 10240},
      {"10 b", 10},
      {"  7 M", 7ULL << 20},
      {"0.5M", 524288},
      {"3T", 3ULL << 40},
      {"1P", 1ULL << 50},
      {"1E", 1ULL << 60},
      // Integers wrap modulo 2^64.
      {"16E", 0},
      {"3Z", 0},
  };
  for (const auto &c : kCases) EXPECT_EQ(c.expected, ParseSize(c.text)) << c.text;
}

TEST(ParseSizeTest, Percent) {
  uint64_t mem = GuessPhysicalMemory();
  ASSERT_LT(0u, mem);
  EXPECT_EQ(mem * 50 / 100, ParseSize("50%"));
  EXPECT_EQ(static_cast<uint64_t>(static_cast<double>(mem) * 12.5 / 100), ParseSize("12.5%"));
}

// The second line of the message: the constructor's words and the reason.
std::string Reason(const Exception &e) {
  std::string text = e.what();
  return text.substr(text.find('\n') + 1);
}

TEST(ParseSizeTest, Errors) {
  const struct {
    const char *text;
    const char *condition;
    const char *reason;
  } kCases[] = {
      {"3Q", "index == std::string::npos", "the allowed suffixes are bKMGTPEZY%."},
      {"5 K x", "stream >> throwaway", "because there was more cruft x after the number."},
      {"%", "!stream", "for the leading number."},
      {"", "!stream", "for the leading number."},
      {"10 KB", "after.size() > 1", "because there are more than two characters after the number."},
      {"1.5Q", "index == std::string::npos", "the allowed suffixes are bKMGTPEZY%."},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.text);
    try {
      ParseSize(c.text);
      ADD_FAILURE() << "no exception";
    } catch (const Exception &e) {
      std::string text = e.what();
      std::string header = text.substr(0, text.find('\n'));
      EXPECT_EQ(0u, header.find("util/usage:")) << header;
      EXPECT_NE(std::string::npos, header.find("ParseNum")) << header;
      EXPECT_NE(std::string::npos, header.find(std::string(" threw SizeParseError because `") + c.condition + "'."))
          << header;
      EXPECT_EQ(std::string("Failed to parse ") + c.text + " into a memory size " + c.reason, Reason(e));
    }
  }
}

// The location tells the double reader from the integer reader.
TEST(ParseSizeTest, LocationNamesNumberType) {
  for (const char *text : {"3Q", "1.5Q"}) {
    try {
      ParseSize(text);
      ADD_FAILURE() << "no exception for " << text;
    } catch (const Exception &e) {
      std::string header(e.what());
      header.resize(header.find('\n'));
      EXPECT_EQ(std::string(text) == "1.5Q", header.find("Num = double") != std::string::npos) << header;
    }
  }
}

TEST(UsageTest, Clocks) {
  double first = WallTime();
  double second = WallTime();
  EXPECT_LE(0.0, first);
  EXPECT_LE(first, second);
  EXPECT_LE(0.0, CPUTime());
  EXPECT_EQ(0.0, ThreadTime());
  EXPECT_LT(0u, RSSMax());
}

TEST(UsageTest, PrintUsageWritesOneLine) {
  std::ostringstream out;
  PrintUsage(out);
  std::string line = out.str();
  ASSERT_FALSE(line.empty());
  EXPECT_EQ(1, std::count(line.begin(), line.end(), '\n'));
  EXPECT_EQ('\n', line.back());
  EXPECT_EQ(0u, line.find("Name:")) << line;
  std::size_t peak = line.find("\tVmPeak:");
  std::size_t rss = line.find("\tVmRSS:");
  std::size_t rss_max = line.find("\tRSSMax:");
  ASSERT_NE(std::string::npos, peak) << line;
  ASSERT_NE(std::string::npos, rss) << line;
  ASSERT_NE(std::string::npos, rss_max) << line;
  EXPECT_LT(peak, rss);
  EXPECT_LT(rss, rss_max);
  std::size_t kb = line.find(" kB\tuser:", rss_max);
  ASSERT_NE(std::string::npos, kb) << line;
  std::size_t sys = line.find("\tsys:", kb);
  std::size_t cpu = line.find("\tCPU:", sys);
  std::size_t real = line.find("\treal:", cpu);
  EXPECT_NE(std::string::npos, sys) << line;
  EXPECT_NE(std::string::npos, cpu) << line;
  EXPECT_NE(std::string::npos, real) << line;
  // No blank or tab is left at the start of a /proc value.
  EXPECT_EQ(std::string::npos, line.find(":\t")) << line;
  EXPECT_EQ(std::string::npos, line.find(": ")) << line;
}

}  // namespace
}  // namespace util
