// The exception family through which the library reports every failure.
//
// util::Exception holds one text.  A throw site builds the exception, records
// where it was thrown with SetLocation (which puts a header line in front of
// whatever the constructor wrote), streams message values into it with << and
// throws a copy.  The UTIL_THROW* macros below follow that protocol; the
// header names the module path (such as "util/file"), the line, the throwing
// function's signature, the class name as written at the throw site and the
// failed condition.
#ifndef UTIL_EXCEPTION_H
#define UTIL_EXCEPTION_H

#include "util/number_format.hh"
#include "util/string_piece.hh"

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <type_traits>

namespace util {

class Exception : public std::exception {
 public:
  Exception() noexcept;
  virtual ~Exception() noexcept;
  Exception(const Exception &) = default;
  Exception &operator=(const Exception &) = default;

  const char *what() const noexcept override { return what_.c_str(); }

  // Rewrites the text as the location header followed by the text so far.
  // Null `source`, `function` or `condition_text` contribute nothing; a null
  // `class_name` stands for the pointer type name "PN4util9ExceptionE".
  void SetLocation(const char *source, unsigned line_number, const char *function,
                   const char *class_name, const char *condition_text);

  void AppendBytes(const char *data, std::size_t length) { what_.append(data, length); }

  // Formats a number in place: reserves `room` bytes, lets `format` write
  // into them and cuts the text back to what it wrote.
  template <class Format> void AppendFormatted(std::size_t room, Format format) {
    std::size_t old = what_.size();
    what_.resize(old + room);
    char *end = format(&what_[old]);
    what_.resize(static_cast<std::size_t>(end - what_.data()));
  }

 private:
  std::string what_;
};

// Insertion of message values; each returns the exception as its own class so
// that a chain of insertions can be thrown as that class.
template <class E>
concept ExceptionClass = std::derived_from<E, Exception>;

template <ExceptionClass E> E &operator<<(E &e, const char *text) {
  if (text) e.AppendBytes(text, std::strlen(text));
  return e;
}
template <ExceptionClass E> E &operator<<(E &e, char *text) { return e << static_cast<const char *>(text); }
template <ExceptionClass E> E &operator<<(E &e, const std::string &text) {
  e.AppendBytes(text.data(), text.size());
  return e;
}
template <ExceptionClass E> E &operator<<(E &e, const StringPiece &text) {
  e.AppendBytes(text.data(), text.size());
  return e;
}
template <ExceptionClass E> E &operator<<(E &e, char byte) {
  e.AppendBytes(&byte, 1);
  return e;
}

namespace detail {
// The ToString argument type for an integer of any width and signedness.
template <class T> using FormatAs = std::conditional_t<
    std::is_signed_v<T>,
    std::conditional_t<(sizeof(T) > 4), int64_t, std::conditional_t<(sizeof(T) > 2), int32_t, int16_t>>,
    std::conditional_t<(sizeof(T) > 4), uint64_t, std::conditional_t<(sizeof(T) > 2), uint32_t, uint16_t>>>;

template <class T> void AppendNumber(Exception &e, T value) {
  e.AppendFormatted(ToStringBuf<T>::kBytes, [value](char *to) { return ToString(value, to); });
}
}  // namespace detail

template <ExceptionClass E, class T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, char> && !std::is_same_v<T, bool>)
E &operator<<(E &e, T value) {
  detail::AppendNumber(e, static_cast<detail::FormatAs<T>>(value));
  return e;
}
template <ExceptionClass E> E &operator<<(E &e, bool value) {
  detail::AppendNumber(e, static_cast<uint16_t>(value));
  return e;
}
template <ExceptionClass E, class T>
  requires std::is_enum_v<T>
E &operator<<(E &e, T value) {
  detail::AppendNumber(e, static_cast<int32_t>(value));
  return e;
}
template <ExceptionClass E> E &operator<<(E &e, float value) {
  detail::AppendNumber(e, value);
  return e;
}
template <ExceptionClass E> E &operator<<(E &e, double value) {
  detail::AppendNumber(e, value);
  return e;
}
template <ExceptionClass E> E &operator<<(E &e, const void *value) {
  detail::AppendNumber(e, value);
  return e;
}
template <ExceptionClass E> E &operator<<(E &e, void *value) { return e << static_cast<const void *>(value); }

// Input quoted in a message: at most kExcerptBytes of `text`, followed by
// "... (N bytes in all)" when it is longer, so that a damaged file's
// enormous line cannot swell a message to its own size.
struct Excerpt {
  static constexpr std::size_t kExcerptBytes = 256;
  explicit Excerpt(StringPiece quoted) : text(quoted) {}
  StringPiece text;
};

template <ExceptionClass E> E &operator<<(E &e, const Excerpt &excerpt) {
  if (excerpt.text.size() <= Excerpt::kExcerptBytes) return e << excerpt.text;
  return e << StringPiece(excerpt.text.data(), Excerpt::kExcerptBytes) << "... (" << excerpt.text.size()
           << " bytes in all)";
}

