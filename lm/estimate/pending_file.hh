// PendingFile: an output file that appears only once complete.
//
// It is written as a new file beside the output (the output's name and six
// characters); Commit gives it the permissions of a newly created file and
// renames it to the output's name; destroying an uncommitted one removes
// it, so the output is either complete or what it was before.
#ifndef LM_ESTIMATE_PENDING_FILE_H
#define LM_ESTIMATE_PENDING_FILE_H

#include "util/file.hh"

#include <string>

namespace lm {
namespace estimate {

class PendingFile {
 public:
  // Throws util::ErrnoException naming the output when no file can be made
  // beside it.
  explicit PendingFile(const std::string &output);
  ~PendingFile();
  PendingFile(const PendingFile &) = delete;
  PendingFile &operator=(const PendingFile &) = delete;

  int Descriptor() const { return fd_.get(); }

  // Closes the file and moves it to the output's name.
  void Commit();

 private:
  std::string output_, path_;
  util::scoped_fd fd_;
  bool committed_ = false;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_PENDING_FILE_H
