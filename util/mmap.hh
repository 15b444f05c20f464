// Memory regions: file mappings and heap blocks, the owners that release
// them the way they were obtained, the choice between mapping and reading a
// file (LoadMethod), and a small-piece arena (Pool).
#ifndef UTIL_MMAP_H
#define UTIL_MMAP_H

#include "util/file.hh"

#include <cstddef>
#include <cstdint>
#include <vector>

#include <sys/mman.h>

namespace util {

// The platform's page size.
uint64_t SizePage();

// Flags of every file mapping: shared, so writes through a writable mapping
// reach the file.
constexpr int kFileFlags = MAP_SHARED;

// Sole owner of one mapping; the address MAP_FAILED ((void *)-1) means none.
// Releasing synchronises (SyncOrThrow) and unmaps (UnmapOrThrow); if either
// fails, the error text goes to standard error and the process aborts.
class scoped_mmap {
 public:
  scoped_mmap() noexcept : data_(MAP_FAILED), size_(0) {}
  scoped_mmap(void *data, std::size_t size) noexcept : data_(data), size_(size) {}
  scoped_mmap(const scoped_mmap &) = delete;
  scoped_mmap &operator=(const scoped_mmap &) = delete;
  ~scoped_mmap();

  // Releases the current mapping and takes ownership of (data, size).
  void reset(void *data = MAP_FAILED, std::size_t size = 0) noexcept {
    scoped_mmap old(data_, size_);
    data_ = data;
    size_ = size;
  }

  void *get() const noexcept { return data_; }
  const char *begin() const noexcept { return static_cast<const char *>(data_); }
  const char *end() const noexcept { return begin() + size_; }
  std::size_t size() const noexcept { return size_; }

 private:
  void *data_;
  std::size_t size_;
};

// Sole owner of one memory region that remembers how the region was
// obtained (its kind) and releases it the matching way: the mapping kinds
// are synchronised and unmapped as by scoped_mmap, with the size rounded up
// to the kind's unit; HEAP_BLOCK is freed; NOT_OWNED is never released (the
// handle may be a view into memory owned elsewhere).
class scoped_memory {
 public:
  enum Alloc {
    MAP_ROUNDED_1G = 0,    // size rounded up to a multiple of 1 GiB
    MAP_ROUNDED_2M = 1,    // size rounded up to a multiple of 2 MiB
    MAP_ROUNDED_PAGE = 2,  // size rounded up to a multiple of SizePage()
    MAP_EXACT = 3,         // unmapped with the stored size
    HEAP_BLOCK = 4,        // free
    NOT_OWNED = 5          // nothing
  };

  scoped_memory() noexcept : data_(nullptr), size_(0), source_(NOT_OWNED) {}
  // A heap region from HugeMalloc.
  scoped_memory(std::size_t size, bool zeroed);
  scoped_memory(const scoped_memory &) = delete;
  scoped_memory &operator=(const scoped_memory &) = delete;
  ~scoped_memory() { reset(); }

  // Releases the current region by its kind, then holds (data, size, kind).
  void reset(void *data, std::size_t size, Alloc kind) noexcept;
  void reset() noexcept { reset(nullptr, 0, NOT_OWNED); }

  // Gives up the region without releasing it; the handle becomes
  // (null, 0, NOT_OWNED).
  void *steal() noexcept {
    void *ret = data_;
    data_ = nullptr;
    size_ = 0;
    source_ = NOT_OWNED;
    return ret;
  }

  void *get() const noexcept { return data_; }
  const char *begin() const noexcept { return static_cast<const char *>(data_); }
  const char *end() const noexcept { return begin() + size_; }
  std::size_t size() const noexcept { return size_; }
  Alloc source() const noexcept { return source_; }

 private:
  void *data_;
  std::size_t size_;
  Alloc source_;
};

// How MapRead brings a file range into memory.  The underlying type admits
// every 32-bit value a caller may pass; MapRead refuses those it does not name.
//
// A mapping (LAZY, POPULATE_OR_LAZY) reads the file whenever a page is first
// touched, long after loading: if another process truncates the file
// meanwhile, the next touch of a page past its new end raises SIGBUS and the
// program dies.  That is inherent in mapping; a model whose file may change
// under it should be loaded with READ (or POPULATE_OR_READ), which copies it.
enum LoadMethod : uint32_t {
  LAZY = 0,              // map read-only; pages are read when first touched
  POPULATE_OR_LAZY = 1,  // as LAZY (the mapping is not pre-faulted)
  POPULATE_OR_READ = 2,  // as READ
  READ = 3,              // read into a heap block
  PARALLEL_READ = 4      // refused: throws util::Exception
};

// msync (synchronous) of the range; nothing for length 0.
void SyncOrThrow(void *start, std::size_t length);
void UnmapOrThrow(void *start, std::size_t length);

// mmap at an address of the platform's choice, read-only or read-write.
// `prepopulate` has no effect.
void *MapOrThrow(std::size_t size, bool writable, int flags, bool prepopulate, int fd, uint64_t offset = 0);

// Brings bytes [offset, offset + size) of the file into `out`: mapped ranges
// are held as MAP_EXACT, read ranges as HEAP_BLOCK, and `out` releases its
// previous region first.  PARALLEL_READ and unnamed methods throw
// util::Exception before `out` is touched.
void MapRead(LoadMethod method, int fd, uint64_t offset, std::size_t size, scoped_memory &out);

// Truncates the file to 0 and then to `size` bytes (all zero) and maps all of
// it read-write with kFileFlags.
void *MapZeroedWrite(int fd, uint64_t size);
// As above on a file created (or truncated) by CreateOrThrow; `file` owns it.
void *MapZeroedWrite(const char *name, uint64_t size, scoped_fd &file);

// Releases what `to` holds, then holds a heap block of `size` bytes (zeroed
// if asked) as HEAP_BLOCK, advised for huge pages (util/huge_pages.hh) before
// it is first written.  On failure throws util::ErrnoException and `to` holds
// (null, size, HEAP_BLOCK).
void HugeMalloc(std::size_t size, bool zero_fill, scoped_memory &to);

// Resizes `to`: size 0 releases it; NOT_OWNED gets a new block (HugeMalloc);
// a HEAP_BLOCK is reallocated, zeroing the new tail if asked, and kept as it
// was if that fails; a mapping kind throws util::Exception and is unchanged.
void HugeRealloc(std::size_t size, bool zero_fill, scoped_memory &to);

// An arena of small byte strings released only all together.  Pieces are
// carved without padding from blocks of 32, 64, 128, ... bytes (or the
// request's size, if larger).
class Pool {
 public:
  Pool() noexcept : current_(nullptr), current_end_(nullptr) {}
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;
  ~Pool() { FreeAll(); }

  // `size` fresh bytes, adjacent to the previous piece when the newest block
  // still has room.
  void *Carve(std::size_t size) {
    if (static_cast<std::size_t>(current_end_ - current_) < size) return More(size);
    void *ret = current_;
    current_ += size;
    return ret;
  }

  // A new block of max(size, 32 << number of blocks) bytes; returns its
  // first `size` bytes and carves after them from then on.
  void *More(std::size_t size);

  // Frees every block; the pool starts over as new.
  void FreeAll() noexcept;

 private:
  std::vector<void *> blocks_;
  char *current_;
  char *current_end_;
};

}  // namespace util

#endif  // UTIL_MMAP_H
