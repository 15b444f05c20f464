#include "util/bit_packing.hh"

#include "util/exception.hh"

namespace util {

void BitPackingSanity() {
  constexpr WidthMask kField = WidthMask::FromWidth(57);
  constexpr uint64_t kTest = 0x0123456789ABCDEFULL;
  static_assert(RequiredBits(kTest) == kField.width);
  constexpr unsigned kFields = 8;
  // Exactly the bytes that the last field's 8-byte accesses reach.
  uint8_t memory[(kFields * kField.width + 7) / 8] = {};
  for (uint64_t at = 0; at < kFields * kField.width; at += kField.width) WriteBits64(memory, at, kTest);
  for (uint64_t at = 0; at < kFields * kField.width; at += kField.width) {
    if (ReadBits64(memory, at, kField.mask) != kTest)
      UTIL_THROW(Exception, "The bit packing routines are failing for your architecture.  Please send a bug report "
                            "with your architecture, operating system, and compiler.");
  }
}

}  // namespace util
