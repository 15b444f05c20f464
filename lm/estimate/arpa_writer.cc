#include "lm/estimate/arpa_writer.hh"

#include "util/file.hh"
#include "util/number_format.hh"

#include <cstring>

namespace lm {
namespace estimate {
namespace {

constexpr std::size_t kBufferBytes = 1 << 22;

}  // namespace

ArpaWriter::ArpaWriter(int fd, const Vocabulary &vocab)
    : fd_(fd), vocab_(vocab), buffer_(new char[kBufferBytes]), current_(buffer_.get()), end_(buffer_.get() + kBufferBytes) {}

char *ArpaWriter::Number(double value, char *to) { return util::ToString(static_cast<float>(value), to); }

void ArpaWriter::Append(const char *text) {
  const std::size_t size = std::strlen(text);
  if (static_cast<std::size_t>(end_ - current_) < size) Flush();
  std::memcpy(current_, text, size);
  current_ += size;
}

void ArpaWriter::LongWord(StringPiece word) {
  Flush();
  if (word.size() + kEntryRoom > kBufferBytes) {
    util::WriteOrThrow(fd_, word.data(), word.size());
  } else {
    std::memcpy(current_, word.data(), word.size());
    current_ += word.size();
  }
}

void ArpaWriter::Header(const std::vector<uint64_t> &counts) {
  Append("\\data\\\n");
  for (std::size_t i = 0; i < counts.size(); ++i) {
    char line[64];
    char *at = line;
    std::memcpy(at, "ngram ", 6);
    at = util::ToString(static_cast<uint64_t>(i + 1), at + 6);
    *at++ = '=';
    at = util::ToString(counts[i], at);
    *at++ = '\n';
    *at = '\0';
    Append(line);
  }
}

void ArpaWriter::BeginOrder(unsigned order) {
  char line[32];
  char *at = line;
  std::memcpy(at, "\n\\", 2);
  at = util::ToString(static_cast<uint32_t>(order), at + 2);
  std::memcpy(at, "-grams:\n", 9);
  Append(line);
}

void ArpaWriter::Finish() {
  Append("\n\\end\\\n");
  Flush();
}

void ArpaWriter::Flush() {
  util::WriteOrThrow(fd_, buffer_.get(), current_ - buffer_.get());
  current_ = buffer_.get();
}

}  // namespace estimate
}  // namespace lm
