// util::Decompress: the bytes of a file, decompressed when they are gzip,
// bzip2 or xz.
//
// A Decompress owns a file descriptor and reads it from its current position.
// The first bytes decide the format, by the magic test of
// util/read_compressed (DetectCompression): gzip goes through zlib, bzip2
// through libbz2 and xz through liblzma; anything else is delivered as it
// is.  Concatenated gzip members, bzip2 streams and xz streams read as one
// text, as the command-line tools read them.  Compressed data that is
// damaged, that is followed by bytes of another kind, or that ends in the
// middle of a stream (a truncated file) throws a util::CompressedException
// (GZException, BZException, XZException) whose message names the file: the
// text never silently ends early.  Read errors throw util::ErrnoException.
//
// Reads are large: the raw bytes come in blocks of kInputBlock and nothing is
// allocated after construction.  A Decompress belongs to one thread.
#ifndef UTIL_DECOMPRESS_H
#define UTIL_DECOMPRESS_H

#include "util/read_compressed.hh"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace util {

class Decompress {
 public:
  // Raw bytes read from the descriptor at a time.
  static constexpr std::size_t kInputBlock = std::size_t{1} << 20;

  // Takes ownership of `fd` and reads its first bytes to recognise the
  // format; `name` stands for the file in messages.
  Decompress(int fd, std::string name);
  ~Decompress();

  Decompress(const Decompress &) = delete;
  Decompress &operator=(const Decompress &) = delete;

  // Delivers up to `size` decompressed bytes into `to`: fewer only at the
  // end of the data; 0 means the end.
  std::size_t Read(void *to, std::size_t size);

  // The format the first bytes showed.
  Compression Format() const { return format_; }
  const std::string &Name() const { return name_; }
  // Raw bytes taken from the descriptor so far.
  uint64_t RawAmount() const;

  // ---- Details ----
  class RawInput;
  class Decoder;

 private:
  std::string name_;
  std::unique_ptr<RawInput> input_;
  Compression format_;
  std::unique_ptr<Decoder> decoder_;
};

}  // namespace util

#endif  // UTIL_DECOMPRESS_H
