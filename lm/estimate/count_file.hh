// Count files: the raw counts of a text, written on one machine and merged
// with others into one model (EstimateFromCounts of estimate.hh).
//
// A count file holds what the counting stage makes of its text: every
// distinct window of the model's order N (left-padded with kNoWord, as
// CountText forms them) with its number of occurrences, and the vocabulary
// its word identifiers refer to.  All numbers are little-endian; every
// section starts at a multiple of 8 bytes.
//
//   offset  bytes  field
//   0       8      magic "QRNCOUNT"
//   8       4      format version (kCountFileVersion)
//   12      4      order N (1 to kMaxEstimateOrder)
//   16      8      lines: lines of the text that held words
//   24      8      tokens: words of those lines
//   32      8      words: the vocabulary's words after <unk>, <s>, </s>
//   40      8      vocabulary bytes V (a multiple of 8)
//   48      8      records R
//   56      8      checksum
//   64      V      the words of identifiers 3, 4, ... in order of first
//                  appearance in the text, each by its bytes and a NUL,
//                  then NUL bytes up to a multiple of 8
//   64 + V  R * S  the counting records (S = RecordSizeWith<uint64_t>(N)):
//                  N word identifiers (uint32), then the count (uint64, at
//                  least 1) at PayloadOffset<uint64_t>(N), padding zero;
//                  distinct windows in SuffixOrder
//
// The file is exactly 64 + V + R * S bytes.  The checksum folds the 64-bit
// words of the vocabulary and the records, then those of the header with the
// checksum field zero, through ChecksumFold.  A reader refuses a file whose
// magic, version, order, size or checksum is wrong, or whose records name a
// word the vocabulary lacks, with a message naming the file.
#ifndef LM_ESTIMATE_COUNT_FILE_H
#define LM_ESTIMATE_COUNT_FILE_H

#include "lm/estimate/ngram_record.hh"
#include "lm/estimate/vocabulary.hh"
#include "util/exception.hh"
#include "util/file.hh"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace lm {
namespace estimate {

constexpr uint32_t kCountFileVersion = 1;

class CountFileException : public util::Exception {
 public:
  CountFileException() noexcept {}
  ~CountFileException() noexcept override {}
};

struct CountFileHeader {
  char magic[8];
  uint32_t version;
  uint32_t order;
  uint64_t lines;
  uint64_t tokens;
  uint64_t words;
  uint64_t vocabulary_bytes;
  uint64_t records;
  uint64_t checksum;
};
static_assert(sizeof(CountFileHeader) == 64, "the count file header is 64 bytes");

// Writes a count file to `fd` from its current position: the header is
// written last, in place, once the records are known.  Add takes the
// records in SuffixOrder, distinct.
class CountFileWriter {
 public:
  CountFileWriter(int fd, unsigned order, const Vocabulary &vocab);

  void Add(const void *record) {
    Fold(record, record_size_);
    Put(record, record_size_);
    ++records_;
  }

  // Writes the rest and the header.
  void Finish(uint64_t lines, uint64_t tokens);

 private:
  void Fold(const void *data, std::size_t size);
  void Put(const void *data, std::size_t size);
  void Flush();

  int fd_;
  uint64_t start_;
  unsigned order_;
  std::size_t record_size_;
  CountFileHeader header_;
  uint64_t records_ = 0, checksum_;
  std::vector<char> buffer_;
};

// Reads a count file of any order; the constructor checks the header and
// the size, the records are checked as they are read.
class CountFileReader {
 public:
  // Opens `path` and checks its header and size.
  explicit CountFileReader(const std::string &path);

  const std::string &Name() const { return path_; }
  const CountFileHeader &Header() const { return header_; }

  // Numbers the file's words in `vocab` (which gives the ones it knows their
  // identifiers) and fills `ids` with the identifier of each of the file's
  // identifiers.
  void Remap(Vocabulary &vocab, std::vector<WordId> &ids);

  // Calls `each(record)` for every record in the file's order, the record
  // valid only during the call; then checks the checksum.  Call after Remap,
  // once.  `buffer_bytes` bounds the read buffer.
  template <class Each> void ForEachRecord(std::size_t buffer_bytes, Each &&each);

 private:
  void Refuse(const std::string &why) const;
  void CheckRecord(const void *record) const;
  void CheckChecksum() const;

  std::string path_;
  util::scoped_fd fd_;
  CountFileHeader header_;
  std::size_t record_size_;
  uint64_t checksum_;
};

// The order of the count file at `path`, its header checked.
unsigned CountFileOrder(const std::string &path);

// ---- Implementation ----

// One step of the count file's checksum.
inline uint64_t ChecksumFold(uint64_t state, uint64_t word) {
  state = (state ^ word) * 0x9E3779B97F4A7C15ULL;
  return state ^ (state >> 29);
}

// The checksum's state before the first word.
constexpr uint64_t kChecksumSeed = 0x51524E434F554E54ULL;

inline uint64_t ChecksumBytes(uint64_t state, const void *data, std::size_t size) {
  const char *from = static_cast<const char *>(data);
  for (std::size_t i = 0; i < size; i += 8) {
    uint64_t word;
    std::memcpy(&word, from + i, 8);
    state = ChecksumFold(state, word);
  }
  return state;
}

template <class Each> void CountFileReader::ForEachRecord(std::size_t buffer_bytes, Each &&each) {
  const std::size_t per_read = std::max<std::size_t>(1, buffer_bytes / record_size_);
  std::unique_ptr<uint64_t[]> buffer(new uint64_t[per_read * record_size_ / 8]);
  uint64_t offset = sizeof(CountFileHeader) + header_.vocabulary_bytes;
  for (uint64_t left = header_.records; left;) {
    const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(left, per_read));
    util::ErsatzPRead(fd_.get(), buffer.get(), count * record_size_, offset);
    offset += count * record_size_;
    left -= count;
    checksum_ = ChecksumBytes(checksum_, buffer.get(), count * record_size_);
    const char *record = reinterpret_cast<const char *>(buffer.get());
    for (std::size_t i = 0; i < count; ++i, record += record_size_) {
      CheckRecord(record);
      each(record);
    }
  }
  CheckChecksum();
}

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_COUNT_FILE_H
