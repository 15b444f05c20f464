// Interpolation search over a sorted range whose keys are spread nearly
// uniformly: the next probe is guessed from where the key lies between the
// values known below and above the range.  InterpolationFind searches to the
// end; InterpolationSeek is the same search one probe at a time, for a caller
// that works on other searches while the memory of the next probe loads.
//
//   template <class Pivot, class Accessor, class Position>
//   bool InterpolationFind(const Accessor &accessor, Position before, uint64_t before_value,
//                          Position after, uint64_t after_value, uint64_t key, Position &out);
//
// The candidates are the positions strictly between `before` and `after`;
// `before` may be one below the first element.  `accessor(position)` returns
// the key stored at a candidate position (converted to uint64_t); keys must be
// ascending over the range.  `before_value` must not exceed any candidate key,
// `after_value` must not be below any, and `key` must lie between the two: a
// key outside them may make the pivot point outside the range.  FloatPivot
// also needs before_value < after_value.
//
// Positions are integers.  Unsigned ones may wrap: "one below element 0" is
// the maximum value, and after - before is still the candidate count plus one.
// Returns true and sets `out` to a position holding `key` (whichever such
// position is probed first), or returns false and leaves `out` alone.  Only
// probed keys are read; an empty range (after == before + 1) reads nothing.
//
// Pivot is FloatPivot for 64-bit keys or IntegerPivot for keys of at most 32
// bits.  Pivot::Offset(key_offset, value_range, width) receives
// key - before_value, after_value - before_value and after - before (at least
// 2) and returns an offset o <= width - 2; the probe is before + 1 + o.
//
// Example, a sorted array of 64-bit hashes `begin[0 .. size)`:
//   uint64_t at;
//   bool found = InterpolationFind<FloatPivot>(
//       [begin](uint64_t i) { return begin[i]; }, uint64_t(-1), 0, uint64_t(size),
//       std::numeric_limits<uint64_t>::max(), hash, at);
#ifndef UTIL_INTERPOLATION_SEARCH_H
#define UTIL_INTERPOLATION_SEARCH_H

#include <algorithm>
#include <cstdint>

namespace util {

// Single-precision interpolation, for keys whose products would overflow
// 64 bits.  Rounding may reach the upper bound, hence the clamp.
struct FloatPivot {
  static uint64_t Offset(uint64_t key_offset, uint64_t value_range, uint64_t width) {
    float fraction = static_cast<float>(key_offset) / static_cast<float>(value_range);
    uint64_t offset = static_cast<uint64_t>(static_cast<float>(width - 1) * fraction);
    return std::min(offset, width - 2);
  }
};

// Exact integer interpolation for keys below 2^32 (so the product fits); the
// + 1 in the divisor keeps the offset below width - 1.
struct IntegerPivot {
  static uint64_t Offset(uint64_t key_offset, uint64_t value_range, uint64_t width) {
    return key_offset * (width - 1) / (value_range + 1);
  }
};

// The position InterpolationFind probes first, for the same bounds and key;
// the range must not be empty.
template <class Pivot, class Position>
Position FirstProbe(Position before, uint64_t before_value, Position after, uint64_t after_value, uint64_t key) {
  const uint64_t offset =
      Pivot::Offset(key - before_value, after_value - before_value, static_cast<uint64_t>(after - before));
  return before + static_cast<Position>(1 + offset);
}

// A search in progress for one key: the candidates are the positions
// strictly between the bounds, as for InterpolationFind, and the next probe
// is worked out once, when the bounds change.  Trivially copyable, so that
// it can live in a caller's own state; it reads nothing by itself.
template <class Pivot, class Position> class InterpolationSeek {
 public:
  InterpolationSeek() = default;

  InterpolationSeek(Position before, uint64_t before_value, Position after, uint64_t after_value, uint64_t key)
      : before_(before), after_(after), before_value_(before_value), after_value_(after_value) {
    Aim(key);
  }

  // Whether candidates remain and the key has not been found yet.
  bool Open() const { return static_cast<uint64_t>(after_ - before_) > 1; }

  // The position the next Step reads; only while the seek is open.
  Position Probe() const { return probe_; }

  // Reads the probe and narrows the bounds, or stops at the key, which must
  // be the key the seek was made for.  The seek must be open.
  template <class Accessor> void Step(const Accessor &accessor, uint64_t key) {
    const uint64_t found = accessor(probe_);
    if (found < key) {
      before_ = probe_;
      before_value_ = found;
    } else if (found > key) {
      after_ = probe_;
      after_value_ = found;
    } else {
      before_ = after_ = probe_;
      return;
    }
    Aim(key);
  }

  // True, with `at` the key's position, once a Step found the key; false
  // (and `at` unchanged) otherwise.
  bool Found(Position &at) const {
    if (before_ != after_) return false;
    at = before_;
    return true;
  }

 private:
  void Aim(uint64_t key) {
    if (Open()) probe_ = FirstProbe<Pivot>(before_, before_value_, after_, after_value_, key);
  }

  // A found key collapses the bounds onto its position.
  Position before_{}, after_{}, probe_{};
  uint64_t before_value_ = 0, after_value_ = 0;
};

template <class Pivot, class Accessor, class Position>
bool InterpolationFind(const Accessor &accessor, Position before, uint64_t before_value, Position after,
                       uint64_t after_value, uint64_t key, Position &out) {
  InterpolationSeek<Pivot, Position> seek(before, before_value, after, after_value, key);
  while (seek.Open()) seek.Step(accessor, key);
  return seek.Found(out);
}

}  // namespace util

#endif  // UTIL_INTERPOLATION_SEARCH_H
