// Quantizer policies: how the trie stores the weights of its records above
// order 1 (lm/trie.hh).
//
// A policy gives the width of the weights field of a middle record
// (MiddleBits) and of the probability field of a highest-order record
// (LongestBits), the size of its own region at the start of the search region
// (Size), and two cheap accessors built from a record's PackedAddress:
// MiddlePointer (probability and backoff) and LongestPointer (probability).
// IsFound is false for a null address; the getters need a found one.  Tries
// keep no separate rest costs, so GetRest is GetProb.
//
// DontQuantize stores the floats themselves and has no region.  A middle
// field is 63 bits: the probability in the 31-bit non-positive form (its sign
// always reads back set), then the backoff as a whole float, sign included,
// so that the no-extension marker -0.0 and the extension marker +0.0 stay
// apart.  A highest-order field is the 31-bit probability alone.
//
// SeparatelyQuantize replaces each value by the code of the nearest of a
// table of centres trained from the model's own values, with one table per
// order and field.  See its class comment for the layout.
#ifndef LM_QUANTIZE_H
#define LM_QUANTIZE_H

#include "lm/config.hh"
#include "lm/max_order.hh"
#include "lm/trie.hh"
#include "util/bit_packing.hh"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lm {
namespace ngram {

class BinaryFormat;

// What the trie search requires of a quantizer.  Building calls SetupMemory,
// writes every record through the accessors and ends with FinishedLoading;
// loading a binary file calls UpdateConfigFromBinary before sizing the
// region, then SetupMemory.
template <class Quant>
concept Quantizer = requires(Quant quant, const Quant frozen, const BinaryFormat &file, Config &config,
                             const Config &fixed, void *base, uint64_t offset, uint8_t number,
                             trie::PackedAddress address, float value) {
  Quant::UpdateConfigFromBinary(file, offset, config);
  { Quant::Size(number, fixed) } -> std::same_as<uint64_t>;
  { Quant::MiddleBits(fixed) } -> std::same_as<uint8_t>;
  { Quant::LongestBits(fixed) } -> std::same_as<uint8_t>;
  requires std::same_as<decltype(Quant::kNeedsTraining), const bool>;
  quant.SetupMemory(base, number, fixed);
  quant.FinishedLoading(fixed);
  // MiddlePointer(quantizer, order - 2, address)
  { typename Quant::MiddlePointer(frozen, number, address).IsFound() } -> std::same_as<bool>;
  { typename Quant::MiddlePointer(frozen, number, address).GetProb() } -> std::same_as<float>;
  { typename Quant::MiddlePointer(frozen, number, address).GetBackoff() } -> std::same_as<float>;
  { typename Quant::MiddlePointer(frozen, number, address).GetRest() } -> std::same_as<float>;
  { typename Quant::MiddlePointer(frozen, number, address).Write(value, value) };
  { typename Quant::LongestPointer(frozen, address).IsFound() } -> std::same_as<bool>;
  { typename Quant::LongestPointer(frozen, address).GetProb() } -> std::same_as<float>;
  { typename Quant::LongestPointer(frozen, address).Write(value) };
  // A quantizer that learns from the model (kNeedsTraining) is given each
  // order's values after SetupMemory and before FinishedLoading; it may
  // reorder them.  Train takes a middle order's probabilities and non-zero
  // backoffs, TrainProb the highest order's probabilities.
  requires !Quant::kNeedsTraining || requires(std::vector<float> &values) {
    quant.Train(number, values, values);
    quant.TrainProb(number, values);
  };
};

class DontQuantize {
 public:
  static constexpr bool kNeedsTraining = false;

  static void UpdateConfigFromBinary(const BinaryFormat & /*file*/, uint64_t /*offset*/, Config & /*config*/) {}
  static uint64_t Size(uint8_t /*order*/, const Config & /*config*/) { return 0; }
  static uint8_t MiddleBits(const Config & /*config*/) { return 63; }
  static uint8_t LongestBits(const Config & /*config*/) { return 31; }

