// Open-addressing hash table with linear probing over memory owned by the
// caller.
//
// The table is a view: it never allocates, frees or clears bucket memory, so
// the buckets can live inside a larger block that is mapped from or written to
// a binary model file.  A bucket whose key equals the empty key (Key(), i.e.
// 0, unless the constructor is told otherwise) is free; the caller hands over
// memory in which every bucket is already free (zero-filled) or which holds a
// table built earlier.  A real key equal to the empty key cannot be stored.
// There is no growth and no deletion: at most buckets - 1 entries fit, so at
// least one bucket stays free and every probe sequence ends.
//
// EntryT is a plain record copied byte for byte.  It declares a nested type
// Key and the operations `Key GetKey() const` and `void SetKey(Key)`.
// HashT maps a key to a 64-bit hash, EqualT compares keys, and ModT, built
// from the bucket count, maps a hash to the index of its start bucket.
//
// Find may run on many threads at once while nobody inserts; Insert and
// FindOrInsert run on one thread only.
#ifndef UTIL_PROBING_HASH_TABLE_H
#define UTIL_PROBING_HASH_TABLE_H

#include "util/exception.hh"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace util {

// Thrown when an insertion would take the last free bucket.
class ProbingSizeException : public Exception {
 public:
  ProbingSizeException() noexcept {}
  ~ProbingSizeException() noexcept override {}
};

// For keys that are already hash values.
struct IdentityHash {
  template <class T> uint64_t operator()(T key) const { return static_cast<uint64_t>(key); }
};

// Start bucket = hash modulo the bucket count; any bucket count works.  The
// remainder comes from multiplications by a precomputed 128-bit reciprocal
// instead of a division, which costs more than the rest of a lookup: with
// magic = ceil(2^128 / buckets), the high 64 bits of
// ((magic * hash) mod 2^128) * buckets are exactly hash % buckets for every
// 64-bit hash and bucket count.
class DivMod {
 public:
  DivMod() : buckets_(0), magic_(0) {}
  explicit DivMod(uint64_t buckets)
      : buckets_(buckets), magic_(buckets ? ~static_cast<unsigned __int128>(0) / buckets + 1 : 0) {}

  uint64_t operator()(uint64_t hash) const {
    const unsigned __int128 fraction = magic_ * hash;
    const unsigned __int128 low =
        static_cast<unsigned __int128>(static_cast<uint64_t>(fraction)) * buckets_;
    const unsigned __int128 high = static_cast<unsigned __int128>(static_cast<uint64_t>(fraction >> 64)) * buckets_;
    return static_cast<uint64_t>((high + (low >> 64)) >> 64);
  }

 private:
  uint64_t buckets_;
  unsigned __int128 magic_;
};

template <class EntryT, class HashT, class EqualT = std::equal_to<typename EntryT::Key>, class ModT = DivMod>
class ProbingHashTable {
 public:
  typedef EntryT Entry;
  typedef typename Entry::Key Key;
  typedef const Entry *ConstIterator;
  typedef Entry *MutableIterator;
  typedef HashT Hash;
  typedef EqualT Equal;
  typedef ModT Mod;

  // Bytes for a table meant to hold `entries` entries: max(entries + 1,
  // entries * multiplier) buckets, the product formed in single precision and
  // truncated.  The + 1 keeps one bucket free even for multipliers <= 1.
  static uint64_t Size(uint64_t entries, float multiplier) {
    uint64_t scaled = static_cast<uint64_t>(static_cast<float>(entries) * multiplier);
    return std::max(entries + 1, scaled) * sizeof(Entry);
  }

  // A table with no buckets; assign a real one before use.
  ProbingHashTable()
      : begin_(nullptr), end_(nullptr), buckets_(0), invalid_(), hash_(), equal_(), mod_(), entries_(0) {}

