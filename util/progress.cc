#include "util/progress.hh"

#include <algorithm>
#include <ostream>

namespace util {

const char kProgressBanner[] =
    "----5---10---15---20---25---30---35---40---45---50---55---60---65---70---75---80---85---90---95--100\n";

ErsatzProgress::ErsatzProgress() : value_(0), threshold_(kNever), total_(kNever), stars_drawn_(0), stream_(nullptr) {}

ErsatzProgress::ErsatzProgress(uint64_t total, std::ostream *stream, const std::string &heading)
    : value_(0), threshold_(total / 100), total_(total), stars_drawn_(0), stream_(stream) {
  if (!stream_) {
    threshold_ = kNever;
    return;
  }
  if (!heading.empty()) *stream_ << heading << '\n';
  *stream_ << kProgressBanner;
}

ErsatzProgress::~ErsatzProgress() {
  if (stream_) Finished();
}

void ErsatzProgress::Milestone() {
  if (!stream_) {
    value_ = 0;
    return;
  }
  if (!total_) return;
  uint64_t percent = value_ * 100 / total_;
  uint64_t stars_due = std::min<uint64_t>(percent, 100);
  for (; stars_drawn_ < stars_due; ++stars_drawn_) *stream_ << '*';
  if (percent >= 100) {
    *stream_ << std::endl;
    threshold_ = kNever;
    stream_ = nullptr;
    return;
  }
  threshold_ = std::max(threshold_, ((stars_due + 1) * total_ + 99) / 100);
}

}  // namespace util
