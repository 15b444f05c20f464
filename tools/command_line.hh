// What packmodel and querymodel share: strict parsing of option values, the
// option loop, and how main reports a failure.
//
// Exit statuses: 0 on success, 1 when the library (or a file) fails, 2 for a
// command line that cannot be parsed.  A value that parses but that the
// library refuses (a probing multiplier of 0.5, 40 quantization bits) fails
// with the library's message and status 1.
#ifndef TOOLS_COMMAND_LINE_H
#define TOOLS_COMMAND_LINE_H

#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>

namespace tools {

constexpr int kFailureStatus = 1;
constexpr int kUsageStatus = 2;

// A command line that cannot be parsed; main prints the message and the
// usage text and exits with kUsageStatus.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The value of option -`option`; the whole text must be one number.
float FloatValue(char option, const char *text);
// An integer from 0 to 255.
uint8_t BitsValue(char option, const char *text);
// A memory size as util::ParseSize reads it: 512M, 2G, 80%, ...
uint64_t SizeValue(char option, const char *text);

// The value paired with `text` in `choices`.
template <class T>
T ChoiceValue(char option, const char *text, std::initializer_list<std::pair<const char *, T>> choices) {
  std::string names;
  for (const auto &[name, value] : choices) {
    if (std::string(name) == text) return value;
    names += names.empty() ? name : std::string(", ") + name;
  }
  throw UsageError(std::string("-") + option + " takes one of " + names + ", not '" + text + "'");
}

// Runs getopt over the arguments with `letters` (getopt's option string),
// calling `handle` with each option letter and its value (null for options
// without one).  -h prints `usage` to standard output and exits with status
// 0.  Throws UsageError for an unknown option or a missing value.  Returns
// the index in argv of the first operand; operands may also come before
// options.
int ParseOptions(int argc, char *argv[], const char *letters, const char *usage,
                 const std::function<void(char, const char *)> &handle);

// Write "<program>: <message>" (and for a usage error the usage text) to
// standard error and return the exit status.
int ReportUsageError(const char *program, const char *usage, const UsageError &e);
int ReportFailure(const char *program, const std::exception &e);

}  // namespace tools

#endif  // TOOLS_COMMAND_LINE_H
