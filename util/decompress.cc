#include "util/decompress.hh"

#include "util/exception.hh"
#include "util/file.hh"

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

namespace util {

// The raw bytes of the descriptor, a block at a time.
class Decompress::RawInput {
 public:
  explicit RawInput(int fd) : fd_(fd), block_(new char[kInputBlock]), cursor_(block_.get()), end_(block_.get()) {}

  // Reads the first bytes (up to the longest magic) for the format test.
  StringPiece Header() {
    end_ += ReadOrEOF(fd_.get(), block_.get(), ReadCompressed::kMagicSize);
    amount_ += static_cast<uint64_t>(end_ - cursor_);
    return StringPiece(cursor_, static_cast<std::size_t>(end_ - cursor_));
  }

  // Makes unread bytes available unless the file has ended: false then.
  bool Fill() {
    if (cursor_ != end_) return true;
    std::size_t got = PartialRead(fd_.get(), block_.get(), kInputBlock);
    amount_ += got;
    cursor_ = block_.get();
    end_ = cursor_ + got;
    return got != 0;
  }

  char *Cursor() const { return cursor_; }
  std::size_t Available() const { return static_cast<std::size_t>(end_ - cursor_); }
  void Consume(std::size_t bytes) { cursor_ += bytes; }

  // Reads straight into `to`, past the block: for plain input.
  std::size_t ReadDirect(void *to, std::size_t size) {
    std::size_t got = PartialRead(fd_.get(), to, size);
    amount_ += got;
    return got;
  }

  uint64_t Amount() const { return amount_; }

 private:
  scoped_fd fd_;
  std::unique_ptr<char[]> block_;
  char *cursor_;
  char *end_;
  uint64_t amount_ = 0;
};

// Turns raw bytes into text: one read delivers at least one byte unless the
// data has ended.
class Decompress::Decoder {
 public:
  virtual ~Decoder() {}
  virtual std::size_t Read(RawInput &input, char *to, std::size_t size) = 0;
};

namespace {

// The decompressors count in unsigned int: a read asks for at most this.
constexpr std::size_t kLargestOutput = std::size_t{1} << 30;

class PlainDecoder : public Decompress::Decoder {
 public:
  std::size_t Read(Decompress::RawInput &input, char *to, std::size_t size) override {
    if (!input.Available()) return input.ReadDirect(to, size);
    std::size_t got = std::min(size, input.Available());
    std::memcpy(to, input.Cursor(), got);
    input.Consume(got);
    return got;
  }
};

// Messages name the file and say what went wrong with the data.
class GzipDecoder : public Decompress::Decoder {
 public:
  explicit GzipDecoder(const std::string &name) : name_(name) {
    int ret = inflateInit2(&stream_, 16 + MAX_WBITS);
    UTIL_THROW_IF(ret != Z_OK, GZException, "zlib could not start on " << name_ << " (code " << ret << ")");
  }
  ~GzipDecoder() override { inflateEnd(&stream_); }

  std::size_t Read(Decompress::RawInput &input, char *to, std::size_t size) override {
    const uInt asked = static_cast<uInt>(std::min(size, kLargestOutput));
    stream_.next_out = reinterpret_cast<Bytef *>(to);
    stream_.avail_out = asked;
    while (stream_.avail_out == asked) {
      if (!input.Fill()) {
        UTIL_THROW_IF(in_member_, GZException, name_ << " ends inside gzip data: the file is truncated");
        break;
      }
      in_member_ = true;
      stream_.next_in = reinterpret_cast<Bytef *>(input.Cursor());
      stream_.avail_in = static_cast<uInt>(input.Available());
      int ret = inflate(&stream_, Z_NO_FLUSH);
      input.Consume(input.Available() - stream_.avail_in);
      if (ret == Z_STREAM_END) {
        // Another member may follow.
        in_member_ = false;
        inflateReset(&stream_);
      } else {
        UTIL_THROW_IF(ret != Z_OK, GZException,
                      name_ << " holds damaged gzip data (zlib: " << (stream_.msg ? stream_.msg : "code ") << ret << ")");
      }
    }
    return asked - stream_.avail_out;
  }

 private:
  const std::string &name_;
  z_stream stream_{};
  bool in_member_ = true;
};

class Bzip2Decoder : public Decompress::Decoder {
 public:
  explicit Bzip2Decoder(const std::string &name) : name_(name) { Start(); }
  ~Bzip2Decoder() override { BZ2_bzDecompressEnd(&stream_); }

