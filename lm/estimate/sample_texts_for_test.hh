// Small texts that estimation tests share: repeated lines, one-word lines,
// blank lines and odd whitespace, <unk> present and absent, a text too small
// for any discount, and random text from a skewed vocabulary.  Most need
// the discount fallback at some order.
#ifndef LM_ESTIMATE_SAMPLE_TEXTS_FOR_TEST_H
#define LM_ESTIMATE_SAMPLE_TEXTS_FOR_TEST_H

#include <random>
#include <string>
#include <vector>

namespace lm {
namespace estimate {

struct SampleText {
  std::string name;
  std::vector<std::string> lines;
};

// `count` lines of 1 to 12 words drawn from `vocabulary` words with a
// skewed (roughly Zipf) distribution; some lines hold <unk> when asked.
inline std::vector<std::string> RandomLines(unsigned count, unsigned vocabulary, unsigned seed, bool with_unk) {
  std::mt19937 rng(seed);
  std::vector<double> weights;
  for (unsigned i = 1; i <= vocabulary; ++i) weights.push_back(1.0 / i);
  std::discrete_distribution<unsigned> pick(weights.begin(), weights.end());
  std::vector<std::string> lines;
  for (unsigned i = 0; i < count; ++i) {
    std::string line;
    for (unsigned length = 1 + rng() % 12; length; --length) {
      if (!line.empty()) line += ' ';
      if (with_unk && rng() % 40 == 0) {
        line += "<unk>";
      } else {
        line += 'w';
        line += std::to_string(pick(rng));
      }
    }
    lines.push_back(line);
  }
  return lines;
}

inline std::vector<SampleText> SampleTexts() {
  return {
      {"repeated lines",
       {"the cat sat on the mat", "the cat sat on the mat", "the cat sat on the mat", "the dog sat on the mat",
        "the cat sat", "the cat sat", "a dog sat on a cat", "the mat sat", "on the mat the cat sat",
        "the cat sat on the mat", "a cat", "a cat", "a cat", "the dog", "the dog ran", "a dog ran on the mat"}},
      {"one-word lines", {"a", "b", "a", "c", "a", "b", "d", "a", "e", "b", "a", "c", "f", "a", "b", "g"}},
      {"too small for discounts", {"a b", "a"}},
      {"blank lines and odd whitespace",
       {"", "  ", "x y\tz", "\r", "y  z\r", "\tx\vy\fz ", "x", "z y x", "y y y", "x y z", "z", "\t\t"}},
      {"unk in the text", {"<unk> a b", "a <unk>", "b a <unk> <unk>", "a b", "b", "a b c", "c <unk> a", "a a"}},
      {"random", RandomLines(400, 60, 11, false)},
      {"random with unk", RandomLines(300, 40, 12, true)},
  };
}

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_SAMPLE_TEXTS_FOR_TEST_H
