#include "tools/command_line.hh"

#include "util/usage.hh"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>

#include <unistd.h>

namespace tools {
namespace {

[[noreturn]] void BadValue(char option, const char *text, const char *wanted) {
  throw UsageError(std::string("-") + option + " takes " + wanted + ", not '" + text + "'");
}

// The number that is the whole of `text`.
template <class T> bool ParseWhole(const char *text, T &value) {
  const char *end = text + std::strlen(text);
  const std::from_chars_result result = std::from_chars(text, end, value);
  return result.ec == std::errc() && result.ptr == end && *text;
}

}  // namespace

float FloatValue(char option, const char *text) {
  float value;
  if (!ParseWhole(text, value) || !std::isfinite(value)) BadValue(option, text, "a number");
  return value;
}

uint8_t BitsValue(char option, const char *text) {
  unsigned value;
  if (!ParseWhole(text, value) || value > std::numeric_limits<uint8_t>::max()) {
    BadValue(option, text, "a number of bits from 0 to 255");
  }
  return static_cast<uint8_t>(value);
}

uint64_t SizeValue(char option, const char *text) {
  try {
    return util::ParseSize(text);
  } catch (const std::exception &e) {
    throw UsageError(std::string("-") + option + ": " + e.what());
  }
}

int ParseOptions(int argc, char *argv[], const char *letters, const char *usage,
                 const std::function<void(char, const char *)> &handle) {
  // A leading ':' makes getopt report a missing value as ':' and stay quiet.
  const std::string getopt_letters = std::string(":h") + letters;
  opterr = 0;
  for (int letter; (letter = getopt(argc, argv, getopt_letters.c_str())) != -1;) {
    switch (letter) {
      case 'h':
        std::cout << usage;
        std::exit(0);
      case ':':
        throw UsageError(std::string("-") + static_cast<char>(optopt) + " needs a value");
      case '?':
        throw UsageError(std::string("unknown option -") + static_cast<char>(optopt));
      default:
        handle(static_cast<char>(letter), optarg);
    }
  }
  return optind;
}

int ReportUsageError(const char *program, const char *usage, const UsageError &e) {
  std::cerr << program << ": " << e.what() << "\n" << usage;
  return kUsageStatus;
}

int ReportFailure(const char *program, const std::exception &e) {
  std::cerr << program << ": " << e.what() << std::endl;
  return kFailureStatus;
}

}  // namespace tools
