// Sorting records whose size is known only at run time.
//
// SizedSort sorts an array of fixed-size records in place with std::sort
// (introspective, unstable).  The comparison receives two record addresses
// (const void *) and answers whether the first sorts before the second.
// Common record sizes are sorted as plain byte blocks (JustPOD) so that the
// compiler moves them with fixed-size copies; every other size goes through
// a proxy random-access iterator (ProxyIterator over SizedProxy) whose
// elements are copied and swapped byte by byte.
//
// The same proxy machinery sorts a strided view: with PartialViewProxy each
// element is `size` bytes inside a record of `stride` bytes, and sorting the
// view moves only those bytes between records, leaving the rest of every
// record where it was.  ProxySort runs std::sort over any such proxy.
//
// The comparison may be handed the address of a temporary copy of a record,
// which for JustPOD sizes is only byte-aligned, so comparisons read fields
// with std::memcpy.
// Sorting allocates nothing for records of up to SizedValue::kInlineBytes
// bytes.
#ifndef UTIL_SIZED_ITERATOR_H
#define UTIL_SIZED_ITERATOR_H

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>

namespace util {

// Sorts the records of `element_size` bytes in [begin, end) in place,
// ascending by compare(const void *, const void *).
template <class Compare> void SizedSort(void *begin, void *end, std::size_t element_size, Compare compare);

// An owned copy of one element of run-time size: the value_type of the
// proxies below, made when std::sort sets an element aside.
class SizedValue {
 public:
  static constexpr std::size_t kInlineBytes = 64;

  SizedValue(const void *from, std::size_t size);
  SizedValue(const SizedValue &from) : SizedValue(from.Data(), from.size_) {}
  SizedValue &operator=(const SizedValue &from);

  unsigned char *Data() { return heap_ ? heap_.get() : inline_; }
  const unsigned char *Data() const { return heap_ ? heap_.get() : inline_; }

 private:
  std::size_t size_;
  alignas(std::max_align_t) unsigned char inline_[kInlineBytes];
  // Only for elements larger than kInlineBytes.
  std::unique_ptr<unsigned char[]> heap_;
};

// A reference to `size` bytes at `data` that are one element of a strided
// view: the next element starts `stride` bytes later.  Copying the proxy
// copies the reference; assigning to it copies bytes into the element.
class PartialViewProxy {
 public:
  typedef SizedValue value_type;

  PartialViewProxy(void *data, std::size_t size, std::size_t stride)
      : data_(static_cast<unsigned char *>(data)), size_(size), stride_(stride) {}
  PartialViewProxy(const PartialViewProxy &) = default;

  PartialViewProxy &operator=(const PartialViewProxy &from) {
    std::memmove(data_, from.data_, size_);
    return *this;
  }
  PartialViewProxy &operator=(const SizedValue &from) {
    std::memcpy(data_, from.Data(), size_);
    return *this;
  }
  operator SizedValue() const { return SizedValue(data_, size_); }

  friend void swap(PartialViewProxy first, PartialViewProxy second) {
    std::swap_ranges(first.data_, first.data_ + first.size_, second.data_);
  }

  unsigned char *Data() const { return data_; }
  std::size_t Stride() const { return stride_; }

  // Moves the reference `elements` elements on (or back, when negative).
  void Advance(std::ptrdiff_t elements) { data_ += elements * static_cast<std::ptrdiff_t>(stride_); }
  // Makes this proxy refer to the element that `to` (a proxy into the same
  // view) refers to.
  void Repoint(const PartialViewProxy &to) { data_ = to.data_; }

