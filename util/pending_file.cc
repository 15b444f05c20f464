#include "util/pending_file.hh"

#include "util/exception.hh"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace util {

PendingFile::PendingFile(const std::string &output) : output_(output), path_(output + ".XXXXXX") {
  fd_.reset(mkstemp(path_.data()));
  UTIL_THROW_IF(fd_.get() == -1, ErrnoException, "cannot create a file beside " << output_);
}

PendingFile::~PendingFile() {
  if (!committed_) std::remove(path_.c_str());
}

void PendingFile::Commit() {
  fd_.reset();
  const mode_t mask = umask(0);
  umask(mask);
  UTIL_THROW_IF(chmod(path_.c_str(), 0666 & ~mask) || std::rename(path_.c_str(), output_.c_str()),
                ErrnoException, "cannot move " << path_ << " to " << output_);
  committed_ = true;
}

}  // namespace util
