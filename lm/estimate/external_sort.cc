#include "lm/estimate/external_sort.hh"

namespace lm {
namespace estimate {

void Runs::Write(const void *begin, std::size_t count) {
  if (!file_) file_.reset(new TempFile(temp_prefix_));
  const uint64_t bytes = count * record_size_;
  util::WriteOrThrow(file_->fd.get(), begin, bytes);
  runs_.push_back(Run{file_, file_->bytes, bytes});
  file_->bytes += bytes;
}

}  // namespace estimate
}  // namespace lm
