#include "lm/estimate/count_file.hh"

#include "lm/estimate/estimate.hh"

#include <unistd.h>

namespace lm {
namespace estimate {
namespace {

constexpr char kMagic[8] = {'Q', 'R', 'N', 'C', 'O', 'U', 'N', 'T'};

// Bytes the writer buffers before a write.
constexpr std::size_t kWriteBuffer = 1 << 20;

uint64_t RoundUp8(uint64_t bytes) { return (bytes + 7) & ~static_cast<uint64_t>(7); }

uint64_t HeaderChecksum(uint64_t state, CountFileHeader header) {
  header.checksum = 0;
  return ChecksumBytes(state, &header, sizeof(header));
}

}  // namespace

CountFileWriter::CountFileWriter(int fd, unsigned order, const Vocabulary &vocab)
    : fd_(fd), order_(order), record_size_(RecordSizeWith<uint64_t>(order)), checksum_(kChecksumSeed) {
  buffer_.reserve(kWriteBuffer);
  const off_t start = lseek(fd, 0, SEEK_CUR);
  UTIL_THROW_IF(start < 0, util::ErrnoException, "the count file " << util::NameFromFD(fd) << " cannot be written in place");
  start_ = static_cast<uint64_t>(start);
  std::memset(&header_, 0, sizeof(header_));
  Put(&header_, sizeof(header_));
  std::string words;
  for (WordId id = kEndSentence + 1; id < vocab.Size(); ++id) {
    const StringPiece word = vocab.Word(id);
    words.append(word.data(), word.size());
    words.push_back('\0');
  }
  header_.words = vocab.Size() - (kEndSentence + 1);
  words.resize(RoundUp8(words.size()), '\0');
  header_.vocabulary_bytes = words.size();
  Fold(words.data(), words.size());
  Put(words.data(), words.size());
}

void CountFileWriter::Fold(const void *data, std::size_t size) { checksum_ = ChecksumBytes(checksum_, data, size); }

void CountFileWriter::Put(const void *data, std::size_t size) {
  const char *from = static_cast<const char *>(data);
  while (size) {
    if (buffer_.size() == kWriteBuffer) Flush();
    const std::size_t amount = std::min(size, kWriteBuffer - buffer_.size());
    buffer_.insert(buffer_.end(), from, from + amount);
    from += amount;
    size -= amount;
  }
}

void CountFileWriter::Flush() {
  util::WriteOrThrow(fd_, buffer_.data(), buffer_.size());
  buffer_.clear();
}

void CountFileWriter::Finish(uint64_t lines, uint64_t tokens) {
  Flush();
  std::memcpy(header_.magic, kMagic, sizeof(kMagic));
  header_.version = kCountFileVersion;
  header_.order = order_;
  header_.lines = lines;
  header_.tokens = tokens;
  header_.records = records_;
  header_.checksum = HeaderChecksum(checksum_, header_);
  util::ErsatzPWrite(fd_, &header_, sizeof(header_), start_);
}

CountFileReader::CountFileReader(const std::string &path) : path_(path), fd_(util::OpenReadOrThrow(path.c_str())) {
  const uint64_t size = util::SizeOrThrow(fd_.get());
  std::memset(&header_, 0, sizeof(header_));
  util::ErsatzPRead(fd_.get(), &header_, std::min<uint64_t>(size, sizeof(header_)), 0);
  if (size >= sizeof(kMagic) && std::memcmp(header_.magic, kMagic, sizeof(kMagic))) {
    Refuse("is not a count file (wrong magic)");
  }
  if (size < sizeof(header_)) Refuse("is truncated: it is shorter than a header");
  if (header_.version != kCountFileVersion) {
    Refuse("has format version " + std::to_string(header_.version) + "; this program reads version " +
           std::to_string(kCountFileVersion));
  }
  if (header_.order < 1 || header_.order > kMaxEstimateOrder) {
    Refuse("is damaged: its order " + std::to_string(header_.order) + " is not 1 to " +
           std::to_string(kMaxEstimateOrder));
  }
  record_size_ = RecordSizeWith<uint64_t>(header_.order);
  const uint64_t rest = size - sizeof(header_);
  if (header_.vocabulary_bytes % 8 || header_.vocabulary_bytes > rest ||
      header_.records > (rest - header_.vocabulary_bytes) / record_size_ || header_.words > header_.vocabulary_bytes) {
    Refuse("is truncated or damaged: its header promises more than its " + std::to_string(size) + " bytes");
  }
  if (rest != header_.vocabulary_bytes + header_.records * record_size_) {
    Refuse("is damaged: it is " + std::to_string(size) + " bytes, not the " +
           std::to_string(sizeof(header_) + header_.vocabulary_bytes + header_.records * record_size_) +
           " its header gives");
  }
  checksum_ = kChecksumSeed;
}

void CountFileReader::Refuse(const std::string &why) const {
  UTIL_THROW(CountFileException, "the count file " << path_ << " " << why);
}

void CountFileReader::Remap(Vocabulary &vocab, std::vector<WordId> &ids) {
  std::unique_ptr<char[]> words(new char[header_.vocabulary_bytes + 1]);
  util::ErsatzPRead(fd_.get(), words.get(), header_.vocabulary_bytes, sizeof(header_));
  words[header_.vocabulary_bytes] = '\0';
  checksum_ = ChecksumBytes(checksum_, words.get(), header_.vocabulary_bytes);
  ids.assign({kUnk, kBeginSentence, kEndSentence});
  const char *word = words.get(), *end = words.get() + header_.vocabulary_bytes;
  for (uint64_t i = 0; i < header_.words; ++i) {
    const std::size_t length = std::strlen(word);
    if (word + length == end || !length) Refuse("is damaged: its vocabulary is cut short");
    const WordId id = vocab.Index(StringPiece(word, length));
    if (id <= kEndSentence) Refuse("is damaged: its vocabulary holds " + std::string(word, length));
    ids.push_back(id);
    word += length + 1;
  }
}

void CountFileReader::CheckRecord(const void *record) const {
  const WordId *words = Words(record);
  for (unsigned i = 0; i < header_.order; ++i) {
    if (words[i] != kNoWord && words[i] >= header_.words + kEndSentence + 1) {
      Refuse("is damaged: a record names word " + std::to_string(words[i]) + " of " +
             std::to_string(header_.words + kEndSentence + 1));
    }
  }
  if (!Payload<uint64_t>(record, header_.order)) Refuse("is damaged: a record counts nothing");
}

void CountFileReader::CheckChecksum() const {
  if (HeaderChecksum(checksum_, header_) != header_.checksum) Refuse("is damaged: its checksum does not match");
}

unsigned CountFileOrder(const std::string &path) { return CountFileReader(path).Header().order; }

}  // namespace estimate
}  // namespace lm
