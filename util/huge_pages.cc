#include "util/huge_pages.hh"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/mman.h>

namespace util {
namespace detail {

HugePageMode ParseHugePageMode(std::string_view enabled_text) noexcept {
  const std::size_t open = enabled_text.find('[');
  const std::size_t close = enabled_text.find(']', open);
  if (open == std::string_view::npos || close == std::string_view::npos) return HugePageMode::NEVER;
  const std::string_view chosen = enabled_text.substr(open + 1, close - open - 1);
  if (chosen == "always") return HugePageMode::ALWAYS;
  if (chosen == "madvise") return HugePageMode::MADVISE;
  return HugePageMode::NEVER;
}

HugeInterior HugePageInterior(const void *start, std::size_t size) noexcept {
  constexpr uintptr_t kHuge = uintptr_t(1) << 21;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(start);
  const uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t last = (begin + size) & ~(kHuge - 1);
  if (first < begin || last <= first) return {nullptr, 0};
  return {reinterpret_cast<void *>(first), static_cast<std::size_t>(last - first)};
}

}  // namespace detail

namespace {

HugePageMode ReadMode() {
  std::ifstream file("/sys/kernel/mm/transparent_hugepage/enabled");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return detail::ParseHugePageMode(text);
}

}  // namespace

HugePageMode SystemHugePageMode() {
  static const HugePageMode kMode = ReadMode();
  return kMode;
}

bool HugePagesTurnedOff() {
  static const bool kOff = [] {
    const char *setting = std::getenv("QUARN_HUGE_PAGES");
    return setting && !std::strcmp(setting, "0");
  }();
  return kOff;
}

void AdviseHugePages(const void *start, std::size_t size) noexcept {
#ifdef MADV_HUGEPAGE
  HugePageMode mode;
  try {
    mode = SystemHugePageMode();
  } catch (...) {
    return;
  }
  int advice;
  if (HugePagesTurnedOff()) {
    if (mode == HugePageMode::NEVER) return;
    advice = MADV_NOHUGEPAGE;
  } else {
    if (mode != HugePageMode::MADVISE) return;
    advice = MADV_HUGEPAGE;
  }
  const detail::HugeInterior interior = detail::HugePageInterior(start, size);
  if (interior.size) madvise(interior.start, interior.size, advice);
#else
  (void)start;
  (void)size;
#endif
}

}  // namespace util
