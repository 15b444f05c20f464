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
#ifndef LM_QUANTIZE_H
#define LM_QUANTIZE_H

#include "lm/config.hh"
#include "lm/trie.hh"
#include "util/bit_packing.hh"

#include <concepts>
#include <cstdint>

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

}  // namespace ngram
}  // namespace lm

#endif  // LM_QUANTIZE_H
