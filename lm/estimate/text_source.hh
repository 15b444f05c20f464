// The LineSources that an estimate reads: text files, and lines handed over
// one at a time by a callback (the Python layer's iterables).
//
// FileLineSource reads a list of paths in order, "-" standing for standard
// input ("standard input" in messages).  Each file is decompressed when its
// first bytes show gzip, bzip2 or xz (util::Decompress).  Lines end at '\n';
// a last line without one counts; every other byte, a '\r' before the '\n'
// included, stays in the line (the word splitter takes '\r' for a blank).
// The paths are opened once at construction, so that a missing or
// unreadable file, or a directory, is refused before any line is read; each
// is then read when its turn comes.  A line longer than `longest_line` bytes
// throws LineTooLongException naming the file and line.  TotalBytes() is the
// sum of the files' raw sizes (util::kBadSize when one of them is standard
// input or not a regular file), BytesDone() the raw bytes read so far, so
// that compressed text shows progress in its own bytes.  Lines are cut out
// of a buffer of large reads; it grows only for a line longer than itself.
//
// CallbackLineSource pulls lines through a C function, so that Cython can
// supply them: `next(context, &data, &size)` returns 1 with the line in
// [data, data + size) (valid until the next call), 0 at the end, or -1 when
// it failed, keeping its error to itself; the source then throws
// LineCallbackException, on which the caller reports its own error.  One
// '\n' at the end of a line handed over is dropped (lines read from a file
// keep theirs); other bytes stay.  The same `longest_line` limit applies.
#ifndef LM_ESTIMATE_TEXT_SOURCE_H
#define LM_ESTIMATE_TEXT_SOURCE_H

#include "lm/estimate/line_source.hh"
#include "util/exception.hh"
#include "util/file_piece.hh"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace util {
class Decompress;
}  // namespace util

namespace lm {
namespace estimate {

// The text reader's limit on a line.
constexpr std::size_t kLongestTextLine = util::FilePiece::kLongestLine;

class LineTooLongException : public util::Exception {};
class LineCallbackException : public util::Exception {};

class FileLineSource : public LineSource {
 public:
  explicit FileLineSource(std::vector<std::string> paths, std::size_t longest_line = kLongestTextLine);
  ~FileLineSource() override;

  bool Next(StringPiece &line) override;
  const std::string &Name() const override { return name_; }
  uint64_t LineNumber() const override { return line_number_; }
  uint64_t BytesDone() const override;
  uint64_t TotalBytes() const override { return total_bytes_; }

  // ---- Details ----
 private:
  // Opens the next path: false when none is left.
  bool OpenNext();
  // Moves the unfinished line to the front and reads more behind it: false
  // when the file has ended.
  bool Refill();
  void Grow();

  const std::vector<std::string> paths_;
  const std::size_t longest_line_;
  uint64_t total_bytes_ = 0;

  std::size_t next_path_ = 0;
  std::string name_;
  uint64_t line_number_ = 0;
  std::unique_ptr<util::Decompress> file_;
  uint64_t finished_bytes_ = 0;  // raw bytes of the files already closed

  // [begin_, end_) is read and not yet handed out; no '\n' lies in
  // [begin_, scanned_).
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_;
  char *begin_, *scanned_, *end_;
};

typedef int (*NextLineCallback)(void *context, const char **data, std::size_t *size);

class CallbackLineSource : public LineSource {
 public:
  // `name` stands for the lines in messages.
  CallbackLineSource(NextLineCallback next, void *context, std::string name,
                     std::size_t longest_line = kLongestTextLine);

  bool Next(StringPiece &line) override;
  const std::string &Name() const override { return name_; }
  uint64_t LineNumber() const override { return line_number_; }
  uint64_t BytesDone() const override { return bytes_; }
  uint64_t TotalBytes() const override;

 private:
  const NextLineCallback next_;
  void *const context_;
  const std::string name_;
  const std::size_t longest_line_;
  uint64_t line_number_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_TEXT_SOURCE_H
