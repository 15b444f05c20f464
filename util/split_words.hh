// util::NextWord: the words of a sentence, as every scorer of the library,
// the Python module, the tools and the benchmarks split them.
//
// Words are the runs of bytes that are not util::kSpaces (tab, line feed,
// vertical tab, form feed, carriage return, space), so runs of separators
// count as one and no word is empty except where a NUL starts one.  A NUL
// byte is not a separator; what it does is the caller's choice:
//   NulByte::kEndsSentence  the sentence stops at it, as a C string does;
//   NulByte::kEndsWord      the word holding it is cut there, the rest of
//                           that word is skipped and the sentence goes on.
// Words are views into the caller's bytes.  Nothing is allocated.
#ifndef UTIL_SPLIT_WORDS_H
#define UTIL_SPLIT_WORDS_H

#include "util/file_piece.hh"
#include "util/string_piece.hh"

#include <cstddef>

namespace util {

enum class NulByte { kEndsSentence, kEndsWord };

// Sets `word` to the next word of [at, end) and moves `at` past it; false,
// with `at` at `end`, when no word is left.
inline bool NextWord(const char *&at, const char *end, NulByte nul, StringPiece &word);

// The words of one sentence in turn.
class SentenceWords {
 public:
  SentenceWords(StringPiece sentence, NulByte nul)
      : at_(sentence.data()), end_(sentence.data() + sentence.size()), nul_(nul) {}

  bool Next(StringPiece &word) { return NextWord(at_, end_, nul_, word); }

 private:
  const char *at_;
  const char *end_;
  NulByte nul_;
};

// ------------------------------------------------------------ details

namespace detail {
inline bool IsSpace(char c) { return kSpaces[static_cast<unsigned char>(c)]; }

// Whether `c` belongs to a word: neither a space nor NUL.  Every byte above
// the space character does, which settles most bytes with one comparison.
inline bool InWord(char c) { return static_cast<unsigned char>(c) > ' ' || (c != '\0' && !IsSpace(c)); }
}  // namespace detail

inline bool NextWord(const char *&at, const char *end, NulByte nul, StringPiece &word) {
  while (at != end && detail::IsSpace(*at)) ++at;
  if (at != end && *at == '\0' && nul == NulByte::kEndsSentence) at = end;
  if (at == end) return false;
  const char *const start = at;
  while (at != end && detail::InWord(*at)) ++at;
  word = StringPiece(start, static_cast<std::size_t>(at - start));
  if (at != end && *at == '\0') {
    if (nul == NulByte::kEndsSentence) {
      at = end;
    } else {
      while (at != end && !detail::IsSpace(*at)) ++at;
    }
  }
  return true;
}

}  // namespace util

#endif  // UTIL_SPLIT_WORDS_H
