// Transparent huge pages for large heap blocks.  A model read or built into
// the heap spans hundreds of MiB; in 4 KiB pages nearly every lookup misses
// the TLB as well as the caches.  Advice asks the kernel to back the block
// with 2 MiB pages instead.  It changes only speed: when the kernel refuses,
// nothing changes and nothing is printed.
#ifndef UTIL_HUGE_PAGES_H
#define UTIL_HUGE_PAGES_H

#include <cstddef>
#include <string_view>

namespace util {

// The kernel's transparent huge page mode, as named in
// /sys/kernel/mm/transparent_hugepage/enabled.
enum class HugePageMode {
  ALWAYS,   // every large anonymous region gets huge pages; advice is not needed
  MADVISE,  // only regions advised with MADV_HUGEPAGE get them
  NEVER     // none: advice is refused
};

// The mode the kernel reports, read once per process.  An unreadable or
// unknown mode counts as NEVER.
HugePageMode SystemHugePageMode();

// Whether the environment variable QUARN_HUGE_PAGES is "0", read once per
// process: benchmarks set it to compare runs without huge pages.
bool HugePagesTurnedOff();

// On the 2 MiB-aligned pages inside [start, start + size): in mode MADVISE,
// advises MADV_HUGEPAGE; when HugePagesTurnedOff() and the mode is not NEVER,
// advises MADV_NOHUGEPAGE instead.  Never throws; a refusal is ignored.
void AdviseHugePages(const void *start, std::size_t size) noexcept;

// Implementation details follow.
namespace detail {

// The mode named in the text of the sysfs file: the word in brackets.
HugePageMode ParseHugePageMode(std::string_view enabled_text) noexcept;

// The first 2 MiB boundary at or after `start` and the length up to the last
// boundary at or before start + size; length 0 when no whole huge page fits.
struct HugeInterior {
  void *start;
  std::size_t size;
};
HugeInterior HugePageInterior(const void *start, std::size_t size) noexcept;

}  // namespace detail
}  // namespace util

#endif  // UTIL_HUGE_PAGES_H
