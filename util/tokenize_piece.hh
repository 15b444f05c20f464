// util::TokenIter: splits a StringPiece into tokens at separators, without
// copying.
//
// The separator is found by a finder policy with
//   StringPiece Find(const StringPiece &in) const;
// that returns the first separator inside `in`, or an empty piece at in.end()
// when there is none.  Two finders are provided:
//   SingleCharacter  one separator byte;
//   BoolCharacter    any byte whose entry of a 256-entry table is true (for
//                    example util::kSpaces from util/file_piece.hh, which
//                    splits at whitespace).
// Each step yields the bytes before the next separator and continues after
// it.  With SkipEmpty the empty tokens (between adjacent separators, or before
// a leading or after a trailing one) are not yielded, so whitespace runs count
// as one separator.  Tokens are views into the caller's bytes, which must stay
// alive while the iterator is used.  Nothing is allocated.
//
// An iterator converts to false once the text is exhausted; dereferencing it
// then throws OutOfTokens.
#ifndef UTIL_TOKENIZE_PIECE_H
#define UTIL_TOKENIZE_PIECE_H

#include "util/exception.hh"
#include "util/string_piece.hh"

namespace util {

class SingleCharacter {
 public:
  explicit SingleCharacter(char delimiter) : delimiter_(delimiter) {}

  StringPiece Find(const StringPiece &in) const {
    for (const char *i = in.begin(); i != in.end(); ++i) {
      if (*i == delimiter_) return StringPiece(i, 1);
    }
    return StringPiece(in.end(), 0);
  }

 private:
  char delimiter_;
};

class BoolCharacter {
 public:
  // `delimiter` has 256 entries indexed by unsigned byte value; borrowed.
  explicit BoolCharacter(const bool *delimiter) : delimiter_(delimiter) {}

  StringPiece Find(const StringPiece &in) const {
    for (const char *i = in.begin(); i != in.end(); ++i) {
      if (delimiter_[static_cast<unsigned char>(*i)]) return StringPiece(i, 1);
    }
    return StringPiece(in.end(), 0);
  }

 private:
  const bool *delimiter_;
};

template <class Find, bool SkipEmpty = false>
class TokenIter {
 public:
  TokenIter(const StringPiece &str, const Find &finder) : after_(str), finder_(finder) { Increment(); }

  explicit operator bool() const { return current_.data() != nullptr; }

  TokenIter &operator++() {
    Increment();
    return *this;
  }

  const StringPiece &operator*() const {
    UTIL_THROW_IF(!current_.data(), OutOfTokens, "Ran out of tokens");
    return current_;
  }

  const StringPiece *operator->() const { return &**this; }

 private:
  void Increment() {
    do {
      if (!after_.data()) {
        current_ = StringPiece();
        return;
      }
      StringPiece found = finder_.Find(after_);
      current_ = StringPiece(after_.data(), found.data() - after_.data());
      if (found.data() == after_.end()) {
        after_ = StringPiece();
      } else {
        after_ = StringPiece(found.end(), after_.end() - found.end());
      }
    } while (SkipEmpty && current_.empty());
  }

  StringPiece current_;
  StringPiece after_;
  Find finder_;
};

}  // namespace util

#endif  // UTIL_TOKENIZE_PIECE_H
