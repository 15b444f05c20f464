// ScratchFiles: the files one fuzzing process writes for every input: the
// input itself, a binary model file and the trie builder's temporary files.
// They live in /dev/shm when it exists (so that no input waits for a disk),
// else in $TMPDIR or /tmp, named after the process, and are removed when the
// object is destroyed.
#ifndef FUZZ_SCRATCH_FILES_H
#define FUZZ_SCRATCH_FILES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

class ScratchFiles {
 public:
  // The files of this process, made on first use.
  static const ScratchFiles &OfThisProcess();

  ScratchFiles();
  ~ScratchFiles();

  ScratchFiles(const ScratchFiles &) = delete;
  ScratchFiles &operator=(const ScratchFiles &) = delete;

  // Replaces the input file's contents with [data, data + size).
  void WriteInput(const uint8_t *data, std::size_t size) const;

  const char *Input() const { return input_.c_str(); }
  const char *Binary() const { return binary_.c_str(); }
  // The prefix for the trie builder's temporary files.
  const std::string &TempPrefix() const { return temp_prefix_; }

 private:
  std::string input_, binary_, temp_prefix_;
};

}  // namespace fuzz

#endif  // FUZZ_SCRATCH_FILES_H
