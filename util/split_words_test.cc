#include "util/split_words.hh"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace util {
namespace {

std::vector<std::string> Split(const std::string &sentence, NulByte nul) {
  std::vector<std::string> words;
  SentenceWords splitter(StringPiece(sentence.data(), sentence.size()), nul);
  StringPiece word;
  while (splitter.Next(word)) words.push_back(word.as_string());
  return words;
}

// The rule spelt out the long way: Python's bytes.split() at the six
// whitespace bytes, after or before the NUL cut.
std::vector<std::string> Reference(std::string sentence, NulByte nul) {
  if (nul == NulByte::kEndsSentence) sentence = sentence.substr(0, sentence.find('\0'));
  std::vector<std::string> words;
  std::string current;
  bool in_word = false;
  for (char c : sentence) {
    if (std::string(" \t\n\v\f\r").find(c) != std::string::npos) {
      if (in_word) words.push_back(current.substr(0, current.find('\0')));
      current.clear();
      in_word = false;
    } else {
      current += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(current.substr(0, current.find('\0')));
  return words;
}

using Words = std::vector<std::string>;

TEST(SplitWords, Cases) {
  const struct {
    std::string sentence;
    Words ends_sentence, ends_word;
  } kCases[] = {
      {"", {}, {}},
      {" \t\n\v\f\r", {}, {}},
      {"  the  quick\tbrown\r\nfox ", {"the", "quick", "brown", "fox"}, {"the", "quick", "brown", "fox"}},
      {"caf\xc3\xa9 \xa0x", {"caf\xc3\xa9", "\xa0x"}, {"caf\xc3\xa9", "\xa0x"}},
      {std::string("ab\0cd ef", 8), {"ab"}, {"ab", "ef"}},
      {std::string("ab \0cd ef", 9), {"ab"}, {"ab", "", "ef"}},
      {std::string("ab\0", 3), {"ab"}, {"ab"}},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.sentence);
    EXPECT_EQ(c.ends_sentence, Split(c.sentence, NulByte::kEndsSentence));
    EXPECT_EQ(c.ends_word, Split(c.sentence, NulByte::kEndsWord));
  }
}

TEST(SplitWords, AgreesWithTheRuleOnRandomText) {
  const char kAlphabet[] = {'a', 'b', ' ', '\t', '\n', '\r', '\v', '\f', '\0', '\xa0'};
  std::mt19937 rng(18);
  std::uniform_int_distribution<std::size_t> letter(0, sizeof(kAlphabet) - 1), length(0, 12);
  for (unsigned trial = 0; trial < 5000; ++trial) {
    std::string sentence;
    for (std::size_t i = length(rng); i; --i) sentence += kAlphabet[letter(rng)];
    for (NulByte nul : {NulByte::kEndsSentence, NulByte::kEndsWord})
      ASSERT_EQ(Reference(sentence, nul), Split(sentence, nul)) << testing::PrintToString(sentence);
  }
}

TEST(SplitWords, PositionRestsAtTheEndWhenNoWordIsLeft) {
  const std::string sentence("a \0b", 4);
  for (NulByte nul : {NulByte::kEndsSentence, NulByte::kEndsWord}) {
    const char *at = sentence.data();
    const char *const end = at + sentence.size();
    StringPiece word;
    while (NextWord(at, end, nul, word)) {
    }
    EXPECT_EQ(end, at);
  }
}

}  // namespace
}  // namespace util
