// Process resource figures and the parser for memory sizes.
//
// Wall time is measured on the raw monotonic clock from a reading taken when
// the program is loaded.  None of these functions is on a query path.
#ifndef UTIL_USAGE_H
#define UTIL_USAGE_H

#include <cstdint>
#include <iosfwd>
#include <string>

namespace util {

// Seconds since the program was loaded; throws ErrnoException if the clock
// cannot be read.
double WallTime();

// User plus system processor seconds of the process; throws ErrnoException if
// getrusage fails.
double CPUTime();

// Per-thread processor time is not provided: always 0.0.
double ThreadTime();

// Peak resident set size of the process in bytes; 0 if getrusage fails.
uint64_t RSSMax();

// Writes one line: the Name, VmPeak and VmRSS entries of /proc/self/status
// (when readable), then RSSMax in kB, user, system, CPU and wall seconds,
// each followed by a tab (the last by a newline).
void PrintUsage(std::ostream &stream);

// Physical pages times page size; 0 when either is unknown.
uint64_t GuessPhysicalMemory();

// Parses a memory size such as "80%", "4G", "1.5T", "512" or "10 b": a number
// (a double if the text has a ".", an unsigned integer otherwise) and an
// optional one-character suffix.  No suffix means K; "k" is K; b K M G T P E Z
// Y multiply by successive powers of 1024 (integers wrap modulo 2^64); "%" is
// that share of GuessPhysicalMemory().  Throws an Exception naming the text on
// anything else.
uint64_t ParseSize(const std::string &text);

}  // namespace util

#endif  // UTIL_USAGE_H
