// Byte source for text input that cannot be mapped, with recognition of
// compressed data.
//
// ReadCompressed reads from a file descriptor (which it owns) or from a
// std::istream (which it borrows) and counts the raw bytes it has taken from
// that source.  When handed a descriptor it first reads up to six bytes and
// looks for the gzip (1F 8B), bzip2 ("BZh") or xz (FD 37 7A 58 5A 00) magic.
// No decompressor is built in: such input is refused with a
// CompressedException naming the format (the descriptor is then closed and
// no reader is held); any other input is delivered unchanged, the header
// bytes first.  Streams are passed through without the magic test.
//
// ReadBase is the interface of the interchangeable readers that a
// ReadCompressed holds; a reader may replace itself in its owner (the header
// reader becomes the plain descriptor reader once its bytes are used up).
#ifndef UTIL_READ_COMPRESSED_H
#define UTIL_READ_COMPRESSED_H

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>

namespace util {

class ReadCompressed;

// The formats that ReadCompressed recognises by their first bytes.
enum class Compression { kNone, kGzip, kBzip2, kXz };

// Which magic the first `size` bytes at `header` begin with (kNone when
// there are too few bytes for a magic).
Compression DetectCompression(const void *header, std::size_t size);

class ReadBase {
 public:
  virtual ~ReadBase();

  // Delivers up to `byte_count` bytes into `to`; 0 means the end.  May
  // destroy this reader through ReplaceThis before returning.
  virtual std::size_t Read(void *to, std::size_t byte_count, ReadCompressed &owner) = 0;

 protected:
  // Makes `replacement` (taken over) the reader of `owner` and destroys the
  // calling reader: nothing of `this` may be touched afterwards.
  static void ReplaceThis(ReadBase *replacement, ReadCompressed &owner);
  static ReadBase *Current(ReadCompressed &owner);
  static uint64_t &ReadCount(ReadCompressed &owner);
};

class ReadCompressed {
 public:
  // Bytes that the magic test looks at: the longest magic (xz).
  static constexpr std::size_t kMagicSize = 6;

  // Whether the kMagicSize bytes at `bytes` (all readable) begin with the
  // gzip, bzip2 or xz magic.
  static bool DetectCompressedMagic(const void *bytes);

  // Holds no reader: Read must not be called before a Reset.
  ReadCompressed();
  // As Reset(fd).
  explicit ReadCompressed(int fd);
  // As Reset(input).
  explicit ReadCompressed(std::istream &input);
  ~ReadCompressed();

  ReadCompressed(const ReadCompressed &) = delete;
  ReadCompressed &operator=(const ReadCompressed &) = delete;

  // Takes ownership of `fd`, reads the header from its current position and
  // refuses compressed data; see the file comment.
  void Reset(int fd);
  // Reads from `input` (borrowed; it must outlive the reads).
  void Reset(std::istream &input);

  // One read of the current reader: at most `byte_count` bytes, 0 at the end.
  std::size_t Read(void *to, std::size_t byte_count);
  // Reads until `byte_count` bytes are in or the input ends; returns the total.
  std::size_t ReadOrEOF(void *to, std::size_t byte_count);

  // Bytes taken from the descriptor or stream so far, header included.
  uint64_t RawAmount() const { return raw_amount_; }

 private:
  friend class ReadBase;

  std::unique_ptr<ReadBase> internal_;
  uint64_t raw_amount_ = 0;
};

}  // namespace util

#endif  // UTIL_READ_COMPRESSED_H
