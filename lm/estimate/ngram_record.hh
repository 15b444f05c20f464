// The fixed-size records the estimation pipeline sorts and streams.
//
// A record of order n is n word identifiers (uint32_t, in text order)
// followed by a payload; the pipeline's files and buffers hold records of
// one size back to back, each a multiple of 8 bytes and 8-aligned, so that
// words and 64-bit payloads are read in place.  Word identifiers come from
// the Vocabulary (kUnk, kBeginSentence, kEndSentence, then the text's words);
// kNoWord pads the front of a counting record that starts at <s> and is
// shorter than the model's order.
//
// Two orders over the words of records of one order:
//   SuffixOrder  the last word first, then the one before, ...: records that
//                share a suffix are contiguous, and a suffix-sorted stream of
//                order n lists its (n-1)-word suffixes in suffix order;
//   PrefixOrder  the first word first: records sharing a context (all words
//                but the last) are contiguous.
// Both are strict weak orders that tell every two different word sequences
// apart, so a sorted stream of unique keys is the same whatever the runs.
#ifndef LM_ESTIMATE_NGRAM_RECORD_H
#define LM_ESTIMATE_NGRAM_RECORD_H

#include "lm/estimate/estimate.hh"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace lm {
namespace estimate {

typedef uint32_t WordId;

constexpr WordId kUnk = 0;
constexpr WordId kBeginSentence = 1;
constexpr WordId kEndSentence = 2;
constexpr WordId kNoWord = 0xFFFFFFFFu;

// The largest record the pipeline sorts or streams.
constexpr std::size_t kMaxRecordBytes = 64;

// Bytes of a record of `order` words and `payload` bytes, rounded up to 8.
constexpr std::size_t RecordSize(unsigned order, std::size_t payload) {
  return (order * sizeof(WordId) + payload + 7) & ~static_cast<std::size_t>(7);
}

inline const WordId *Words(const void *record) { return static_cast<const WordId *>(record); }
inline WordId *Words(void *record) { return static_cast<WordId *>(record); }

// The payload of a record of `order` words, as a T placed right after them,
// rounded up to T's alignment.
template <class T> constexpr std::size_t PayloadOffset(unsigned order) {
  return (order * sizeof(WordId) + alignof(T) - 1) & ~(alignof(T) - 1);
}
template <class T> inline T &Payload(void *record, unsigned order) {
  return *reinterpret_cast<T *>(static_cast<char *>(record) + PayloadOffset<T>(order));
}
template <class T> inline const T &Payload(const void *record, unsigned order) {
  return *reinterpret_cast<const T *>(static_cast<const char *>(record) + PayloadOffset<T>(order));
}
template <class T> constexpr std::size_t RecordSizeWith(unsigned order) {
  return (PayloadOffset<T>(order) + sizeof(T) + 7) & ~static_cast<std::size_t>(7);
}

// SuffixOrder and PrefixOrder for a fixed number of words, for the sorts:
// two words at a time make one 64-bit key, the more significant word in its
// high half.
template <unsigned N> class FixedSuffixOrder {
 public:
  bool operator()(const void *first, const void *second) const {
    const WordId *a = Words(first), *b = Words(second);
    unsigned i = N;
    for (; i >= 2; i -= 2) {
      const uint64_t x = (static_cast<uint64_t>(a[i - 1]) << 32) | a[i - 2];
      const uint64_t y = (static_cast<uint64_t>(b[i - 1]) << 32) | b[i - 2];
      if (x != y) return x < y;
    }
    return i && a[0] < b[0];
  }
};

template <unsigned N> class FixedPrefixOrder {
 public:
  bool operator()(const void *first, const void *second) const {
    const WordId *a = Words(first), *b = Words(second);
    unsigned i = 0;
    for (; i + 2 <= N; i += 2) {
      const uint64_t x = (static_cast<uint64_t>(a[i]) << 32) | a[i + 1];
      const uint64_t y = (static_cast<uint64_t>(b[i]) << 32) | b[i + 1];
      if (x != y) return x < y;
    }
    return i < N && a[i] < b[i];
  }
};

class SuffixOrder {
 public:
  explicit SuffixOrder(unsigned order) : order_(order) {}
  bool operator()(const void *first, const void *second) const {
    const WordId *a = Words(first), *b = Words(second);
    for (unsigned i = order_; i-- > 0;) {
      if (a[i] != b[i]) return a[i] < b[i];
    }
    return false;
  }
  unsigned Order() const { return order_; }
  template <unsigned N> using Fixed = FixedSuffixOrder<N>;

 private:
  unsigned order_;
};

class PrefixOrder {
 public:
  explicit PrefixOrder(unsigned order) : order_(order) {}
  bool operator()(const void *first, const void *second) const {
    const WordId *a = Words(first), *b = Words(second);
    for (unsigned i = 0; i < order_; ++i) {
      if (a[i] != b[i]) return a[i] < b[i];
    }
    return false;
  }
  unsigned Order() const { return order_; }
  template <unsigned N> using Fixed = FixedPrefixOrder<N>;

 private:
  unsigned order_;
};

namespace detail {

// The pipeline copies and compares a few words at a time, so often that a
// library call each time would cost more than the work: these pick a copy or
// comparison of fixed size (of at most kMost words), which the compiler does
// in a few instructions.
template <std::size_t kMost, std::size_t kWords = 1>
inline void CopyWordsFixed(void *to, const void *from, std::size_t count) {
  if constexpr (kWords < kMost) {
    if (count != kWords) return CopyWordsFixed<kMost, kWords + 1>(to, from, count);
  }
  std::memcpy(to, from, kWords * sizeof(WordId));
}

template <std::size_t kWords = 1> inline bool SameWordsFixed(const void *a, const void *b, std::size_t count) {
  if constexpr (kWords < kMaxEstimateOrder) {
    if (count != kWords) return SameWordsFixed<kWords + 1>(a, b, count);
  }
  return !std::memcmp(a, b, kWords * sizeof(WordId));
}

}  // namespace detail

// Copies `count` words (at most kMaxEstimateOrder).
inline void CopyWords(WordId *to, const WordId *from, unsigned count) {
  if (count) detail::CopyWordsFixed<kMaxEstimateOrder>(to, from, count);
}

// Copies a record of `bytes` bytes (a multiple of 8, at most kMaxRecordBytes).
inline void CopyRecord(void *to, const void *from, std::size_t bytes) {
  detail::CopyWordsFixed<kMaxRecordBytes / sizeof(WordId)>(to, from, bytes / sizeof(WordId));
}

// Whether the `count` words (at most kMaxEstimateOrder) at `a` and `b` are
// the same.
inline bool SameWords(const WordId *a, const WordId *b, unsigned count) {
  return !count || detail::SameWordsFixed(a, b, count);
}

}  // namespace estimate
}  // namespace lm

#endif  // LM_ESTIMATE_NGRAM_RECORD_H
