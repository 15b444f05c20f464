#include "util/tokenize_piece.hh"

#include "util/file_piece.hh"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace util {
namespace {

template <class Iter> std::vector<std::string> Collect(Iter it) {
  std::vector<std::string> out;
  for (; it; ++it) out.push_back(it->as_string());
  return out;
}

std::vector<std::string> Spaces(const StringPiece &text) {
  return Collect(TokenIter<BoolCharacter, true>(text, BoolCharacter(kSpaces)));
}

std::vector<std::string> Commas(const StringPiece &text) {
  return Collect(TokenIter<SingleCharacter>(text, SingleCharacter(',')));
}

typedef std::vector<std::string> Words;

TEST(TokenIter, WhitespaceRunsAreOneSeparator) {
  struct Case {
    std::string text;
    Words expected;
  } cases[] = {
      {"", {}},
      {" \t\n\v\f\r", {}},
      {"a", {"a"}},
      {"  a  b\t\tc\n", {"a", "b", "c"}},
      {"\ra\fb\vc", {"a", "b", "c"}},
      // Bytes outside the six whitespace bytes never split: NO-BREAK SPACE in
      // Latin-1 and UTF-8, and NUL (the piece carries its length).
      {"x\xA0y \xC2\xA0z", {"x\xA0y", "\xC2\xA0z"}},
      {std::string("p\0q r", 5), {std::string("p\0q", 3), "r"}},
  };
  for (const Case &c : cases) EXPECT_EQ(c.expected, Spaces(c.text)) << c.text;
}

TEST(TokenIter, KeepsEmptyTokensUnlessSkipping) {
  EXPECT_EQ(Words({""}), Commas(""));
  EXPECT_EQ(Words({"", "a", "", "b", ""}), Commas(",a,,b,"));
  EXPECT_EQ(Words({"a b"}), Commas("a b"));
}

TEST(TokenIter, NullTextHasNoTokens) { EXPECT_EQ(Words(), Spaces(StringPiece())); }

TEST(TokenIter, TokensPointIntoTheText) {
  const char *text = "ab  cd";
  TokenIter<BoolCharacter, true> it{StringPiece(text), BoolCharacter(kSpaces)};
  EXPECT_EQ(text, it->data());
  ++it;
  EXPECT_EQ(text + 4, it->data());
  EXPECT_EQ(2u, it->size());
}

TEST(TokenIter, ExhaustedIteratorThrows) {
  TokenIter<BoolCharacter, true> it{StringPiece(" "), BoolCharacter(kSpaces)};
  ASSERT_FALSE(it);
  try {
    *it;
    FAIL() << "no exception";
  } catch (const OutOfTokens &e) {
    std::string what = e.what();
    EXPECT_EQ(0u, what.find("util/tokenize_piece:")) << what;
    EXPECT_NE(std::string::npos, what.find(" threw OutOfTokens because `!current_.data()'.\nRan out of tokens"))
        << what;
  }
}

}  // namespace
}  // namespace util