  void SetupMemory(void * /*base*/, uint8_t /*order*/, const Config & /*config*/) {}
  void FinishedLoading(const Config & /*config*/) {}

  class MiddlePointer {
   public:
    MiddlePointer(const DontQuantize & /*quant*/, uint8_t /*middle_index*/, trie::PackedAddress address)
        : address_(address) {}

    bool IsFound() const { return address_.base != nullptr; }
    float GetProb() const { return util::ReadNonPositiveFloat(address_.base, address_.offset); }
    float GetBackoff() const { return util::ReadPackedFloat(address_.base, address_.offset + kBackoffBit); }
    float GetRest() const { return GetProb(); }

    void Write(float prob, float backoff) {
      util::WriteNonPositiveFloat(address_.base, address_.offset, prob);
      util::WritePackedFloat(address_.base, address_.offset + kBackoffBit, backoff);
    }

   private:
    static constexpr uint64_t kBackoffBit = 31;

    trie::PackedAddress address_;
  };

  class LongestPointer {
   public:
    LongestPointer(const DontQuantize & /*quant*/, trie::PackedAddress address) : address_(address) {}

    bool IsFound() const { return address_.base != nullptr; }
    float GetProb() const { return util::ReadNonPositiveFloat(address_.base, address_.offset); }

    void Write(float prob) { util::WriteNonPositiveFloat(address_.base, address_.offset, prob); }

   private:
    trie::PackedAddress address_;
  };
};

static_assert(Quantizer<DontQuantize>);

// Quantizes every weight above order 1 to a code of a few bits.  Order n of
// a model of order N has a probability table (P = quant_prob_bits wide, 2^P
// centres) and, below N, a backoff table (B = quant_backoff_bits wide).
// Centres ascend; a value is stored as the code of its nearest centre (the
// upper one on a tie).  Backoff codes 0 and 1 are reserved for the two zero
// backoffs, -0.0 (nothing extends the n-gram) and +0.0 (extended, weight
// zero), which decode to exactly those floats; other backoffs never take
// them.  Both widths must lie in 1 .. 25 so that a code plus a bit shift fits
// one 32-bit load.  With B = 1 no backoff centres remain beyond the two
// zeros, so training refuses models that have non-zero backoffs.
//
// Region (Size bytes, at the start of the search region):
//   0      version 2, then P, then B (written by FinishedLoading), 5 zeros
//   8      for n = 2 .. N-1: order n's 2^P probability centres, then its 2^B
//          backoff centres (32-bit floats)
//   then   the highest order's 2^P probability centres
// Middle field: bits 0 .. B-1 the backoff code, B .. B+P-1 the probability
// code.  Highest-order field: the probability code.
//
// Building: SetupMemory over a zeroed region, Train each middle order,
// TrainProb the highest, FinishedLoading, then write the records.  Loading:
// UpdateConfigFromBinary, then SetupMemory over the file's region.
class SeparatelyQuantize {
  class Bins;

 public:
  static constexpr bool kNeedsTraining = true;

  // Takes P and B from the header of a binary file whose search region
  // starts `offset` bytes into the model's region.  Throws
  // FormatLoadException for another version (after storing the widths).
  static void UpdateConfigFromBinary(const BinaryFormat &file, uint64_t offset, Config &config);
  // Throws ConfigException for widths outside 1 .. 25: zeros first,
  // probability before backoff.
  static void CheckBitCounts(const Config &config);
  // Throws as CheckBitCounts.
  static uint64_t Size(uint8_t order, const Config &config);
  static uint8_t MiddleBits(const Config &config) {
    return static_cast<uint8_t>(config.quant_prob_bits + config.quant_backoff_bits);
  }
  static uint8_t LongestBits(const Config &config) { return config.quant_prob_bits; }

  // Places the tables of a model of `order` at `base`; writes nothing.
  // Throws ConfigException for widths outside 1 .. 25, probability first.
  void SetupMemory(void *base, uint8_t order, const Config &config);

