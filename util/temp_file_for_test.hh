// TempFileForTest: a named temporary file for tests, removed when the object
// goes away.  Tests write text or bytes into it and hand its name to the code
// under test.
#ifndef UTIL_TEMP_FILE_FOR_TEST_H
#define UTIL_TEMP_FILE_FOR_TEST_H

#include "util/file.hh"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace util {

class TempFileForTest {
 public:
  TempFileForTest() : name_("/tmp/quarn_test_XXXXXX") { scoped_fd made(mkstemp(name_.data())); }
  explicit TempFileForTest(const std::string &contents) : TempFileForTest() { Write(contents); }
  ~TempFileForTest() { std::remove(name_.c_str()); }
  TempFileForTest(const TempFileForTest &) = delete;
  TempFileForTest &operator=(const TempFileForTest &) = delete;

  const char *Name() const { return name_.c_str(); }

  // Replaces the contents.
  void Write(const std::string &contents) const {
    scoped_fd fd(CreateOrThrow(name_.c_str()));
    WriteOrThrow(fd.get(), contents.data(), contents.size());
  }

  std::string Read() const {
    scoped_fd fd(OpenReadOrThrow(name_.c_str()));
    std::string contents(SizeOrThrow(fd.get()), '\0');
    ReadOrThrow(fd.get(), contents.data(), contents.size());
    return contents;
  }

 private:
  std::string name_;
};

}  // namespace util

#endif  // UTIL_TEMP_FILE_FOR_TEST_H
