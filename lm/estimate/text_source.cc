#include "lm/estimate/text_source.hh"

#include "util/decompress.hh"
#include "util/file.hh"

#include <algorithm>
#include <cstring>
#include <utility>

#include <unistd.h>

namespace lm {
namespace estimate {
namespace {

// Bytes asked of the decompressor at a time.
constexpr std::size_t kReadBlock = std::size_t{1} << 20;

const char kStandardInput[] = "standard input";

void CheckLength(std::size_t length, std::size_t longest, const std::string &name, uint64_t line_number) {
  UTIL_THROW_IF(length > longest, LineTooLongException,
                name << " line " << line_number << " is longer than " << longest << " bytes");
}

}  // namespace

FileLineSource::FileLineSource(std::vector<std::string> paths, std::size_t longest_line)
    : paths_(std::move(paths)), longest_line_(longest_line), buffer_(new char[2 * kReadBlock]),
      capacity_(2 * kReadBlock), begin_(buffer_.get()), scanned_(begin_), end_(begin_) {
  for (const std::string &path : paths_) {
    if (path == "-") {
      total_bytes_ = util::kBadSize;
      continue;
    }
    util::scoped_fd fd(util::OpenReadOrThrow(path.c_str()));
    UTIL_THROW_IF(util::IsDirectory(fd.get()), util::Exception, "The text file " << path << " is a directory");
    uint64_t size = util::SizeFile(fd.get());
    if (size == util::kBadSize || total_bytes_ == util::kBadSize) {
      total_bytes_ = util::kBadSize;
    } else {
      total_bytes_ += size;
    }
  }
}

FileLineSource::~FileLineSource() {}

bool FileLineSource::Next(StringPiece &line) {
  while (file_ || OpenNext()) {
    if (char *newline = static_cast<char *>(std::memchr(scanned_, '\n', end_ - scanned_))) {
      ++line_number_;
      CheckLength(newline - begin_, longest_line_, name_, line_number_);
      line = StringPiece(begin_, newline - begin_);
      begin_ = scanned_ = newline + 1;
      return true;
    }
    scanned_ = end_;
    CheckLength(end_ - begin_, longest_line_, name_, line_number_ + 1);
    if (Refill()) continue;
    if (begin_ != end_) {
      ++line_number_;
      line = StringPiece(begin_, end_ - begin_);
      begin_ = scanned_ = end_;
      return true;
    }
    finished_bytes_ += file_->RawAmount();
    file_.reset();
  }
  return false;
}

uint64_t FileLineSource::BytesDone() const { return finished_bytes_ + (file_ ? file_->RawAmount() : 0); }

bool FileLineSource::OpenNext() {
  if (next_path_ == paths_.size()) return false;
  const std::string &path = paths_[next_path_++];
  bool standard_input = path == "-";
  name_ = standard_input ? kStandardInput : path;
  line_number_ = 0;
  begin_ = scanned_ = end_ = buffer_.get();
  int fd = standard_input ? util::DupOrThrow(STDIN_FILENO) : util::OpenReadOrThrow(path.c_str());
  file_ = std::make_unique<util::Decompress>(fd, name_);
  return true;
}

bool FileLineSource::Refill() {
  std::size_t pending = end_ - begin_;
  std::memmove(buffer_.get(), begin_, pending);
  begin_ = buffer_.get();
  scanned_ = end_ = begin_ + pending;
  if (capacity_ - pending < kReadBlock) Grow();
  std::size_t got = file_->Read(end_, capacity_ - pending);
  end_ += got;
  return got != 0;
}

// Room for the longest line allowed and a read behind it is as far as the
// buffer ever needs to grow.
void FileLineSource::Grow() {
  std::size_t largest = longest_line_ + 1 + kReadBlock;
  if (capacity_ >= largest) return;
  std::size_t capacity = std::min(2 * capacity_, largest);
  std::unique_ptr<char[]> grown(new char[capacity]);
  std::size_t pending = end_ - begin_;
  std::memcpy(grown.get(), begin_, pending);
  buffer_ = std::move(grown);
  capacity_ = capacity;
  begin_ = buffer_.get();
  scanned_ = end_ = begin_ + pending;
}

CallbackLineSource::CallbackLineSource(NextLineCallback next, void *context, std::string name,
                                       std::size_t longest_line)
    : next_(next), context_(context), name_(std::move(name)), longest_line_(longest_line) {}

bool CallbackLineSource::Next(StringPiece &line) {
  const char *data = nullptr;
  std::size_t size = 0;
  int status = next_(context_, &data, &size);
  if (status == 0) return false;
  UTIL_THROW_IF(status != 1, LineCallbackException,
                "The lines of " << name_ << " failed after line " << line_number_);
  ++line_number_;
  bytes_ += size;
  if (size && data[size - 1] == '\n') --size;
  CheckLength(size, longest_line_, name_, line_number_);
  line = StringPiece(data, size);
  return true;
}

uint64_t CallbackLineSource::TotalBytes() const { return util::kBadSize; }

}  // namespace estimate
}  // namespace lm