  // Views `allocated` bytes at `start` as allocated / sizeof(Entry) buckets;
  // throws ProbingSizeException when not even one bucket fits, since every
  // probe starts at a bucket.
  ProbingHashTable(void *start, std::size_t allocated, const Key &invalid = Key(), const Hash &hash = Hash(),
                   const Equal &equal = Equal())
      : begin_(static_cast<MutableIterator>(start)),
        end_(begin_ + allocated / sizeof(Entry)),
        buckets_(allocated / sizeof(Entry)),
        invalid_(invalid),
        hash_(hash),
        equal_(equal),
        mod_(buckets_),
        entries_(0) {
    UTIL_THROW_IF(buckets_ == 0, ProbingSizeException,
                  "A hash table of " << allocated << " bytes has no room for a bucket of " << sizeof(Entry));
  }

  // Stores `entry` in the first free bucket of its probe sequence without
  // looking for an equal key: a duplicate lands behind the original, which
  // Find keeps returning.
  MutableIterator Insert(const Entry &entry) {
    UTIL_THROW_IF(++entries_ >= buckets_, ProbingSizeException,
                  "Hash table with " << buckets_ << " buckets is full.");
    MutableIterator i = Ideal(entry.GetKey());
    while (!equal_(i->GetKey(), invalid_)) i = Next(i);
    *i = entry;
    return i;
  }

  // True with `out` at the entry holding `entry`'s key if there is one (the
  // table is left alone); otherwise stores `entry`, points `out` at it and
  // returns false.
  bool FindOrInsert(const Entry &entry, MutableIterator &out) {
    const Key key = entry.GetKey();
    MutableIterator i = Ideal(key);
    if (equal_(i->GetKey(), key)) {
      out = i;
      return true;
    }
    for (;; i = Next(i)) {
      const Key got = i->GetKey();
      if (equal_(got, invalid_)) {
        UTIL_THROW_IF(++entries_ >= buckets_, ProbingSizeException,
                      "Hash table with " << buckets_ << " buckets is full.");
        *i = entry;
        out = i;
        return false;
      }
      if (equal_(got, key)) {
        out = i;
        return true;
      }
    }
  }

  // Whether `key` is present; if so `out` points at its first entry.  A
  // table mapped from a damaged file may have no free bucket: the search then
  // gives up when it reaches the end a second time, so it always ends.
  bool Find(const Key key, ConstIterator &out) const {
    bool wrapped = false;
    for (ConstIterator i = Ideal(key);;) {
      const Key got = i->GetKey();
      if (equal_(got, key)) {
        out = i;
        return true;
      }
      if (equal_(got, invalid_)) return false;
      if (++i == end_) {
        if (wrapped) return false;
        wrapped = true;
        i = begin_;
      }
    }
  }

  bool Find(const Key key, MutableIterator &out) {
    ConstIterator found;
    if (!static_cast<const ProbingHashTable &>(*this).Find(key, found)) return false;
    out = const_cast<MutableIterator>(found);
    return true;
  }

  // Starts loading the start bucket of `key` and the cache line after it,
  // where a probe often continues, so that several lookups or insertions can
  // wait for memory at the same time.  Always inlined: GCC deems a call
  // that only prefetches free of effects and drops it.
  [[gnu::always_inline]] void Prefetch(const Key key) const {
    const char *const start = reinterpret_cast<const char *>(Ideal(key));
    __builtin_prefetch(start);
    __builtin_prefetch(start + 64);
  }

  // The bucket where Find(key) starts.
  const void *StartAddress(const Key key) const { return Ideal(key); }

  uint64_t Buckets() const { return buckets_; }
  // Successful insertions, plus one if an insertion found the table full.
  uint64_t Entries() const { return entries_; }

  // The buckets, free ones included.
  MutableIterator begin() { return begin_; }
  MutableIterator end() { return end_; }
  ConstIterator begin() const { return begin_; }
  ConstIterator end() const { return end_; }

 private:
  MutableIterator Ideal(const Key key) const { return begin_ + mod_(hash_(key)); }

  MutableIterator Next(MutableIterator i) const { return ++i == end_ ? begin_ : i; }
  ConstIterator Next(ConstIterator i) const { return ++i == end_ ? begin_ : i; }

  MutableIterator begin_;
  MutableIterator end_;
  uint64_t buckets_;
  Key invalid_;
  [[no_unique_address]] Hash hash_;
  [[no_unique_address]] Equal equal_;
  Mod mod_;
  uint64_t entries_;
};

}  // namespace util

#endif  // UTIL_PROBING_HASH_TABLE_H
