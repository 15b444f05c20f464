#include "util/progress.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

namespace util {
namespace {

const std::string kBanner(kProgressBanner);

// The stars written after the banner; the bar must not contain anything else
// except a final line end.
std::size_t Stars(const std::ostringstream &out) {
  std::string text = out.str();
  EXPECT_EQ(0u, text.find(kBanner));
  std::string bar = text.substr(kBanner.size());
  if (!bar.empty() && bar.back() == '\n') bar.pop_back();
  EXPECT_EQ(std::string::npos, bar.find_first_not_of('*'));
  return bar.size();
}

bool EndsLine(const std::ostringstream &out) { return out.str().size() > kBanner.size() && out.str().back() == '\n'; }

// Stars due at `value`: the k-th star is due at ceil(k * total / 100).
std::size_t ExpectedStars(uint64_t value, uint64_t total) {
  std::size_t stars = 0;
  while (stars < 100 && (stars + 1) * total <= value * 100) ++stars;
  return stars;
}

TEST(ProgressTest, BannerRuler) {
  ASSERT_EQ(101u, std::strlen(kProgressBanner));
  EXPECT_EQ('\n', kBanner[100]);
  // Every fifth column ends with the digits of its percentage.
  for (unsigned percent = 5; percent <= 100; percent += 5) {
    std::string digits = std::to_string(percent);
    EXPECT_EQ(digits, kBanner.substr(percent - digits.size(), digits.size())) << percent;
  }
  EXPECT_EQ(std::string::npos, kBanner.substr(0, 100).find_first_not_of("-0123456789"));
}

TEST(ProgressTest, HeadingThenBanner) {
  std::ostringstream out;
  {
    ErsatzProgress progress(10, &out, "Reading file");
    EXPECT_EQ("Reading file\n" + kBanner, out.str());
  }
  std::ostringstream plain;
  ErsatzProgress progress(10, &plain);
  EXPECT_EQ(kBanner, plain.str());
}

TEST(ProgressTest, TwoHundred) {
  std::ostringstream out;
  ErsatzProgress progress(200, &out);
  ++progress;
  EXPECT_EQ(0u, Stars(out));
  ++progress;
  EXPECT_EQ(1u, Stars(out));
  progress += 2;
  EXPECT_EQ(2u, Stars(out));
  progress.MoveTo(199);
  EXPECT_EQ(99u, Stars(out));
  EXPECT_FALSE(EndsLine(out));
  progress.Finished();
  EXPECT_EQ(100u, Stars(out));
  EXPECT_TRUE(EndsLine(out));
  // A finished bar draws nothing more.
  std::string finished = out.str();
  progress += 1000;
  progress.Finished();
  EXPECT_EQ(finished, out.str());
}

TEST(ProgressTest, StepByStepMatchesCeilingRule) {
  for (uint64_t total : {1, 3, 7, 99, 100, 101, 150, 1000, 12345}) {
    SCOPED_TRACE(total);
    std::ostringstream out;
    ErsatzProgress progress(total, &out);
    for (uint64_t value = 1; value < total; ++value) {
      ++progress;
      ASSERT_EQ(ExpectedStars(value, total), Stars(out)) << "at " << value;
      ASSERT_FALSE(EndsLine(out));
    }
    ++progress;
    EXPECT_EQ(100u, Stars(out));
    EXPECT_TRUE(EndsLine(out));
  }
}

TEST(ProgressTest, UnevenSteps) {
  std::ostringstream out;
  ErsatzProgress progress(997, &out);
  uint64_t value = 0;
  for (uint64_t step : {0, 5, 13, 1, 100, 250, 3, 300}) {
    progress += step;
    value += step;
    ASSERT_EQ(ExpectedStars(value, 997), Stars(out)) << "at " << value;
  }
  // Moving backwards neither erases nor adds stars.
  progress.MoveTo(10);
  EXPECT_EQ(ExpectedStars(value, 997), Stars(out));
}

TEST(ProgressTest, ZeroTotalDrawsNoStars) {
  std::ostringstream out;
  {
    ErsatzProgress progress(0, &out, "Empty");
    ++progress;
    progress += 5;
    progress.Finished();
  }
  EXPECT_EQ("Empty\n" + kBanner, out.str());
}

TEST(ProgressTest, StraightToTotal) {
  std::ostringstream out;
  ErsatzProgress progress(5000, &out);
  progress.MoveTo(5000);
  EXPECT_EQ(kBanner + std::string(100, '*') + "\n", out.str());
}

TEST(ProgressTest, DestructorCompletesBar) {
  std::ostringstream out;
  {
    ErsatzProgress progress(10, &out);
    progress.MoveTo(5);
    EXPECT_EQ(50u, Stars(out));
  }
  EXPECT_EQ(kBanner + std::string(100, '*') + "\n", out.str());
}

TEST(ProgressTest, SilentMeters) {
  ErsatzProgress silent(100, nullptr, "never shown");
  ++silent;
  silent.MoveTo(std::numeric_limits<uint64_t>::max());
  silent += 50;
  silent.Finished();
  ErsatzProgress never;
  never.MoveTo(std::numeric_limits<uint64_t>::max());
  ++never;
  never.Finished();
}

}  // namespace
}  // namespace util
