// StringPiece: a non-owning view of bytes (a pointer and a length).
//
// The bytes need no NUL terminator and may contain NUL bytes.  The view never
// owns what it points at: the caller keeps the bytes alive while it is used.
// Searches follow the rules of the same-named std::string operations.
#ifndef UTIL_STRING_PIECE_H
#define UTIL_STRING_PIECE_H

#include <cstddef>
#include <cstring>
#include <iosfwd>
#include <string>
#include <string_view>

class StringPiece {
 public:
  typedef std::size_t size_type;
  static constexpr size_type npos = static_cast<size_type>(-1);

  constexpr StringPiece() : ptr_(nullptr), length_(0) {}
  StringPiece(const char *str) : ptr_(str), length_(str ? std::strlen(str) : 0) {}
  StringPiece(const std::string &str) : ptr_(str.data()), length_(str.size()) {}
  constexpr StringPiece(const char *data, size_type length) : ptr_(data), length_(length) {}

  constexpr const char *data() const { return ptr_; }
  constexpr size_type size() const { return length_; }
  constexpr size_type length() const { return length_; }
  constexpr bool empty() const { return length_ == 0; }
  constexpr const char *begin() const { return ptr_; }
  constexpr const char *end() const { return ptr_ + length_; }
  constexpr char operator[](size_type i) const { return ptr_[i]; }

  std::string as_string() const { return std::string(ptr_, length_); }
  void CopyToString(std::string *destination) const { destination->assign(ptr_, length_); }

  StringPiece substr(size_type pos, size_type n = npos) const {
    if (pos > length_) pos = length_;
    if (n > length_ - pos) n = length_ - pos;
    return StringPiece(ptr_ + pos, n);
  }

  size_type find(const StringPiece &s, size_type pos = 0) const { return View().find(s.View(), pos); }
  size_type find(char c, size_type pos = 0) const { return View().find(c, pos); }
  size_type rfind(const StringPiece &s, size_type pos = npos) const { return View().rfind(s.View(), pos); }
  size_type rfind(char c, size_type pos = npos) const { return View().rfind(c, pos); }
  size_type find_first_of(const StringPiece &s, size_type pos = 0) const { return View().find_first_of(s.View(), pos); }
  size_type find_first_of(char c, size_type pos = 0) const { return View().find_first_of(c, pos); }
  size_type find_first_not_of(const StringPiece &s, size_type pos = 0) const { return View().find_first_not_of(s.View(), pos); }
  size_type find_first_not_of(char c, size_type pos = 0) const { return View().find_first_not_of(c, pos); }
  size_type find_last_of(const StringPiece &s, size_type pos = npos) const { return View().find_last_of(s.View(), pos); }
  size_type find_last_of(char c, size_type pos = npos) const { return View().find_last_of(c, pos); }
  size_type find_last_not_of(const StringPiece &s, size_type pos = npos) const { return View().find_last_not_of(s.View(), pos); }
  size_type find_last_not_of(char c, size_type pos = npos) const { return View().find_last_not_of(c, pos); }

  bool starts_with(const StringPiece &prefix) const { return View().starts_with(prefix.View()); }

 private:
  constexpr std::string_view View() const { return ptr_ ? std::string_view(ptr_, length_) : std::string_view(); }

  const char *ptr_;
  size_type length_;
};

inline bool operator==(const StringPiece &a, const StringPiece &b) {
  return a.size() == b.size() && (a.size() == 0 || !std::memcmp(a.data(), b.data(), a.size()));
}
inline bool operator!=(const StringPiece &a, const StringPiece &b) { return !(a == b); }

std::ostream &operator<<(std::ostream &out, const StringPiece &piece);

#endif  // UTIL_STRING_PIECE_H
