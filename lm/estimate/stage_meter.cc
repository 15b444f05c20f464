#include "lm/estimate/stage_meter.hh"

#include "util/usage.hh"

#include <cstdio>
#include <cstring>
#include <fstream>

namespace lm {
namespace estimate {
namespace {

void ResetPeak() {
  std::FILE *clear = std::fopen("/proc/self/clear_refs", "w");
  if (!clear) return;
  std::fputs("5", clear);
  std::fclose(clear);
}

// VmHWM of /proc/self/status in bytes; 0 when unreadable.
uint64_t PeakSinceReset() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmHWM:")) continue;
    return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
  }
  return 0;
}

}  // namespace

StageMeter::StageMeter(const std::string &name) : name_(name) {
  ResetPeak();
  wall_ = util::WallTime();
  cpu_ = util::CPUTime();
}

StageReport StageMeter::Stop() const {
  StageReport report;
  report.name = name_;
  report.wall_seconds = util::WallTime() - wall_;
  report.cpu_seconds = util::CPUTime() - cpu_;
  report.peak_rss = PeakSinceReset();
  if (!report.peak_rss) report.peak_rss = util::RSSMax();
  return report;
}

}  // namespace estimate
}  // namespace lm
