#include "util/file.hh"

#include "util/exception.hh"
#include "util/number_format.hh"

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace util {

scoped_fd::~scoped_fd() {
  if (fd_ != -1 && close(fd_)) {
    std::cerr << "Could not close file " << fd_ << std::endl;
    std::abort();
  }
}

void scoped_FILE_closer::operator()(std::FILE *file) const noexcept {
  // The stream's address ("0x..." as a stream shows it) is written out
  // before the stream is closed.
  char address[ToStringBuf<const void *>::kBytes];
  const StringPiece shown(address, ToString(static_cast<const void *>(file), address) - address);
  if (file && std::fclose(file)) {
    std::cerr << "Could not close file " << shown << std::endl;
    std::abort();
  }
}

int OpenReadOrThrow(const char *name) {
  int ret;
  UTIL_THROW_IF_TEXT(-1 == (ret = open(name, O_RDONLY)), "-1 == (ret = open(name, 0x0000))", ErrnoException, ,
                     "while opening " << name);
  return ret;
}

int CreateOrThrow(const char *name) {
  int ret;
  UTIL_THROW_IF_TEXT(-1 == (ret = open(name, O_CREAT | O_TRUNC | O_RDWR, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH)),
                     "-1 == (ret = open(name, 0x0200 | 0x0400 | 0x0002, 0000400 | 0000200 | 0000040 | 0000004))",
                     ErrnoException, , "while creating " << name);
  return ret;
}

uint64_t SizeFile(int fd) {
  struct stat sb;
  if (fstat(fd, &sb) == -1 || (sb.st_size == 0 && !S_ISREG(sb.st_mode))) return kBadSize;
  return static_cast<uint64_t>(sb.st_size);
}

bool IsDirectory(int fd) {
  struct stat sb;
  return fstat(fd, &sb) == 0 && S_ISDIR(sb.st_mode);
}

bool IsSameFile(int fd, const char *path) {
  struct stat open_file, named;
  return fstat(fd, &open_file) == 0 && stat(path, &named) == 0 && open_file.st_dev == named.st_dev &&
         open_file.st_ino == named.st_ino;
}

uint64_t SizeOrThrow(int fd) {
  uint64_t ret = SizeFile(fd);
  UTIL_THROW_IF_ARG(ret == kBadSize, FDException, (fd), "Failed to size");
  return ret;
}

void ResizeOrThrow(int fd, uint64_t to) {
  int ret = ftruncate(fd, static_cast<off_t>(to));
  UTIL_THROW_IF_ARG(ret, FDException, (fd), "while resizing to " << to << " bytes");
}

void HolePunch(int, uint64_t, uint64_t) {
  UTIL_THROW(UnsupportedOSException, "fallocate hole punching requires Linux and glibc >= 2.18");
}

std::size_t PartialRead(int fd, void *to, std::size_t byte_count) {
  errno = 0;
  ssize_t ret;
  do {
    ret = read(fd, to, byte_count);
  } while (ret == -1 && errno == EINTR);
  UTIL_THROW_IF_ARG(ret < 0, FDException, (fd), "while reading " << byte_count << " bytes");
  return static_cast<std::size_t>(ret);
}

void ReadOrThrow(int fd, void *to_void, std::size_t byte_count) {
  char *to = static_cast<char *>(to_void);
  while (byte_count) {
    std::size_t ret = PartialRead(fd, to, byte_count);
    UTIL_THROW_IF(ret == 0, EndOfFileException,
                  " in " << NameFromFD(fd) << " but there should be " << byte_count << " more bytes to read.");
    byte_count -= ret;
    to += ret;
  }
}

std::size_t ReadOrEOF(int fd, void *to_void, std::size_t byte_count) {
  char *to = static_cast<char *>(to_void);
  std::size_t remaining = byte_count;
  while (remaining) {
    std::size_t ret = PartialRead(fd, to, remaining);
    if (!ret) break;
    remaining -= ret;
    to += ret;
  }
  return byte_count - remaining;
}

void WriteOrThrow(int fd, const void *data_void, std::size_t size) {
  const char *data = static_cast<const char *>(data_void);
  while (size) {
    errno = 0;
    ssize_t ret;
    do {
      ret = write(fd, data, size);
    } while (ret == -1 && errno == EINTR);
    UTIL_THROW_IF_ARG(ret < 1, FDException, (fd), "while writing " << size << " bytes");
    data += ret;
    size -= static_cast<std::size_t>(ret);
  }
}

void WriteOrThrow(std::FILE *to, const void *data, std::size_t size) {
  if (!size) return;
  UTIL_THROW_IF(1 != std::fwrite(data, size, 1, to), ErrnoException, "Short write; requested size " << size);
}

void ErsatzPRead(int fd, void *to_void, std::size_t size, uint64_t offset) {
  char *to = static_cast<char *>(to_void);
  while (size) {
    errno = 0;
    ssize_t ret = pread(fd, to, size, static_cast<off_t>(offset));
    if (ret == -1) {
      if (errno == EINTR) continue;
      UTIL_THROW_ARG(FDException, (fd), "while reading " << size << " bytes at offset " << offset);
    }
    UTIL_THROW_IF(ret == 0, EndOfFileException,
                  " for reading " << size << " bytes at " << offset << " from " << NameFromFD(fd));
    to += ret;
    size -= static_cast<std::size_t>(ret);
    offset += static_cast<uint64_t>(ret);
  }
}

void ErsatzPWrite(int fd, const void *data_void, std::size_t size, uint64_t offset) {
  const char *data = static_cast<const char *>(data_void);
  while (size) {
    errno = 0;
    ssize_t ret = pwrite(fd, data, size, static_cast<off_t>(offset));
    if (ret == -1) {
      if (errno == EINTR) continue;
      UTIL_THROW_ARG(FDException, (fd), "while writing " << size << " bytes at offset " << offset);
    }
    UTIL_THROW_IF(ret == 0, EndOfFileException,
                  " for writing " << size << " bytes at " << offset << " from " << NameFromFD(fd));
    data += ret;
    size -= static_cast<std::size_t>(ret);
    offset += static_cast<uint64_t>(ret);
  }
}

void FSyncOrThrow(int fd) { UTIL_THROW_IF_ARG(-1 == fsync(fd), FDException, (fd), "while syncing"); }

namespace {

uint64_t InternalSeek(int fd, int64_t offset, int whence) {
  off_t ret = lseek(fd, static_cast<off_t>(offset), whence);
  UTIL_THROW_IF_TEXT(ret == static_cast<off_t>(-1), "(Offset)-1 == ret", FDException, (fd),
                     "while seeking to " << offset << " whence " << whence);
  return static_cast<uint64_t>(ret);
}

}  // namespace

uint64_t SeekOrThrow(int fd, uint64_t position) {
  return InternalSeek(fd, static_cast<int64_t>(position), SEEK_SET);
}

uint64_t AdvanceOrThrow(int fd, int64_t position) { return InternalSeek(fd, position, SEEK_CUR); }

uint64_t SeekEnd(int fd) { return InternalSeek(fd, 0, SEEK_END); }

std::FILE *FDOpenOrThrow(scoped_fd &handle) {
  std::FILE *ret = fdopen(handle.get(), "r+b");
  UTIL_THROW_IF_ARG(!ret, FDException, (handle.get()), "Could not fdopen for write");
  handle.release();
  return ret;
}

std::FILE *FDOpenReadOrThrow(scoped_fd &handle) {
  std::FILE *ret = fdopen(handle.get(), "rb");
  UTIL_THROW_IF_ARG(!ret, FDException, (handle.get()), "Could not fdopen for read");
  handle.release();
  return ret;
}

int DupOrThrow(int fd) {
  int ret = dup(fd);
  UTIL_THROW_IF_ARG(ret == -1, FDException, (fd), "in duplicating the file descriptor");
  return ret;
}

int mkstemp_and_unlink(char *tmpl) {
  // Signals wait until the name is gone, so that one ending the process
  // cannot leave the file behind.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  int ret = mkstemp(tmpl);
  const int made_errno = errno;
  const bool unlinked = ret == -1 || !unlink(tmpl);
  const int unlink_errno = errno;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  errno = unlinked ? made_errno : unlink_errno;
  UTIL_THROW_IF_TEXT(!unlinked, "unlink(tmpl)", ErrnoException, , "while deleting " << tmpl);
  return ret;
}

int MakeTemp(const StringPiece &name_prefix) {
  std::string name(name_prefix.data(), name_prefix.size());
  name += "XXXXXX";
  int ret;
  UTIL_THROW_IF(-1 == (ret = mkstemp_and_unlink(&name[0])), ErrnoException,
                "while making a temporary based on " << name_prefix);
  return ret;
}

std::FILE *FMakeTemp(const StringPiece &name_prefix) {
  scoped_fd file(MakeTemp(name_prefix));
  return FDOpenOrThrow(file);
}

std::string DefaultTempDirectory() {
  for (const char *variable : {"TMPDIR", "TMP", "TEMPDIR", "TEMP"}) {
    const char *value = std::getenv(variable);
    if (value && *value) {
      std::string ret(value);
      NormalizeTempPrefix(ret);
      return ret;
    }
  }
  return "/tmp/";
}

void NormalizeTempPrefix(std::string &name_prefix) {
  if (name_prefix.empty() || name_prefix.back() == '/') return;
  struct stat sb;
  if (stat(name_prefix.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode)) name_prefix += '/';
}

namespace {

// The target of the descriptor's link under /proc/self/fd, when it is a path
// (or empty); false for pipes, sockets and systems without the links.
bool LinkTarget(int fd, std::string &target) {
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  struct stat sb;
  if (lstat(link.c_str(), &sb) == -1) return false;
  target.resize(static_cast<std::size_t>(sb.st_size) + 1);
  while (true) {
    ssize_t ret = readlink(link.c_str(), &target[0], target.size());
    if (ret == -1) return false;
    if (static_cast<std::size_t>(ret) < target.size()) {
      target.resize(static_cast<std::size_t>(ret));
      break;
    }
    target.resize(target.size() * 2);
  }
  return target.empty() || target[0] == '/';
}

}  // namespace

std::string NameFromFD(int fd) {
  int saved_errno = errno;
  std::string name;
  if (!LinkTarget(fd, name)) {
    switch (fd) {
      case 0: name = "stdin"; break;
      case 1: name = "stdout"; break;
      case 2: name = "stderr"; break;
      default: name = "fd " + std::to_string(fd);
    }
  }
  errno = saved_errno;
  return name;
}

bool InputFileIsStdin(StringPiece file_name) { return file_name == "-" || file_name == "/dev/stdin"; }

bool OutputFileIsStdout(StringPiece file_name) { return file_name == "-" || file_name == "/dev/stdout"; }

}  // namespace util
