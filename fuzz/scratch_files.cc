#include "fuzz/scratch_files.hh"

#include "util/file.hh"

#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fuzz {
namespace {

std::string ScratchDirectory() {
  struct stat sb;
  if (stat("/dev/shm", &sb) == 0 && S_ISDIR(sb.st_mode) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  const char *tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

}  // namespace

const ScratchFiles &ScratchFiles::OfThisProcess() {
  static const ScratchFiles files;
  return files;
}

ScratchFiles::ScratchFiles() {
  const std::string base = ScratchDirectory() + "/quarn_fuzz_" + std::to_string(getpid());
  input_ = base + ".input";
  binary_ = base + ".binary";
  temp_prefix_ = base + "_sort";
}

ScratchFiles::~ScratchFiles() {
  unlink(input_.c_str());
  unlink(binary_.c_str());
}

void ScratchFiles::WriteInput(const uint8_t *data, std::size_t size) const {
  util::scoped_fd file(util::CreateOrThrow(input_.c_str()));
  util::WriteOrThrow(file.get(), data, size);
}

}  // namespace fuzz
