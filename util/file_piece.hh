// FilePiece: the buffered reader through which text files are parsed.
//
// Lines and tokens come back as StringPiece views into the reader's buffer,
// and numbers are parsed in place, so a multi-gigabyte file is read without
// copying.  A view stays valid only until the next call that reads (any of
// them may refill the buffer, which unmaps or moves it).
//
// A regular file that can be sized and positioned is mapped window by window,
// starting at the descriptor's current position, and a progress bar over its
// bytes is drawn on the caller's stream.  Anything else (pipes, terminals,
// streams) is read into a growable heap buffer through ReadCompressed, which
// refuses gzip, bzip2 and xz input; compressed data found in a mapped file is
// refused the same way.  The window (or read buffer) starts at the caller's
// minimum size rounded up to whole pages, at least two, and doubles only when
// one line or token does not fit.
//
// Every reading call may throw EndOfFileException ("End of file") once the
// input is exhausted; the number readers throw ParseNumberException for text
// that is not a number and leave the position unchanged.
//
// Not-a-number: ReadFloat and ReadDouble accept a token (the bytes up to the
// next kSpaces byte or the end of the input) that is exactly "NaN" or "nan"
// and consume exactly those three bytes, wherever the token falls in the
// buffer.  Any other text whose parse gives NaN ("NaNx", "-nan", "NAN", ...)
// is refused.
//
// LineIterator walks the lines of a reader until the end of its input.
#ifndef UTIL_FILE_PIECE_H
#define UTIL_FILE_PIECE_H

#include "util/exception.hh"
#include "util/file.hh"
#include "util/mmap.hh"
#include "util/progress.hh"
#include "util/read_compressed.hh"
#include "util/string_piece.hh"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

namespace util {

// True exactly for tab, newline, vertical tab, form feed, carriage return and
// space: the default delimiters and the blanks skipped before numbers.
extern const bool kSpaces[256];

class FilePiece {
 public:
  // The window never grows beyond this many bytes: a longer line or token
  // (a file of zeros, say) throws util::Exception instead of exhausting
  // memory.
  static constexpr std::size_t kLongestLine = std::size_t{1} << 28;

  // Opens `name` for reading.
  explicit FilePiece(const char *name, std::ostream *progress_stream = nullptr,
                     std::size_t minimum_buffer = 1 << 20);
  // Takes ownership of `fd` and reads from its current position; a null
  // `name` is replaced by NameFromFD(fd) in messages.
  explicit FilePiece(int fd, const char *name = nullptr, std::ostream *progress_stream = nullptr,
                     std::size_t minimum_buffer = 1 << 20);
  // Reads from `input` (borrowed); the source name is "istream" and no
  // progress is shown.
  explicit FilePiece(std::istream &input, const char *name = nullptr, std::size_t minimum_buffer = 1 << 20);

  ~FilePiece();

  FilePiece(const FilePiece &) = delete;
  FilePiece &operator=(const FilePiece &) = delete;

  // The next byte, consumed.
  char get() {
    if (position_ == position_end_) {
      Shift();
      if (position_ == position_end_) EndOfInput();
    }
    return *(position_++);
  }

  // The bytes up to the next `delimiter` (consumed, not returned), without a
  // carriage return just before it when `drop_carriage_return` is set.  The
  // last line of the input needs no delimiter; it is returned as it is.
  StringPiece ReadLine(char delimiter = '\n', bool drop_carriage_return = true);
  // As ReadLine into `to`, or false when the input is exhausted.
  bool ReadLineOrEOF(StringPiece &to, char delimiter = '\n', bool drop_carriage_return = true);

  // The first byte at or after the position whose `delimiter` entry is true,
  // or the end of the data when the input ends first; consumes nothing.
  const char *FindDelimiterOrEOF(const bool *delimiter = kSpaces) {
    for (const char *at = position_; at != position_end_; ++at)
      if (delimiter[static_cast<unsigned char>(*at)]) return at;
    return FindDelimiterAfterRefill(delimiter);
  }

