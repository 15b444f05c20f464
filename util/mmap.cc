#include "util/mmap.hh"

#include "util/exception.hh"
#include "util/huge_pages.hh"
#include "util/scoped.hh"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <unistd.h>

namespace util {

uint64_t SizePage() {
  static const uint64_t kSize = static_cast<uint64_t>(sysconf(_SC_PAGE_SIZE));
  return kSize;
}

scoped_mmap::~scoped_mmap() {
  if (data_ == MAP_FAILED) return;
  try {
    SyncOrThrow(data_, size_);
    UnmapOrThrow(data_, size_);
  } catch (const ErrnoException &e) {
    std::cerr << e.what();
    std::abort();
  }
}

namespace {

// Rounds up to a multiple of `unit`, a power of two.
std::size_t RoundUp(std::size_t size, std::size_t unit) { return ((size - 1) & ~(unit - 1)) + unit; }

// Synchronises and unmaps as scoped_mmap does; a null start is no mapping.
void ReleaseMapping(void *start, std::size_t size) {
  if (start) scoped_mmap release(start, size);
}

}  // namespace

scoped_memory::scoped_memory(std::size_t size, bool zeroed) : scoped_memory() { HugeMalloc(size, zeroed, *this); }

void scoped_memory::reset(void *data, std::size_t size, Alloc kind) noexcept {
  switch (source_) {
    case MAP_ROUNDED_1G:
      ReleaseMapping(data_, RoundUp(size_, std::size_t(1) << 30));
      break;
    case MAP_ROUNDED_2M:
      ReleaseMapping(data_, RoundUp(size_, std::size_t(1) << 21));
      break;
    case MAP_ROUNDED_PAGE:
      ReleaseMapping(data_, RoundUp(size_, SizePage()));
      break;
    case MAP_EXACT:
      ReleaseMapping(data_, size_);
      break;
    case HEAP_BLOCK:
      std::free(data_);
      break;
    case NOT_OWNED:
      break;
  }
  data_ = data;
  size_ = size;
  source_ = kind;
}

void SyncOrThrow(void *start, std::size_t length) {
  UTIL_THROW_IF_TEXT(length && msync(start, length, MS_SYNC), "length && msync(start, length, 0x0000)",
                     ErrnoException, , "Failed to sync mmap");
}

void UnmapOrThrow(void *start, std::size_t length) {
  UTIL_THROW_IF(munmap(start, length), ErrnoException, "munmap failed with " << start << " for length " << length);
}

void *MapOrThrow(std::size_t size, bool writable, int flags, bool, int fd, uint64_t offset) {
  int protect = writable ? (PROT_READ | PROT_WRITE) : PROT_READ;
  void *ret;
  UTIL_THROW_IF_TEXT((ret = mmap(nullptr, size, protect, flags, fd, static_cast<off_t>(offset))) == MAP_FAILED,
                     "(ret = mmap(__null, size, protect, flags, fd, offset)) == ((void *)-1)", ErrnoException, ,
                     "mmap failed for size " << size << " at offset " << offset);
  return ret;
}

void MapRead(LoadMethod method, int fd, uint64_t offset, std::size_t size, scoped_memory &out) {
  switch (method) {
    case LAZY:
    case POPULATE_OR_LAZY:
      out.reset(MapOrThrow(size, false, kFileFlags, false, fd, offset), size, scoped_memory::MAP_EXACT);
      return;
    case POPULATE_OR_READ:
    case READ:
      HugeMalloc(size, false, out);
      SeekOrThrow(fd, offset);
      ReadOrThrow(fd, out.get(), size);
      return;
    case PARALLEL_READ:
      UTIL_THROW(Exception, "Parallel read was removed from this repo.");
  }
  UTIL_THROW(Exception, "Unknown load method " << static_cast<uint32_t>(method));
}

void *MapZeroedWrite(int fd, uint64_t size) {
  ResizeOrThrow(fd, 0);
  ResizeOrThrow(fd, size);
  return MapOrThrow(size, true, kFileFlags, false, fd, 0);
}

void *MapZeroedWrite(const char *name, uint64_t size, scoped_fd &file) {
  file.reset(CreateOrThrow(name));
  return MapZeroedWrite(file.get(), size);
}

void HugeMalloc(std::size_t size, bool zero_fill, scoped_memory &to) {
  to.reset();
  to.reset(zero_fill ? std::calloc(1, size) : std::malloc(size), size, scoped_memory::HEAP_BLOCK);
  UTIL_THROW_IF(!to.get(), ErrnoException, "Failed to allocate " << size << " bytes");
  AdviseHugePages(to.get(), size);
}

void HugeRealloc(std::size_t size, bool zero_fill, scoped_memory &to) {
  if (!size) {
    to.reset();
    return;
  }
  switch (to.source()) {
    case scoped_memory::NOT_OWNED:
      HugeMalloc(size, zero_fill, to);
      return;
    case scoped_memory::HEAP_BLOCK: {
      void *new_addr = std::realloc(to.get(), size);
      UTIL_THROW_IF(!new_addr, ErrnoException, "realloc to " << size << " bytes failed.");
      if (zero_fill && size > to.size()) std::memset(static_cast<char *>(new_addr) + to.size(), 0, size - to.size());
      to.steal();
      to.reset(new_addr, size, scoped_memory::HEAP_BLOCK);
      return;
    }
    default:
      UTIL_THROW(Exception, "HugeRealloc called with type " << to.source());
  }
}

void *Pool::More(std::size_t size) {
  std::size_t amount = std::max(size, std::size_t(32) << blocks_.size());
  scoped_malloc block(MallocOrThrow(amount));
  blocks_.push_back(block.get());
  char *start = static_cast<char *>(block.release());
  current_ = start + size;
  current_end_ = start + amount;
  return start;
}

void Pool::FreeAll() noexcept {
  for (void *block : blocks_) std::free(block);
  blocks_.clear();
  current_ = nullptr;
  current_end_ = nullptr;
}

}  // namespace util
