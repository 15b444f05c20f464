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

namespace {

// Both strerror_r forms exist; only the one that fills the caller's buffer
// and returns an int reports success as 0.
const char *HandleStrerror(int ret, const char *buf) { return ret ? nullptr : buf; }
const char *HandleStrerror(const char *ret, const char *) { return ret; }

}  // namespace

ErrnoException::ErrnoException() noexcept : errno_(errno) {
  char buf[200];
  buf[0] = 0;
  const char *description = HandleStrerror(strerror_r(errno_, buf, sizeof(buf)), buf);
  if (description) *this << description << ' ';
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
  *this << "Could not parse \"" << token << "\" into a ";
}
ParseNumberException::~ParseNumberException() noexcept {}

}  // namespace util
