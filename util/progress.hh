// ErsatzProgress: a text progress bar of up to 100 stars under a ruler.
//
// A meter over `total` units writes an optional heading line and
// kProgressBanner, then one "*" per completed percent: the k-th star once the
// value reaches ceil(k * total / 100), never more than 100 stars, and a line
// end when the value reaches the total.  Advancing costs one addition and one
// comparison against the precomputed value of the next star; the division and
// the output happen only when a star is due.  A meter without a stream (the
// default-constructed one, or one given a null stream) never writes anything.
// The stream is borrowed and must outlive the meter; a meter belongs to one
// thread, and two meters must not draw on one stream at the same time.
// The destructor completes a bar that is still being drawn.
#ifndef UTIL_PROGRESS_H
#define UTIL_PROGRESS_H

#include <cstdint>
#include <iosfwd>
#include <limits>
#include <string>

namespace util {

// The ruler above the stars: 100 columns and a newline, 101 bytes.
extern const char kProgressBanner[];

class ErsatzProgress {
 public:
  // A meter that never draws.
  ErsatzProgress();

  // Writes `heading` and a newline (unless `heading` is empty) and the banner
  // to `stream`; a null `stream` gives a meter that never draws.
  ErsatzProgress(uint64_t total, std::ostream *stream, const std::string &heading = "");

  ~ErsatzProgress();

  ErsatzProgress(const ErsatzProgress &) = delete;
  ErsatzProgress &operator=(const ErsatzProgress &) = delete;

  ErsatzProgress &operator++() { return *this += 1; }

  ErsatzProgress &operator+=(uint64_t amount) {
    if ((value_ += amount) >= threshold_) Milestone();
    return *this;
  }

  void MoveTo(uint64_t to) {
    if ((value_ = to) >= threshold_) Milestone();
  }

  // Sets the value to the total, which completes the bar.
  void Finished() { MoveTo(total_); }

  // Draws the stars that are due and computes the value of the next one.
  void Milestone();

 private:
  static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

  uint64_t value_;
  uint64_t threshold_;
  uint64_t total_;
  uint8_t stars_drawn_;
  std::ostream *stream_;
};

}  // namespace util

#endif  // UTIL_PROGRESS_H
