// util::PendingFile: an output file that appears only once complete.
//
// It is written as a new file beside the output (the output's name and six
// characters); Commit gives it the permissions of a newly created file and
// renames it to the output's name; destroying an uncommitted one removes
// it, so the output is either complete or what it was before.
#ifndef UTIL_PENDING_FILE_H
#define UTIL_PENDING_FILE_H

#include "util/file.hh"

#include <string>

namespace util {

class PendingFile {
 public:
  // Throws util::ErrnoException naming the output when no file can be made
  // beside it.
  explicit PendingFile(const std::string &output);
  ~PendingFile();
  PendingFile(const PendingFile &) = delete;
  PendingFile &operator=(const PendingFile &) = delete;

  int Descriptor() const { return fd_.get(); }
  // The name the file has until Commit.
  const char *Path() const { return path_.c_str(); }

  // Closes the file and moves it to the output's name.
  void Commit();

 private:
  std::string output_, path_;
  scoped_fd fd_;
  bool committed_ = false;
};

}  // namespace util

#endif  // UTIL_PENDING_FILE_H
