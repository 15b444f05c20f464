// Buffered sequential I/O of fixed-size records on temporary files.
//
// A TempFile is a read-write descriptor of a file whose name is removed at
// creation (util::MakeTemp), with the bytes written to it so far.  A
// RecordWriter appends records to one through a buffer; a RecordReader reads
// one from the start, a record at a time, with positioned reads, so it needs
// no seek and several readers may share a file.  Both borrow the file, which
// must outlive them.  Errors (a full disk, a failed read) throw
// util::Exception naming the file.
#ifndef LM_ESTIMATE_RECORD_FILE_H
#define LM_ESTIMATE_RECORD_FILE_H

#include "util/file.hh"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace lm {
namespace estimate {

struct TempFile {
  explicit TempFile(const std::string &prefix);
  util::scoped_fd fd;
  uint64_t bytes = 0;
};

class RecordWriter {
 public:
  // Appends to `file` through a buffer of about `buffer_bytes`.
  RecordWriter(TempFile &file, std::size_t buffer_bytes);
  RecordWriter(const RecordWriter &) = delete;
  RecordWriter &operator=(const RecordWriter &) = delete;

  // Room for `size` bytes (at most 4096), to be filled before the next call.
  void *Reserve(std::size_t size) {
    if (static_cast<std::size_t>(end_ - current_) < size) Flush();
    void *ret = current_;
    current_ += size;
    return ret;
  }

  void Write(const void *data, std::size_t size) {
    if (static_cast<std::size_t>(end_ - current_) < size) return Drain(data, size);
    std::memcpy(current_, data, size);
    current_ += size;
  }

  // Writes out what is buffered.  A writer destroyed without Flush drops
  // its buffer (as when a stage fails).
  void Flush();

 private:
  void Drain(const void *data, std::size_t size);

  TempFile &file_;
  std::unique_ptr<uint64_t[]> buffer_;
  char *current_, *end_;
};

class RecordReader {
 public:
  // Reads the records of `record_size` bytes of `file` (null: none) through
  // a buffer of about `buffer_bytes`: the whole file, or the `bytes` bytes
  // from `offset` on.
  RecordReader(const TempFile *file, std::size_t record_size, std::size_t buffer_bytes);
  RecordReader(const TempFile *file, std::size_t record_size, std::size_t buffer_bytes, uint64_t offset,
               uint64_t bytes);
  RecordReader(const RecordReader &) = delete;
  RecordReader &operator=(const RecordReader &) = delete;
  RecordReader(RecordReader &&) = default;

  explicit operator bool() const { return current_ != end_; }
  const void *Get() const { return current_; }

  RecordReader &operator++() {
    current_ += record_size_;
    if (current_ == end_) Refill();
    return *this;
  }

 private:
  void Refill();

  const TempFile *file_;
  std::size_t record_size_;
  uint64_t offset_, end_offset_;
  std::unique_ptr<uint64_t[]> buffer_;
  std::size_t capacity_;
  char *current_, *end_;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_RECORD_FILE_H
