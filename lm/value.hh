// Value policies of the hash-table search: what a 1-gram record and a
// middle-order table entry hold, and how a lookup reads them.
//
//   BackoffValue  weights lm::ProbBackoff (8 bytes), middle entry 16 bytes
//   RestValue     weights lm::RestWeights (12 bytes), middle entry 20 bytes
//   ProbEntry     highest-order entry of both, 12 bytes
//
// Every entry is the 64-bit n-gram key followed by its weights, packed to
// 4-byte alignment; binary model files store the buckets byte for byte, so
// the sizes are fixed.
//
// Stored bits: the sign bit of a 1-gram or middle-order probability is the
// left-closed flag (set: no stored n-gram extends this one to the left); the
// probability is the stored value with its sign bit forced on.  A backoff of
// negative zero is the no-extension marker of lm/blank.hh.  The highest-order
// probability is stored with its sign bit on and used as is.  Rest costs
// (RestValue only) are used as stored; without rest costs the rest of an
// entry is its probability.
#ifndef LM_VALUE_H
#define LM_VALUE_H

#include "lm/blank.hh"
#include "lm/weights.hh"

#include <cstdint>

namespace lm {
namespace ngram {
namespace detail {

// A hash-table bucket: key 0 marks a free bucket.
#pragma pack(push, 4)
template <class WeightsT> struct HashEntry {
  typedef uint64_t Key;
  typedef WeightsT Weights;

  uint64_t key;
  WeightsT value;

  Key GetKey() const { return key; }
  void SetKey(Key to) { key = to; }
};
#pragma pack(pop)

typedef HashEntry<Prob> ProbEntry;
static_assert(sizeof(ProbEntry) == 12, "highest-order buckets are 12 bytes in binary files");

// Read-only view of a 1-gram or middle-order record; default-constructed
// means "not found" and must not be read.
template <class Weights> class WeightsView {
 public:
  WeightsView() : to_(nullptr) {}
  explicit WeightsView(const Weights &to) : to_(&to) {}

  bool IsFound() const { return to_ != nullptr; }
  float GetProb() const { return WithSignBit(to_->prob); }
  float GetBackoff() const { return to_->backoff; }
  // The left-closed flag: no stored n-gram extends this one to the left.
  bool LeftClosed() const { return SignBitSet(to_->prob); }

 protected:
  const Weights *to_;
};

// View of a highest-order probability, or "not found".
class LongestPointer {
 public:
  LongestPointer() : prob_(nullptr) {}
  explicit LongestPointer(const float &prob) : prob_(&prob) {}

  bool IsFound() const { return prob_ != nullptr; }
  float GetProb() const { return *prob_; }

 private:
  const float *prob_;
};

}  // namespace detail

struct BackoffValue {
  typedef ProbBackoff Weights;
  typedef detail::HashEntry<ProbBackoff> ProbingEntry;
  static const bool kDifferentRest = false;

  class Pointer : public detail::WeightsView<ProbBackoff> {
   public:
    Pointer() {}
    explicit Pointer(const ProbBackoff &to) : WeightsView(to) {}
    float GetRest() const { return GetProb(); }
  };
  typedef Pointer UnigramPointer;
  typedef Pointer MiddlePointer;
};
static_assert(sizeof(BackoffValue::ProbingEntry) == 16, "middle-order buckets are 16 bytes in binary files");

struct RestValue {
  typedef RestWeights Weights;
  typedef detail::HashEntry<RestWeights> ProbingEntry;
  static const bool kDifferentRest = true;

  class Pointer : public detail::WeightsView<RestWeights> {
   public:
    Pointer() {}
    explicit Pointer(const RestWeights &to) : WeightsView(to) {}
    float GetRest() const { return to_->rest; }
  };
  typedef Pointer UnigramPointer;
  typedef Pointer MiddlePointer;
};
static_assert(sizeof(RestValue::ProbingEntry) == 20, "middle-order buckets are 20 bytes in binary files");

}  // namespace ngram
}  // namespace lm

#endif  // LM_VALUE_H
