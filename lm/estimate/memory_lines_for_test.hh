// MemoryLines: a LineSource over lines held in memory, for tests.
#ifndef LM_ESTIMATE_MEMORY_LINES_FOR_TEST_H
#define LM_ESTIMATE_MEMORY_LINES_FOR_TEST_H

#include "lm/estimate/line_source.hh"
#include "util/file.hh"

#include <string>
#include <vector>

namespace lm {
namespace estimate {

class MemoryLines : public LineSource {
 public:
  explicit MemoryLines(std::vector<std::string> lines, std::string name = "memory")
      : lines_(std::move(lines)), name_(std::move(name)) {}

  bool Next(StringPiece &line) override {
    if (next_ == lines_.size()) return false;
    bytes_ += lines_[next_].size() + 1;
    line = StringPiece(lines_[next_]);
    ++next_;
    return true;
  }
  const std::string &Name() const override { return name_; }
  uint64_t LineNumber() const override { return next_; }
  uint64_t BytesDone() const override { return bytes_; }
  uint64_t TotalBytes() const override { return util::kBadSize; }

 private:
  std::vector<std::string> lines_;
  std::string name_;
  std::size_t next_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_MEMORY_LINES_FOR_TEST_H