// Saves errno and writes its description followed by a blank.
class ErrnoException : public Exception {
 public:
  ErrnoException() noexcept;
  virtual ~ErrnoException() noexcept;
  int Error() const { return errno_; }

 private:
  int errno_;
};

// An ErrnoException about a file descriptor: adds "in ", a name guess for the
// descriptor (NameFromFD) and a blank.
class FDException : public ErrnoException {
 public:
  explicit FDException(int fd) noexcept;
  virtual ~FDException() noexcept;
  int FD() const { return fd_; }
  const std::string &NameGuess() const { return name_guess_; }

 private:
  int fd_;
  std::string name_guess_;
};

// An allocation failure: adds "for ", the requested byte count and " bytes ".
class MallocException : public ErrnoException {
 public:
  explicit MallocException(uint64_t requested) noexcept;
  virtual ~MallocException() noexcept;
};

// "End of file"; the text reader throws it without a location.
class EndOfFileException : public Exception {
 public:
  EndOfFileException() noexcept;
  virtual ~EndOfFileException() noexcept;
};

// Begins "Could not parse \"<token>\" into a "; the thrower adds the type.
class ParseNumberException : public Exception {
 public:
  explicit ParseNumberException(StringPiece token) noexcept;
  virtual ~ParseNumberException() noexcept;
};

class OverflowException : public Exception {};
class UnsupportedOSException : public Exception {};
class CompressedException : public Exception {};
class GZException : public CompressedException {};
class BZException : public CompressedException {};
class XZException : public CompressedException {};
class OutOfTokens : public Exception {};

namespace detail {

constexpr std::size_t PathLength(const char *path) {
  std::size_t length = 0;
  while (path[length]) ++length;
  return length;
}

constexpr bool StartsWithAt(const char *path, std::size_t at, const char *prefix) {
  for (std::size_t i = 0; prefix[i]; ++i)
    if (path[at + i] != prefix[i]) return false;
  return true;
}

// "/anything/lm/vocab.cc" -> "lm/vocab": the path from the last top-level
// source directory of the project, without the extension.
template <std::size_t kLength> constexpr std::array<char, kLength + 1> ModulePath(const char *path) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < kLength; ++i) {
    if (i && path[i - 1] != '/') continue;
    if (StartsWithAt(path, i, "util/") || StartsWithAt(path, i, "lm/") || StartsWithAt(path, i, "python/"))
      start = i;
  }
  std::size_t stop = kLength;
  for (std::size_t i = start; i < kLength; ++i) {
    if (path[i] == '.') stop = i;
    if (path[i] == '/') stop = kLength;
  }
  std::array<char, kLength + 1> out{};
  for (std::size_t i = start; i < stop; ++i) out[i - start] = path[i];
  return out;
}

}  // namespace detail
}  // namespace util

#define UTIL_MODULE_PATH                                                                         \
  ([] {                                                                                          \
    static constexpr auto kModulePath =                                                          \
        ::util::detail::ModulePath<::util::detail::PathLength(__FILE__)>(__FILE__);              \
    return kModulePath.data();                                                                   \
  }())

// Builds, locates, fills and throws an exception.  `Args` is the parenthesised
// constructor argument list (possibly empty); `ConditionText` the failed
// condition's text or nullptr.  The header names the class exactly as the
// site writes it: "Exception" inside namespace util, "util::Exception" where
// a site elsewhere qualifies it.
#define UTIL_THROW_BACKEND(ConditionText, Exception, Args, Modify)                                \
  do {                                                                                            \
    Exception UTIL_e Args;                                                                        \
    UTIL_e.SetLocation(UTIL_MODULE_PATH, __LINE__, __PRETTY_FUNCTION__,                           \
                       #Exception, ConditionText);                                                 \
    UTIL_e << Modify;                                                                             \
    throw UTIL_e;                                                                                 \
  } while (0)

#define UTIL_THROW_ARG(Exception, Args, Modify) UTIL_THROW_BACKEND(nullptr, Exception, Args, Modify)
#define UTIL_THROW(Exception, Modify) UTIL_THROW_BACKEND(nullptr, Exception, , Modify)

// Throws when `Condition` holds; the header quotes the condition as written.
#define UTIL_THROW_IF_ARG(Condition, Exception, Args, Modify)                                     \
  do {                                                                                            \
    if (__builtin_expect(static_cast<bool>(Condition), 0)) {                                      \
      UTIL_THROW_BACKEND(#Condition, Exception, Args, Modify);                                    \
    }                                                                                             \
  } while (0)
#define UTIL_THROW_IF(Condition, Exception, Modify) UTIL_THROW_IF_ARG(Condition, Exception, , Modify)

// As UTIL_THROW_IF_ARG, quoting `ConditionText` in the header instead of the
// code (for conditions whose documented text spells out platform constants).
#define UTIL_THROW_IF_TEXT(Condition, ConditionText, Exception, Args, Modify)                     \
  do {                                                                                            \
    if (__builtin_expect(static_cast<bool>(Condition), 0)) {                                      \
      UTIL_THROW_BACKEND(ConditionText, Exception, Args, Modify);                                 \
    }                                                                                             \
  } while (0)

#endif  // UTIL_EXCEPTION_H
