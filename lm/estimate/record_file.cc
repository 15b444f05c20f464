#include "lm/estimate/record_file.hh"

#include <algorithm>

namespace lm {
namespace estimate {
namespace {

// Whole 8-byte words of at least `bytes` and at least one.
std::size_t Words64(std::size_t bytes) { return std::max<std::size_t>(1, (bytes + 7) / 8); }

}  // namespace

TempFile::TempFile(const std::string &prefix) : fd(util::MakeTemp(prefix)) {}

// The smallest buffer a writer has: room for any record Reserve is asked for.
constexpr std::size_t kMinWriterBytes = 1 << 12;

RecordWriter::RecordWriter(TempFile &file, std::size_t buffer_bytes)
    : file_(file), buffer_(new uint64_t[Words64(std::max(buffer_bytes, kMinWriterBytes))]) {
  current_ = reinterpret_cast<char *>(buffer_.get());
  end_ = current_ + Words64(std::max(buffer_bytes, kMinWriterBytes)) * 8;
}

void RecordWriter::Flush() {
  char *begin = reinterpret_cast<char *>(buffer_.get());
  const std::size_t size = current_ - begin;
  if (!size) return;
  util::WriteOrThrow(file_.fd.get(), begin, size);
  file_.bytes += size;
  current_ = begin;
}

void RecordWriter::Drain(const void *data, std::size_t size) {
  Flush();
  if (static_cast<std::size_t>(end_ - current_) < size) {
    util::WriteOrThrow(file_.fd.get(), data, size);
    file_.bytes += size;
    return;
  }
  std::memcpy(current_, data, size);
  current_ += size;
}

RecordReader::RecordReader(const TempFile *file, std::size_t record_size, std::size_t buffer_bytes)
    : RecordReader(file, record_size, buffer_bytes, 0, file ? file->bytes : 0) {}

RecordReader::RecordReader(const TempFile *file, std::size_t record_size, std::size_t buffer_bytes, uint64_t offset,
                           uint64_t bytes)
    : file_(file), record_size_(record_size), offset_(offset), end_offset_(offset + bytes) {
  // Whole records, at least one.
  capacity_ = std::max<std::size_t>(1, buffer_bytes / record_size_) * record_size_;
  buffer_.reset(new uint64_t[Words64(capacity_)]);
  current_ = end_ = reinterpret_cast<char *>(buffer_.get());
  Refill();
}

void RecordReader::Refill() {
  char *begin = reinterpret_cast<char *>(buffer_.get());
  current_ = end_ = begin;
  if (!file_ || offset_ >= end_offset_) return;
  const std::size_t amount = static_cast<std::size_t>(std::min<uint64_t>(capacity_, end_offset_ - offset_));
  util::ErsatzPRead(file_->fd.get(), begin, amount, offset_);
  offset_ += amount;
  end_ = begin + amount;
}

}  // namespace estimate
}  // namespace lm