  std::size_t Read(Decompress::RawInput &input, char *to, std::size_t size) override {
    const unsigned asked = static_cast<unsigned>(std::min(size, kLargestOutput));
    stream_.next_out = to;
    stream_.avail_out = asked;
    while (stream_.avail_out == asked) {
      if (!input.Fill()) {
        UTIL_THROW_IF(in_stream_, BZException, name_ << " ends inside bzip2 data: the file is truncated");
        break;
      }
      in_stream_ = true;
      stream_.next_in = input.Cursor();
      stream_.avail_in = static_cast<unsigned>(input.Available());
      int ret = BZ2_bzDecompress(&stream_);
      input.Consume(input.Available() - stream_.avail_in);
      if (ret == BZ_STREAM_END) {
        // Another stream may follow; the output so far stays.
        in_stream_ = false;
        char *next_out = stream_.next_out;
        unsigned avail_out = stream_.avail_out;
        BZ2_bzDecompressEnd(&stream_);
        Start();
        stream_.next_out = next_out;
        stream_.avail_out = avail_out;
      } else {
        UTIL_THROW_IF(ret != BZ_OK, BZException, name_ << " holds damaged bzip2 data (libbz2 code " << ret << ")");
      }
    }
    return asked - stream_.avail_out;
  }

 private:
  void Start() {
    stream_ = bz_stream{};
    int ret = BZ2_bzDecompressInit(&stream_, 0, 0);
    UTIL_THROW_IF(ret != BZ_OK, BZException, "libbz2 could not start on " << name_ << " (code " << ret << ")");
  }

  const std::string &name_;
  bz_stream stream_{};
  bool in_stream_ = true;
};

class XzDecoder : public Decompress::Decoder {
 public:
  explicit XzDecoder(const std::string &name) : name_(name) {
    lzma_ret ret = lzma_stream_decoder(&stream_, UINT64_MAX, LZMA_CONCATENATED);
    UTIL_THROW_IF(ret != LZMA_OK, XZException, "liblzma could not start on " << name_ << " (code " << ret << ")");
  }
  ~XzDecoder() override { lzma_end(&stream_); }

  std::size_t Read(Decompress::RawInput &input, char *to, std::size_t size) override {
    if (ended_) return 0;
    stream_.next_out = reinterpret_cast<uint8_t *>(to);
    stream_.avail_out = size;
    while (stream_.avail_out == size) {
      // Concatenated streams end only when told that the file has.
      lzma_action action = LZMA_RUN;
      if (input.Fill()) {
        stream_.next_in = reinterpret_cast<const uint8_t *>(input.Cursor());
        stream_.avail_in = input.Available();
      } else {
        action = LZMA_FINISH;
        stream_.avail_in = 0;
      }
      lzma_ret ret = lzma_code(&stream_, action);
      input.Consume(input.Available() - stream_.avail_in);
      if (ret == LZMA_STREAM_END) {
        ended_ = true;
        break;
      }
      UTIL_THROW_IF(ret == LZMA_BUF_ERROR && action == LZMA_FINISH, XZException,
                    name_ << " ends inside xz data: the file is truncated");
      UTIL_THROW_IF(ret != LZMA_OK, XZException, name_ << " holds damaged xz data (liblzma code " << ret << ")");
    }
    return size - stream_.avail_out;
  }

 private:
  const std::string &name_;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  bool ended_ = false;
};

std::unique_ptr<Decompress::Decoder> MakeDecoder(Compression format, const std::string &name) {
  switch (format) {
    case Compression::kGzip:
      return std::make_unique<GzipDecoder>(name);
    case Compression::kBzip2:
      return std::make_unique<Bzip2Decoder>(name);
    case Compression::kXz:
      return std::make_unique<XzDecoder>(name);
    case Compression::kNone:
      break;
  }
  return std::make_unique<PlainDecoder>();
}

}  // namespace

Decompress::Decompress(int fd, std::string name) : name_(std::move(name)), input_(new RawInput(fd)) {
  StringPiece header = input_->Header();
  format_ = DetectCompression(header.data(), header.size());
  decoder_ = MakeDecoder(format_, name_);
}

Decompress::~Decompress() {}

std::size_t Decompress::Read(void *to, std::size_t size) {
  char *out = static_cast<char *>(to);
  std::size_t total = 0;
  while (total < size) {
    std::size_t got = decoder_->Read(*input_, out + total, size - total);
    if (!got) break;
    total += got;
  }
  return total;
}

uint64_t Decompress::RawAmount() const { return input_->Amount(); }

}  // namespace util