  // Trains the tables of middle `order` from its probabilities and its
  // backoffs other than the two zeros; both vectors are sorted in place.
  // Throws ConfigException when B = 1 and `backoffs` is not empty.
  void Train(uint8_t order, std::vector<float> &probs, std::vector<float> &backoffs);
  // Trains the probability table of `order`; sorts `probs` in place.
  void TrainProb(uint8_t order, std::vector<float> &probs);

  // Writes the header.
  void FinishedLoading(const Config &config);

  class MiddlePointer {
   public:
    MiddlePointer(const SeparatelyQuantize &quant, uint8_t middle_index, trie::PackedAddress address)
        : bins_(quant.tables_[middle_index]), address_(address) {}

    bool IsFound() const { return address_.base != nullptr; }
    float GetProb() const;
    float GetBackoff() const;
    float GetRest() const { return GetProb(); }

    void Write(float prob, float backoff);

   private:
    // This order's probability and backoff tables.
    const Bins *bins_;
    trie::PackedAddress address_;
  };

  class LongestPointer {
   public:
    LongestPointer(const SeparatelyQuantize &quant, trie::PackedAddress address)
        : bins_(&quant.longest_), address_(address) {}

    bool IsFound() const { return address_.base != nullptr; }
    float GetProb() const;

    void Write(float prob);

   private:
    const Bins *bins_;
    trie::PackedAddress address_;
  };

 private:
  // One table of 2^width ascending centres inside the region.
  class Bins {
   public:
    Bins() = default;
    Bins(uint8_t width, float *centres);

    uint8_t Width() const { return width_; }
    uint32_t Mask() const { return mask_; }
    float *Centres() const { return begin_; }

    float Decode(uint32_t code) const { return begin_[code]; }
    uint32_t EncodeProb(float value) const { return Nearest(value, 0); }
    uint32_t EncodeBackoff(float value) const;

   private:
    // The code of the centre nearest to `value` among those after the first
    // `reserved`; always below 2^width.
    uint32_t Nearest(float value, uint32_t reserved) const;

    float *begin_ = nullptr;
    const float *end_ = nullptr;
    uint8_t width_ = 0;
    uint32_t mask_ = 0;
  };

  static constexpr std::size_t kProb = 0;
  static constexpr std::size_t kBackoff = 1;

  // Row n - 2 holds order n's probability and backoff tables; the highest
  // order's row has only a probability table, which `longest_` repeats.
  Bins tables_[QUARN_MAX_ORDER - 1][2];
  Bins longest_;
  uint8_t *header_start_ = nullptr;
  uint8_t prob_width_ = 0;
  uint8_t backoff_width_ = 0;
};

static_assert(Quantizer<SeparatelyQuantize>);

// Implementation details follow.

inline float SeparatelyQuantize::MiddlePointer::GetProb() const {
  const Bins &prob = bins_[kProb];
  return prob.Decode(util::ReadBits32(address_.base, address_.offset + bins_[kBackoff].Width(), prob.Mask()));
}

inline float SeparatelyQuantize::MiddlePointer::GetBackoff() const {
  const Bins &backoff = bins_[kBackoff];
  return backoff.Decode(util::ReadBits32(address_.base, address_.offset, backoff.Mask()));
}

inline void SeparatelyQuantize::MiddlePointer::Write(float prob, float backoff) {
  const uint64_t prob_code = bins_[kProb].EncodeProb(prob);
  util::WriteBits64(address_.base, address_.offset,
                    (prob_code << bins_[kBackoff].Width()) | bins_[kBackoff].EncodeBackoff(backoff));
}

inline float SeparatelyQuantize::LongestPointer::GetProb() const {
  return bins_->Decode(util::ReadBits32(address_.base, address_.offset, bins_->Mask()));
}

inline void SeparatelyQuantize::LongestPointer::Write(float prob) {
  util::WriteBits32(address_.base, address_.offset, bins_->EncodeProb(prob));
}

}  // namespace ngram
}  // namespace lm

#endif  // LM_QUANTIZE_H
