// Compressed copies of a text for tests of the readers: one gzip member,
// one bzip2 stream or one xz stream, made by the libraries themselves at a
// fast level.
#ifndef UTIL_COMPRESS_FOR_TEST_H
#define UTIL_COMPRESS_FOR_TEST_H

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <cstdlib>
#include <string>

namespace util {

inline std::string GzipForTest(const std::string &text) {
  z_stream stream{};
  if (deflateInit2(&stream, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::string out(deflateBound(&stream, text.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef *>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  if (deflate(&stream, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

inline std::string Bzip2ForTest(const std::string &text) {
  std::string out(text.size() + text.size() / 100 + 600, '\0');
  unsigned size = static_cast<unsigned>(out.size());
  if (BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char *>(text.data()), static_cast<unsigned>(text.size()),
                               1, 0, 0) != BZ_OK)
    std::abort();
  out.resize(size);
  return out;
}

inline std::string XzForTest(const std::string &text) {
  std::string out(lzma_stream_buffer_bound(text.size()), '\0');
  std::size_t size = 0;
  if (lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t *>(text.data()),
                              text.size(), reinterpret_cast<uint8_t *>(out.data()), &size, out.size()) != LZMA_OK)
    std::abort();
  out.resize(size);
  return out;
}

}  // namespace util

#endif  // UTIL_COMPRESS_FOR_TEST_H
