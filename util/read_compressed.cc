#include "util/read_compressed.hh"

#include "util/exception.hh"
#include "util/file.hh"

#include <algorithm>
#include <cstring>
#include <istream>

namespace util {

ReadBase::~ReadBase() {}

void ReadBase::ReplaceThis(ReadBase *replacement, ReadCompressed &owner) { owner.internal_.reset(replacement); }

ReadBase *ReadBase::Current(ReadCompressed &owner) { return owner.internal_.get(); }

uint64_t &ReadBase::ReadCount(ReadCompressed &owner) { return owner.raw_amount_; }

namespace {

const unsigned char kGzipMagic[] = {0x1F, 0x8B};
const unsigned char kBzipMagic[] = {'B', 'Z', 'h'};
const unsigned char kXzMagic[] = {0xFD, '7', 'z', 'X', 'Z', 0x00};

template <std::size_t kLength> bool HasMagic(const unsigned char *header, std::size_t size,
                                             const unsigned char (&magic)[kLength]) {
  return size >= kLength && !std::memcmp(header, magic, kLength);
}

// The input has ended: every read delivers nothing.
class Complete : public ReadBase {
 public:
  std::size_t Read(void *, std::size_t, ReadCompressed &) override { return 0; }
};

// Plain bytes from a descriptor that it owns.
class Uncompressed : public ReadBase {
 public:
  explicit Uncompressed(int fd) : fd_(fd) {}

  std::size_t Read(void *to, std::size_t byte_count, ReadCompressed &owner) override {
    std::size_t got = PartialRead(fd_.get(), to, byte_count);
    ReadCount(owner) += got;
    return got;
  }

 private:
  scoped_fd fd_;
};

// Delivers the header bytes that the magic test already took from the
// descriptor, then hands the descriptor on to an Uncompressed reader.
class UncompressedWithHeader : public ReadBase {
 public:
  UncompressedWithHeader(int fd, const void *header, std::size_t size)
      : fd_(fd), header_(new unsigned char[size]), cursor_(header_.get()), end_(header_.get() + size) {
    std::memcpy(header_.get(), header, size);
  }

  std::size_t Read(void *to, std::size_t byte_count, ReadCompressed &owner) override {
    std::size_t got = std::min<std::size_t>(byte_count, end_ - cursor_);
    std::memcpy(to, cursor_, got);
    cursor_ += got;
    if (cursor_ == end_) ReplaceThis(new Uncompressed(fd_.release()), owner);
    return got;
  }

 private:
  scoped_fd fd_;
  std::unique_ptr<unsigned char[]> header_;
  const unsigned char *cursor_;
  const unsigned char *end_;
};

// Block reads from a borrowed stream.
class IStreamReader : public ReadBase {
 public:
  explicit IStreamReader(std::istream &stream) : stream_(stream) {}

  std::size_t Read(void *to, std::size_t byte_count, ReadCompressed &owner) override {
    if (!stream_.read(static_cast<char *>(to), static_cast<std::streamsize>(byte_count))) {
      UTIL_THROW_IF(!stream_.eof(), ErrnoException, "istream error");
      byte_count = static_cast<std::size_t>(stream_.gcount());
    }
    ReadCount(owner) += byte_count;
    return byte_count;
  }

 private:
  std::istream &stream_;
};

}  // namespace

Compression DetectCompression(const void *header, std::size_t size) {
  const unsigned char *bytes = static_cast<const unsigned char *>(header);
  if (HasMagic(bytes, size, kGzipMagic)) return Compression::kGzip;
  if (HasMagic(bytes, size, kBzipMagic)) return Compression::kBzip2;
  if (HasMagic(bytes, size, kXzMagic)) return Compression::kXz;
  return Compression::kNone;
}

bool ReadCompressed::DetectCompressedMagic(const void *bytes) {
  return DetectCompression(bytes, kMagicSize) != Compression::kNone;
}

ReadCompressed::ReadCompressed() {}

ReadCompressed::ReadCompressed(int fd) { Reset(fd); }

ReadCompressed::ReadCompressed(std::istream &input) { Reset(input); }

ReadCompressed::~ReadCompressed() {}

void ReadCompressed::Reset(int fd) {
  scoped_fd hold(fd);
  internal_.reset();
  raw_amount_ = 0;
  unsigned char header[kMagicSize];
  std::size_t got = util::ReadOrEOF(fd, header, kMagicSize);
  raw_amount_ = got;
  if (!got) {
    internal_.reset(new Complete());
    return;
  }
  switch (DetectCompression(header, got)) {
    case Compression::kGzip:
      UTIL_THROW(CompressedException, "This looks like a gzip file but gzip support was not compiled in.");
    case Compression::kBzip2:
      UTIL_THROW(CompressedException,
                 "This looks like a bzip file (it begins with BZh), but bzip support was not compiled in.");
    case Compression::kXz:
      UTIL_THROW(CompressedException, "This looks like an xz file, but xz support was not compiled in.");
    case Compression::kNone:
      break;
  }
  internal_.reset(new UncompressedWithHeader(hold.release(), header, got));
}

void ReadCompressed::Reset(std::istream &input) {
  internal_.reset(new IStreamReader(input));
  raw_amount_ = 0;
}

std::size_t ReadCompressed::Read(void *to, std::size_t byte_count) {
  return internal_->Read(to, byte_count, *this);
}

std::size_t ReadCompressed::ReadOrEOF(void *to, std::size_t byte_count) {
  std::size_t total = 0;
  while (total < byte_count) {
    std::size_t got = Read(static_cast<char *>(to) + total, byte_count - total);
    if (!got) break;
    total += got;
  }
  return total;
}

}  // namespace util
