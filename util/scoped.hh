// Heap blocks from the standard allocator: allocation that throws on failure
// and a sole owner that frees.
#ifndef UTIL_SCOPED_H
#define UTIL_SCOPED_H

#include <cstddef>
#include <cstdlib>

namespace util {

// malloc(size); throws util::MallocException ("... in malloc") when it
// returns null for a non-zero size.  A zero size never throws.
void *MallocOrThrow(std::size_t size);
// calloc of `size` one-byte elements, tested the same way ("in calloc").
void *CallocOrThrow(std::size_t size);

// Sole owner of a block from malloc/calloc/realloc, released with free.
class scoped_malloc {
 public:
  scoped_malloc() noexcept : p_(nullptr) {}
  explicit scoped_malloc(void *p) noexcept : p_(p) {}
  scoped_malloc(const scoped_malloc &) = delete;
  scoped_malloc &operator=(const scoped_malloc &) = delete;
  ~scoped_malloc() { std::free(p_); }

  // Frees the current block and takes ownership of `p`.
  void reset(void *p = nullptr) noexcept {
    std::free(p_);
    p_ = p;
  }

  // Resizes through realloc; on failure throws util::MallocException
  // ("... in realloc") and keeps the old block.
  void call_realloc(std::size_t size);

  void *get() noexcept { return p_; }
  const void *get() const noexcept { return p_; }

  // Gives up ownership without freeing.
  void *release() noexcept {
    void *ret = p_;
    p_ = nullptr;
    return ret;
  }

 private:
  void *p_;
};

}  // namespace util

#endif  // UTIL_SCOPED_H
