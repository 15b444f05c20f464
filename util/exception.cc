#include "util/exception.hh"

#include "util/file.hh"

#include <cerrno>
#include <cstring>

namespace util {

Exception::Exception() noexcept {}
Exception::~Exception() noexcept {}

void Exception::SetLocation(const char *source, unsigned line_number, const char *function,
                            const char *class_name, const char *condition_text) {
  std::string constructor_text;
  constructor_text.swap(what_);
  *this << source << ':' << line_number;
  if (function) *this << " in " << function << " threw ";
  *this << (class_name ? class_name : "PN4util9ExceptionE");
  if (condition_text) *this << " because `" << condition_text << '\'';
  *this << ".\n" << constructor_text;
}

// The description comes from the buffer-filling strerror_r, which reports an
// unknown errno value as a failure (0 is success).  C++ compilers define
// _GNU_SOURCE, under which glibc's strerror_r is the other form, so the
// buffer-filling one is named directly there.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
extern "C" int __xpg_strerror_r(int errnum, char *buf, std::size_t buflen) noexcept;
#endif

namespace {

int FillStrerror(int errnum, char *buf, std::size_t size) {
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  return __xpg_strerror_r(errnum, buf, size);
#else
  return strerror_r(errnum, buf, size);
#endif
}

}  // namespace

ErrnoException::ErrnoException() noexcept : errno_(errno) {
  char buf[200];
  buf[0] = 0;
  if (!FillStrerror(errno_, buf, sizeof(buf))) *this << static_cast<const char *>(buf) << ' ';
}
ErrnoException::~ErrnoException() noexcept {}

FDException::FDException(int fd) noexcept : fd_(fd), name_guess_(NameFromFD(fd)) {
  *this << "in " << name_guess_ << ' ';
}
FDException::~FDException() noexcept {}

MallocException::MallocException(uint64_t requested) noexcept {
  *this << "for " << requested << " bytes ";
}
MallocException::~MallocException() noexcept {}

EndOfFileException::EndOfFileException() noexcept { *this << "End of file"; }
EndOfFileException::~EndOfFileException() noexcept {}

ParseNumberException::ParseNumberException(StringPiece token) noexcept {
  *this << "Could not parse \"" << Excerpt(token) << "\" into a ";
}
ParseNumberException::~ParseNumberException() noexcept {}

}  // namespace util
