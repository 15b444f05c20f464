// Test helper: what std::cerr receives while a function runs.  The stream
// gets its buffer back also when the function throws.
#ifndef UTIL_STANDARD_ERROR_FOR_TEST_H
#define UTIL_STANDARD_ERROR_FOR_TEST_H

#include <iostream>
#include <sstream>
#include <string>

namespace util {

template <class Run> std::string StandardErrorOf(Run run) {
  std::ostringstream captured;
  std::streambuf *const original = std::cerr.rdbuf(captured.rdbuf());
  try {
    run();
  } catch (...) {
    std::cerr.rdbuf(original);
    throw;
  }
  std::cerr.rdbuf(original);
  return captured.str();
}

}  // namespace util

#endif  // UTIL_STANDARD_ERROR_FOR_TEST_H
