// StageMeter: the time and peak memory of one stage of the pipeline.
//
// Starting a meter resets the kernel's high-water mark of the resident set
// (Linux: "5" into /proc/self/clear_refs) so that VmHWM read at the end is
// the stage's peak; where that is not possible the process's peak so far
// stands in.
#ifndef LM_ESTIMATE_STAGE_METER_H
#define LM_ESTIMATE_STAGE_METER_H

#include "lm/estimate/estimate.hh"

#include <string>

namespace lm {
namespace estimate {

class StageMeter {
 public:
  // Starts timing a stage called `name`.
  explicit StageMeter(const std::string &name);

  // The figures from the start to now.
  StageReport Stop() const;

 private:
  std::string name_;
  double wall_, cpu_;
};

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_STAGE_METER_H
