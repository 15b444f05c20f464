#include "lm/estimate/external_sort.hh"

namespace lm {
namespace estimate {

void Runs::Write(const void *begin, std::size_t count) {
  std::unique_ptr<TempFile> file(new TempFile(temp_prefix_));
  util::WriteOrThrow(file->fd.get(), begin, count * record_size_);
  file->bytes = count * record_size_;
  files_.push_back(std::move(file));
}

}  // namespace estimate
}  // namespace lm
