#include "util/string_piece.hh"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::vector<std::string> kTexts = {
    "", "a", "abc", "abcabc", "aXbXc", std::string("a\0b\0a", 5), " \t hello \t ", std::string("\0\0", 2),
};

const std::vector<std::string> kNeedles = {
    "", "a", "b", "c", "ab", "bc", "abc", "abcabcd", "X", "ca", " \t", "xyz",
    std::string(1, '\0'), std::string("b\0", 2),
};

const char kBytes[] = {'a', 'b', 'c', 'X', '\0', ' ', 'z'};

// Start positions around every boundary: inside, at the end, beyond it and npos.
std::vector<std::size_t> Positions(const std::string &text) {
  std::vector<std::size_t> positions;
  for (std::size_t pos = 0; pos <= text.size() + 2; ++pos) positions.push_back(pos);
  positions.push_back(StringPiece::npos - 1);
  positions.push_back(StringPiece::npos);
  return positions;
}

TEST(StringPieceTest, SearchesOfPiecesMatchString) {
  for (const std::string &text : kTexts) {
    StringPiece piece(text);
    for (const std::string &needle : kNeedles) {
      StringPiece other(needle);
      for (std::size_t pos : Positions(text)) {
        SCOPED_TRACE(testing::Message() << "text \"" << text << "\" needle \"" << needle << "\" pos " << pos);
        EXPECT_EQ(text.find(needle, pos), piece.find(other, pos));
        EXPECT_EQ(text.rfind(needle, pos), piece.rfind(other, pos));
        EXPECT_EQ(text.find_first_of(needle, pos), piece.find_first_of(other, pos));
        EXPECT_EQ(text.find_first_not_of(needle, pos), piece.find_first_not_of(other, pos));
        EXPECT_EQ(text.find_last_of(needle, pos), piece.find_last_of(other, pos));
        EXPECT_EQ(text.find_last_not_of(needle, pos), piece.find_last_not_of(other, pos));
      }
      // Default start positions.
      EXPECT_EQ(text.find(needle), piece.find(other));
      EXPECT_EQ(text.rfind(needle), piece.rfind(other));
      EXPECT_EQ(text.find_first_of(needle), piece.find_first_of(other));
      EXPECT_EQ(text.find_first_not_of(needle), piece.find_first_not_of(other));
      EXPECT_EQ(text.find_last_of(needle), piece.find_last_of(other));
      EXPECT_EQ(text.find_last_not_of(needle), piece.find_last_not_of(other));
    }
  }
}

TEST(StringPieceTest, SearchesOfBytesMatchString) {
  for (const std::string &text : kTexts) {
    StringPiece piece(text);
    for (char byte : kBytes) {
      for (std::size_t pos : Positions(text)) {
        SCOPED_TRACE(testing::Message() << "text \"" << text << "\" byte " << int(byte) << " pos " << pos);
        EXPECT_EQ(text.find(byte, pos), piece.find(byte, pos));
        EXPECT_EQ(text.rfind(byte, pos), piece.rfind(byte, pos));
        EXPECT_EQ(text.find_first_of(byte, pos), piece.find_first_of(byte, pos));
        EXPECT_EQ(text.find_first_not_of(byte, pos), piece.find_first_not_of(byte, pos));
        EXPECT_EQ(text.find_last_of(byte, pos), piece.find_last_of(byte, pos));
        EXPECT_EQ(text.find_last_not_of(byte, pos), piece.find_last_not_of(byte, pos));
      }
      EXPECT_EQ(text.find(byte), piece.find(byte));
      EXPECT_EQ(text.rfind(byte), piece.rfind(byte));
      EXPECT_EQ(text.find_last_of(byte), piece.find_last_of(byte));
      EXPECT_EQ(text.find_last_not_of(byte), piece.find_last_not_of(byte));
    }
  }
}

TEST(StringPieceTest, EmptySearchAtTheEnd) {
  StringPiece piece("abc");
  EXPECT_EQ(3u, piece.find(StringPiece(""), 3));
  EXPECT_EQ(StringPiece::npos, piece.find(StringPiece(""), 4));
  EXPECT_EQ(3u, piece.rfind(StringPiece("")));
}

// substr clamps where std::string::substr would throw.
TEST(StringPieceTest, Substr) {
  for (const std::string &text : kTexts) {
    StringPiece piece(text);
    for (std::size_t pos : Positions(text)) {
      for (std::size_t n : {std::size_t(0), std::size_t(1), std::size_t(2), text.size(), StringPiece::npos}) {
        StringPiece sub = piece.substr(pos, n);
        std::string expected = text.substr(std::min(pos, text.size()), n);
        EXPECT_EQ(expected, sub.as_string()) << "pos " << pos << " n " << n;
        if (pos <= text.size()) {
          EXPECT_EQ(text.data() + pos, sub.data());
        }
      }
    }
  }
  EXPECT_TRUE(StringPiece("abc").substr(5, 2).empty());
  EXPECT_EQ(StringPiece("bc"), StringPiece("abc").substr(1));
}

TEST(StringPieceTest, NullAndEmptyPieces) {
  for (StringPiece piece : {StringPiece(), StringPiece(static_cast<const char *>(nullptr)), StringPiece("")}) {
    EXPECT_EQ(0u, piece.size());
    EXPECT_TRUE(piece.empty());
    EXPECT_EQ(StringPiece(""), piece);
    EXPECT_EQ(0u, piece.find(StringPiece("")));
    EXPECT_EQ(StringPiece::npos, piece.find('a'));
    EXPECT_EQ(StringPiece::npos, piece.rfind('a'));
    EXPECT_EQ(StringPiece::npos, piece.find_last_of(StringPiece("ab")));
    EXPECT_EQ(StringPiece::npos, piece.find_last_not_of('a'));
    EXPECT_EQ(std::string(), piece.as_string());
  }
}

TEST(StringPieceTest, EmbeddedNulBytes) {
  std::string bytes("a\0b", 3);
  StringPiece piece(bytes);
  EXPECT_EQ(3u, piece.size());
  EXPECT_EQ('\0', piece[1]);
  EXPECT_EQ(bytes, piece.as_string());
  EXPECT_EQ(1u, StringPiece(bytes.c_str()).size());  // strlen stops at the NUL.
  EXPECT_NE(StringPiece(std::string("a\0c", 3)), piece);
  EXPECT_NE(StringPiece("a"), piece);

  std::string copy = "previous contents";
  piece.CopyToString(&copy);
  EXPECT_EQ(bytes, copy);
}

TEST(StringPieceTest, Equality) {
  std::string left = "word", right = "word";
  EXPECT_EQ(StringPiece(left), StringPiece(right));  // Same bytes, different addresses.
  EXPECT_NE(StringPiece("word"), StringPiece("words"));
  EXPECT_NE(StringPiece("word"), StringPiece("wore"));
  EXPECT_EQ(StringPiece("words", 4), StringPiece("word"));
}

}  // namespace