 private:
  unsigned char *data_;
  std::size_t size_;
  std::size_t stride_;
};

// A reference to one whole record of `size` bytes in an array of them.
class SizedProxy : public PartialViewProxy {
 public:
  SizedProxy(void *data, std::size_t size) : PartialViewProxy(data, size, size) {}
  SizedProxy(const SizedProxy &) = default;
  using PartialViewProxy::operator=;
  SizedProxy &operator=(const SizedProxy &from) {
    PartialViewProxy::operator=(from);
    return *this;
  }
};

// A random-access iterator whose reference type is `Proxy` (returned by
// value), so that std::sort moves elements through the proxy's assignments
// and swap.  Iterators compare by the address of their element.
template <class Proxy> class ProxyIterator {
 public:
  typedef std::random_access_iterator_tag iterator_category;
  typedef typename Proxy::value_type value_type;
  typedef std::ptrdiff_t difference_type;
  typedef Proxy reference;
  typedef void pointer;

  explicit ProxyIterator(const Proxy &proxy) : proxy_(proxy) {}
  ProxyIterator(const ProxyIterator &) = default;
  // Re-points: assigning the proxy itself would copy the element's bytes.
  ProxyIterator &operator=(const ProxyIterator &from) {
    proxy_.Repoint(from.proxy_);
    return *this;
  }

  Proxy operator*() const { return proxy_; }
  Proxy operator[](difference_type n) const { return *(*this + n); }

  ProxyIterator &operator+=(difference_type n) {
    proxy_.Advance(n);
    return *this;
  }
  ProxyIterator &operator-=(difference_type n) { return *this += -n; }
  ProxyIterator &operator++() { return *this += 1; }
  ProxyIterator &operator--() { return *this -= 1; }
  ProxyIterator operator++(int) {
    ProxyIterator ret(*this);
    ++*this;
    return ret;
  }
  ProxyIterator operator--(int) {
    ProxyIterator ret(*this);
    --*this;
    return ret;
  }

  friend ProxyIterator operator+(ProxyIterator it, difference_type n) { return it += n; }
  friend ProxyIterator operator+(difference_type n, ProxyIterator it) { return it += n; }
  friend ProxyIterator operator-(ProxyIterator it, difference_type n) { return it -= n; }
  friend difference_type operator-(const ProxyIterator &first, const ProxyIterator &second) {
    return (first.proxy_.Data() - second.proxy_.Data()) / static_cast<difference_type>(first.proxy_.Stride());
  }

  friend bool operator==(const ProxyIterator &first, const ProxyIterator &second) {
    return first.proxy_.Data() == second.proxy_.Data();
  }
  friend std::strong_ordering operator<=>(const ProxyIterator &first, const ProxyIterator &second) {
    return first.proxy_.Data() <=> second.proxy_.Data();
  }

 private:
  Proxy proxy_;
};

// Adapts a comparison of element addresses to the proxies and values that
// std::sort hands over.
template <class Delegate> class SizedCompare {
 public:
  explicit SizedCompare(const Delegate &delegate) : delegate_(delegate) {}

  template <class First, class Second> bool operator()(const First &first, const Second &second) const {
    return delegate_(static_cast<const void *>(first.Data()), static_cast<const void *>(second.Data()));
  }

 private:
  Delegate delegate_;
};

// Sorts the `count` elements of the view that starts at `first`.
template <class Proxy, class Compare> void ProxySort(const Proxy &first, std::size_t count, Compare compare) {
  ProxyIterator<Proxy> begin(first);
  std::sort(begin, begin + static_cast<std::ptrdiff_t>(count), SizedCompare<Compare>(compare));
}

// A record of kSize bytes as a plain value.
template <std::size_t kSize> struct JustPOD {
  unsigned char data[kSize];
};

// Adapts a comparison of record addresses to JustPOD records.
template <class Delegate, std::size_t kSize> class JustPODDelegate {
 public:
  explicit JustPODDelegate(const Delegate &delegate) : delegate_(delegate) {}

  bool operator()(const JustPOD<kSize> &first, const JustPOD<kSize> &second) const {
    return delegate_(static_cast<const void *>(&first), static_cast<const void *>(&second));
  }

 private:
  Delegate delegate_;
};

// ---- Implementation ----

inline SizedValue::SizedValue(const void *from, std::size_t size) : size_(size) {
  if (size_ > kInlineBytes) heap_.reset(new unsigned char[size_]);
  std::memcpy(Data(), from, size_);
}

inline SizedValue &SizedValue::operator=(const SizedValue &from) {
  if (this == &from) return *this;
  if (from.size_ <= kInlineBytes) {
    heap_.reset();
  } else if (from.size_ != size_) {
    heap_.reset(new unsigned char[from.size_]);
  }
  size_ = from.size_;
  std::memcpy(Data(), from.Data(), size_);
  return *this;
}

namespace detail {

template <std::size_t kSize, class Compare> void JustPODSort(void *begin, void *end, Compare compare) {
  std::sort(static_cast<JustPOD<kSize> *>(begin), static_cast<JustPOD<kSize> *>(end),
            JustPODDelegate<Compare, kSize>(compare));
}

// Sorts as JustPOD<size> when `size` is one of kSizes; false otherwise.
template <class Compare, std::size_t... kSizes>
bool SortAsPOD(void *begin, void *end, std::size_t size, Compare compare) {
  return ((size == kSizes && (JustPODSort<kSizes>(begin, end, compare), true)) || ...);
}

}  // namespace detail

template <class Compare> void SizedSort(void *begin, void *end, std::size_t element_size, Compare compare) {
  if (detail::SortAsPOD<Compare, 4, 8, 12, 16, 17, 20, 24, 28, 32>(begin, end, element_size, compare)) return;
  const std::size_t bytes =
      static_cast<std::size_t>(static_cast<unsigned char *>(end) - static_cast<unsigned char *>(begin));
  ProxySort(SizedProxy(begin, element_size), bytes / element_size, compare);
}

}  // namespace util

#endif  // UTIL_SIZED_ITERATOR_H
