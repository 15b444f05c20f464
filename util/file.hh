// File operations that complete or throw.
//
// Each function performs one POSIX file operation completely: partial reads
// and writes are continued, calls interrupted by a signal (EINTR) are
// repeated, and any other failure throws an exception whose text names the
// operation, the sizes and offsets involved and, for descriptor operations
// (util::FDException), a guess at the file's name.  Sizes and offsets are
// unsigned 64-bit; relative seeks take signed 64-bit offsets.
//
// Temporary files are created already unlinked, so nothing is left on disk
// when the process ends.
#ifndef UTIL_FILE_H
#define UTIL_FILE_H

#include "util/string_piece.hh"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace util {

// Sole owner of a file descriptor; -1 means it owns none.  Destroying or
// resetting the handle closes the descriptor; a failing close writes
// "Could not close file <fd>" to standard error and aborts the process.
class scoped_fd {
 public:
  scoped_fd() noexcept : fd_(-1) {}
  explicit scoped_fd(int fd) noexcept : fd_(fd) {}
  scoped_fd(scoped_fd &&from) noexcept : fd_(from.release()) {}
  scoped_fd &operator=(scoped_fd &&from) noexcept {
    reset(from.release());
    return *this;
  }
  scoped_fd(const scoped_fd &) = delete;
  scoped_fd &operator=(const scoped_fd &) = delete;
  ~scoped_fd();

  // Closes the current descriptor (if any) and takes ownership of `to`.
  void reset(int to = -1) noexcept {
    scoped_fd old(fd_);
    fd_ = to;
  }

  int get() const noexcept { return fd_; }
  int operator*() const noexcept { return fd_; }

  // Gives up ownership without closing; the handle then holds -1.
  int release() noexcept {
    int ret = fd_;
    fd_ = -1;
    return ret;
  }

 private:
  int fd_;
};

// Closes a stream for util::scoped_FILE; nothing for a null stream.  A
// failing fclose writes "Could not close file <pointer>" to standard error
// and aborts the process.
struct scoped_FILE_closer {
  void operator()(std::FILE *file) const noexcept;
};

// Sole owner of a standard-library stream.
typedef std::unique_ptr<std::FILE, scoped_FILE_closer> scoped_FILE;

// Returned by SizeFile when the size cannot be known.
constexpr uint64_t kBadSize = ~static_cast<uint64_t>(0);

// Opens read-only.  Throws util::ErrnoException.
int OpenReadOrThrow(const char *name);

// Opens for reading and writing, creating (mode 0644) or truncating the file.
// Throws util::ErrnoException.
int CreateOrThrow(const char *name);

// The size of the file, or kBadSize when fstat fails or the file is empty
// and not a regular file (pipes, terminals, sockets).  Never throws.
uint64_t SizeFile(int fd);
// As SizeFile, throwing util::FDException "Failed to size" for kBadSize.
uint64_t SizeOrThrow(int fd);
// True when `fd` is open on a directory.
bool IsDirectory(int fd);

// True when `path` names the file open on `fd`: its directory entry exists
// and leads (through links, or as another name of it) to the same device
// and inode.  False when `path` names nothing or either cannot be examined.
// Writers call it to refuse an output that would destroy their input.
// Never throws.
bool IsSameFile(int fd, const char *path);

void ResizeOrThrow(int fd, uint64_t to);

// Hole punching is not provided: always throws util::UnsupportedOSException.
void HolePunch(int fd, uint64_t offset, uint64_t size);

// One read of up to `byte_count` bytes; 0 means end of file.
std::size_t PartialRead(int fd, void *to, std::size_t byte_count);
// Reads exactly `byte_count` bytes; an early end of file throws
// util::EndOfFileException naming the count still missing.
void ReadOrThrow(int fd, void *to, std::size_t byte_count);
// Reads until `byte_count` bytes are in or the file ends; returns the total.
std::size_t ReadOrEOF(int fd, void *to, std::size_t byte_count);

void WriteOrThrow(int fd, const void *data, std::size_t size);
// One fwrite of `size` bytes; nothing at all for size 0.
void WriteOrThrow(std::FILE *to, const void *data, std::size_t size);

// Exact transfers at an absolute offset that neither use nor move the
// descriptor's position, so threads may share the descriptor.
void ErsatzPRead(int fd, void *to, std::size_t size, uint64_t offset);
void ErsatzPWrite(int fd, const void *data, std::size_t size, uint64_t offset);

void FSyncOrThrow(int fd);

// Seeks return the new position.  AdvanceOrThrow(fd, 0) reads the position.
uint64_t SeekOrThrow(int fd, uint64_t position);
uint64_t AdvanceOrThrow(int fd, int64_t position);
uint64_t SeekEnd(int fd);

// Wrap the handle's descriptor in a stream ("r+b", resp. "rb").  On success
// the descriptor belongs to the stream and the handle holds -1; on failure
// the handle keeps it.
std::FILE *FDOpenOrThrow(scoped_fd &handle);
std::FILE *FDOpenReadOrThrow(scoped_fd &handle);

int DupOrThrow(int fd);

// mkstemp on `tmpl` (which ends in "XXXXXX" and receives the name made),
// then unlinks the name.  Returns mkstemp's -1 unchanged; throws
// util::ErrnoException (leaving the new descriptor open) if unlink fails.
int mkstemp_and_unlink(char *tmpl);

// A read-write descriptor of a new file named `name_prefix` followed by six
// characters, whose name is already removed.
int MakeTemp(const StringPiece &name_prefix);
// MakeTemp as a stream opened "r+b".
std::FILE *FMakeTemp(const StringPiece &name_prefix);

// The first of TMPDIR, TMP, TEMPDIR, TEMP that is set and not empty, with
// NormalizeTempPrefix applied; "/tmp/" when none is.  Never throws.
std::string DefaultTempDirectory();

// Appends "/" when `name_prefix` is not empty, does not end in "/" and names
// an existing directory.
void NormalizeTempPrefix(std::string &name_prefix);

// A name for the descriptor, for messages: the target of /proc/self/fd/<fd>
// when that is a path (or empty); otherwise "stdin", "stdout", "stderr" for
// 0, 1, 2 and "fd <fd>" for the rest.  Never throws; keeps errno.
std::string NameFromFD(int fd);

// True exactly for "-" and "/dev/stdin", resp. "-" and "/dev/stdout".
bool InputFileIsStdin(StringPiece file_name);
bool OutputFileIsStdout(StringPiece file_name);

}  // namespace util

#endif  // UTIL_FILE_H
