#include "util/usage.hh"

#include "util/exception.hh"

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>

namespace util {

namespace {

// The raw monotonic clock (id 4 on Linux): not slewed by time adjustment.
constexpr clockid_t kWallClock = CLOCK_MONOTONIC_RAW;

timespec ReadWallClockAtLoad() {
  timespec now = {0, 0};
  clock_gettime(kWallClock, &now);
  return now;
}

const timespec kRecordStart = ReadWallClockAtLoad();

double Seconds(const timeval &tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; }

// The rest of a /proc/self/status line without its leading blanks and tabs.
std::string TrimLeading(std::string text) {
  text.erase(0, text.find_first_not_of(" \t"));
  return text;
}

void PrintStatus(std::ostream &out) {
  std::ifstream status("/proc/self/status");
  std::string key, rest;
  while (status >> key) {
    std::getline(status, rest);
    if (key == "Name:" || key == "VmPeak:" || key == "VmRSS:") out << key << TrimLeading(rest) << '\t';
  }
}

class SizeParseError : public Exception {
 public:
  explicit SizeParseError(const std::string &text) noexcept {
    *this << "Failed to parse " << text << " into a memory size ";
  }
};

const char kSizeSuffixes[] = "bKMGTPEZY";

// Reads the number as Num (double or uint64_t) and applies the suffix.
template <class Num> uint64_t ParseNum(const std::string &text) {
  std::istringstream stream(text);
  Num value;
  stream >> value;
  UTIL_THROW_IF_ARG(!stream, SizeParseError, (text), "for the leading number.");
  std::string after;
  stream >> after;
  UTIL_THROW_IF_ARG(after.size() > 1, SizeParseError, (text),
                    "because there are more than two characters after the number.");
  std::string throwaway;
  UTIL_THROW_IF_ARG(stream >> throwaway, SizeParseError, (text),
                    "because there was more cruft " << throwaway << " after the number.");
  const char suffix = after.empty() || after[0] == 'k' ? 'K' : after[0];
  if (suffix == '%') {
    uint64_t mem = GuessPhysicalMemory();
    UTIL_THROW_IF_ARG(!mem, SizeParseError, (text),
                      "because % was specified but the physical memory size could not be determined.");
    return static_cast<uint64_t>(static_cast<Num>(mem) * value / static_cast<Num>(100));
  }
  std::string::size_type index = std::string(kSizeSuffixes).find(suffix);
  UTIL_THROW_IF_ARG(index == std::string::npos, SizeParseError, (text),
                    "the allowed suffixes are " << kSizeSuffixes << "%.");
  for (std::string::size_type i = 0; i < index; ++i) value *= 1024;
  return static_cast<uint64_t>(value);
}

}  // namespace

double WallTime() {
  timespec ret;
  UTIL_THROW_IF_TEXT(-1 == clock_gettime(kWallClock, &ret), "-1 == clock_gettime(4, &ret)", ErrnoException, ,
                     "Could not get wall time");
  return static_cast<double>(ret.tv_sec - kRecordStart.tv_sec) +
         static_cast<double>(ret.tv_nsec - kRecordStart.tv_nsec) / 1e9;
}

double CPUTime() {
  rusage usage;
  UTIL_THROW_IF_TEXT(getrusage(RUSAGE_SELF, &usage), "getrusage(0, &usage)", ErrnoException, , "getrusage failed");
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

double ThreadTime() { return 0.0; }

uint64_t RSSMax() {
  rusage usage;
  if (getrusage(RUSAGE_SELF, &usage)) return 0;
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
}

void PrintUsage(std::ostream &out) {
  PrintStatus(out);
  rusage usage;
  if (getrusage(RUSAGE_SELF, &usage)) {
    perror("getrusage");
    return;
  }
  out << "RSSMax:" << usage.ru_maxrss << " kB" << '\t';
  out << "user:" << Seconds(usage.ru_utime) << "\tsys:" << Seconds(usage.ru_stime) << '\t';
  out << "CPU:" << CPUTime() << '\t';
  out << "real:" << WallTime() << '\n';
}

uint64_t GuessPhysicalMemory() {
  long pages = sysconf(_SC_PHYS_PAGES);
  long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

uint64_t ParseSize(const std::string &text) {
  if (text.find('.') == std::string::npos) return ParseNum<uint64_t>(text);
  return ParseNum<double>(text);
}

}  // namespace util
