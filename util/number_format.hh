// Number formatting into a caller's buffer, without streams, locales or
// allocation.  Each ToString writes the value's text at `to` and returns the
// pointer just past the last byte written.  The caller provides the room that
// ToStringBuf<T>::kBytes names.  Integer and pointer texts are not
// NUL-terminated; floating-point texts are, and the result points at the NUL.
#ifndef UTIL_NUMBER_FORMAT_H
#define UTIL_NUMBER_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace util {

template <class T> struct ToStringBuf;
template <> struct ToStringBuf<uint16_t> { static constexpr std::size_t kBytes = 5; };
template <> struct ToStringBuf<int16_t> { static constexpr std::size_t kBytes = 6; };
template <> struct ToStringBuf<uint32_t> { static constexpr std::size_t kBytes = 10; };
template <> struct ToStringBuf<int32_t> { static constexpr std::size_t kBytes = 11; };
template <> struct ToStringBuf<uint64_t> { static constexpr std::size_t kBytes = 20; };
template <> struct ToStringBuf<int64_t> { static constexpr std::size_t kBytes = 20; };
template <> struct ToStringBuf<const void *> { static constexpr std::size_t kBytes = 18; };
template <> struct ToStringBuf<double> { static constexpr std::size_t kBytes = 26; };
template <> struct ToStringBuf<float> { static constexpr std::size_t kBytes = 23; };

char *ToString(uint64_t value, char *to);
char *ToString(int64_t value, char *to);
char *ToString(uint32_t value, char *to);
char *ToString(int32_t value, char *to);
char *ToString(uint16_t value, char *to);
char *ToString(int16_t value, char *to);
char *ToString(const void *value, char *to);
// Shortest text that reads back to the same value ("1", "0.5", "1e-7", "-0").
char *ToString(double value, char *to);
char *ToString(float value, char *to);

}  // namespace util

#endif  // UTIL_NUMBER_FORMAT_H
