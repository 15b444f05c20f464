// Predicates on exception texts for tests: messages are checked by their
// fixed parts, since the header line names compiler-specific signatures.
#ifndef UTIL_TEXT_MATCH_FOR_TEST_H
#define UTIL_TEXT_MATCH_FOR_TEST_H

#include <string>

namespace util {

inline bool EndsWith(const std::string &text, const std::string &suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

inline bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

}  // namespace util

#endif  // UTIL_TEXT_MATCH_FOR_TEST_H
