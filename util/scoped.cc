#include "util/scoped.hh"

#include "util/exception.hh"

namespace util {
namespace {

// `addr` unless an allocator named `name` failed to provide `requested` bytes.
void *InspectAddr(void *addr, std::size_t requested, const char *name) {
  UTIL_THROW_IF_ARG(!addr && requested, MallocException, (requested), "in " << name);
  return addr;
}

}  // namespace

void *MallocOrThrow(std::size_t size) { return InspectAddr(std::malloc(size), size, "malloc"); }

void *CallocOrThrow(std::size_t size) { return InspectAddr(std::calloc(size, 1), size, "calloc"); }

void scoped_malloc::call_realloc(std::size_t size) { p_ = InspectAddr(std::realloc(p_, size), size, "realloc"); }

}  // namespace util