  // Consumes bytes while their `delimiter` entry is true.
  void SkipDelimiters(const bool *delimiter = kSpaces) {
    while (true) {
      if (position_ == position_end_) {
        Shift();
        if (position_ == position_end_) return;
      }
      if (!delimiter[static_cast<unsigned char>(*position_)]) return;
      ++position_;
    }
  }

  // The bytes up to the next delimiter, consumed; the delimiter is not.
  StringPiece ReadUntilDelimiter(const bool *delimiter = kSpaces) { return Consume(FindDelimiterOrEOF(delimiter)); }

  // Skip kSpaces bytes, then parse a number and consume exactly its bytes
  // (trailing junk such as the "x" of "0x10" stays unread).
  float ReadFloat();
  double ReadDouble();
  long ReadLong();
  unsigned long ReadULong();

  // File offset of the next unread byte.
  uint64_t ByteOffset() const {
    return mapped_offset_ + static_cast<uint64_t>(position_ - data_.begin());
  }

  // The bytes already in the buffer from ByteOffset() on, consumed by
  // nothing; for looking ahead, valid until the next reading call.
  StringPiece Buffered() const {
    return StringPiece(position_, static_cast<std::size_t>(position_end_ - position_));
  }

  const std::string &SourceName() const { return file_name_; }

  // While mapping, moves the progress bar to ByteOffset().
  void UpdateProgress();

 private:
  struct Source {
    std::string name;
    int fd;
  };
  FilePiece(Source source, std::ostream *progress_stream, std::size_t minimum_buffer);

  void Initialize(std::ostream *progress_stream, std::size_t minimum_buffer);

  StringPiece Consume(const char *to) {
    StringPiece ret(position_, static_cast<std::size_t>(to - position_));
    position_ = to;
    return ret;
  }

  const char *FindDelimiterAfterRefill(const bool *delimiter);

  template <class T> T ReadNumber();
  template <class T> T ReadNumberAtEnd();

  // Completes the progress bar and throws a bare EndOfFileException.
  [[noreturn]] void EndOfInput();

  // Refill: throws at the end of the input, else maps the next window or
  // reads more, then locates the last blank in the buffer.
  void Shift();
  void MapShift(uint64_t desired_begin);
  void ReadShift();
  // Doubles the window for a line or token that does not fit; throws at
  // kLongestLine.
  void GrowWindow();
  void TransitionToRead();

  const char *position_ = nullptr;
  // One past the last kSpaces byte in [position_, position_end_) as of the
  // last refill; position_ or earlier when there is none.
  const char *last_space_end_ = nullptr;
  const char *position_end_ = nullptr;

  scoped_fd file_;
  const uint64_t total_size_;

  std::size_t window_size_ = 0;
  uint64_t mapped_offset_ = 0;

  scoped_memory data_;

  bool at_end_ = false;
  bool reading_ = false;

  ErsatzProgress progress_;

  std::string file_name_;

  ReadCompressed reader_;
};

// Input iteration over the lines of a reader (read with ReadLine(delimiter,
// true)); tests false, and equals the default-constructed end iterator, once
// the input is exhausted.
class LineIterator {
 public:
  LineIterator() = default;
  explicit LineIterator(FilePiece &reader, char delimiter = '\n') : reader_(&reader), delimiter_(delimiter) {
    ++*this;
  }

  LineIterator &operator++() {
    if (!reader_->ReadLineOrEOF(line_, delimiter_, true)) reader_ = nullptr;
    return *this;
  }

  const StringPiece &operator*() const { return line_; }
  const StringPiece *operator->() const { return &line_; }

  explicit operator bool() const { return reader_ != nullptr; }

  bool operator==(const LineIterator &other) const {
    return reader_ == other.reader_ && (!reader_ || line_.data() == other.line_.data());
  }

 private:
  FilePiece *reader_ = nullptr;
  StringPiece line_;
  char delimiter_ = '\n';
};

}  // namespace util

#endif  // UTIL_FILE_PIECE_H
