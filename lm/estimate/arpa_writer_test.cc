#include "lm/estimate/arpa_writer.hh"

#include "util/file.hh"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace lm {
namespace estimate {
namespace {

std::string Contents(int fd) {
  std::string text(util::SizeOrThrow(fd), '\0');
  util::ErsatzPRead(fd, text.data(), text.size(), 0);
  return text;
}

TEST(ArpaWriter, Layout) {
  Vocabulary vocab;
  const WordId a = vocab.Index("a");
  util::scoped_fd file(util::MakeTemp("/tmp/quarn_arpa_writer_"));
  ArpaWriter writer(file.get(), vocab);
  writer.Header({4, 1});
  writer.BeginOrder(1);
  const double backoff = -0.5;
  for (WordId w : {kUnk, kBeginSentence, kEndSentence, a}) writer.Entry(w == kBeginSentence ? -99 : -1, &w, 1, w == a ? &backoff : nullptr);
  writer.BeginOrder(2);
  const WordId bigram[2] = {a, kEndSentence};
  writer.Entry(-0.25, bigram, 2, nullptr);
  writer.Finish();
  EXPECT_EQ(
      "\\data\\\nngram 1=4\nngram 2=1\n\n\\1-grams:\n-1\t<unk>\n-99\t<s>\n-1\t</s>\n-1\ta\t-0.5\n\n\\2-grams:\n"
      "-0.25\ta </s>\n\n\\end\\\n",
      Contents(file.get()));
}

// Words longer than the writer's buffer, and words that fill it up.
TEST(ArpaWriter, LongWords) {
  Vocabulary vocab;
  const std::string huge(5 << 20, 'x'), big((4 << 20) - 30, 'y');
  const WordId words[3] = {vocab.Index(huge), vocab.Index(big), vocab.Index("z")};
  util::scoped_fd file(util::MakeTemp("/tmp/quarn_arpa_writer_"));
  ArpaWriter writer(file.get(), vocab);
  writer.Entry(-1, words, 3, nullptr);
  writer.Entry(-2, words + 1, 2, nullptr);
  writer.Finish();
  EXPECT_EQ("-1\t" + huge + " " + big + " z\n-2\t" + big + " z\n\n\\end\\\n", Contents(file.get()));
}

// Every value reads back as the 32-bit float it was rounded to, and no
// shorter decimal would.
TEST(ArpaWriter, ShortestFloatRoundTrip) {
  Vocabulary vocab;
  util::scoped_fd file(util::MakeTemp("/tmp/quarn_arpa_writer_"));
  ArpaWriter writer(file.get(), vocab);
  std::vector<double> values = {-0.1, -1.0 / 3, -1e-7, -12.345678901, -3.0102999566398, -99, -0.30103, 0.0};
  for (int i = 1; i < 2000; ++i) values.push_back(std::log10(i / 2001.0));
  const WordId word = kEndSentence;
  for (double value : values) writer.Entry(value, &word, 1, nullptr);
  writer.Finish();
  const std::string text = Contents(file.get());
  std::size_t at = 0;
  for (double value : values) {
    const std::size_t tab = text.find('\t', at);
    const std::string number = text.substr(at, tab - at);
    EXPECT_EQ(static_cast<float>(value), std::strtof(number.c_str(), nullptr)) << number;
    // One significant digit fewer (where there are several) gives another float.
    const std::size_t digits = number.find_first_of("e") == std::string::npos ? number.size() : number.find('e');
    if (digits > 3 && number.find('.') != std::string::npos) {
      const std::string shorter = number.substr(0, digits - 1) + number.substr(digits);
      EXPECT_NE(static_cast<float>(value), std::strtof(shorter.c_str(), nullptr)) << number;
    }
    at = text.find('\n', tab) + 1;
  }
}

}  // namespace
}  // namespace estimate
}  // namespace lm
