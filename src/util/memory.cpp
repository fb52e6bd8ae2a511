#include "util/memory.h"

#include <new>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define KV_POSIX_MEMORY 1
#else
#define KV_POSIX_MEMORY 0
#endif

namespace kv {

namespace {

constexpr uintptr_t kBigPageBytes = uintptr_t{2} << 20;

#if KV_POSIX_MEMORY
// `advice` on the whole `unit`-aligned stretches of [data, data + bytes), if any.
[[maybe_unused]] void advise_whole_units(void* data, size_t bytes, uintptr_t unit, int advice) {
  const auto start = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (start + unit - 1) & ~(unit - 1);
  const uintptr_t last = (start + bytes) & ~(unit - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, advice);
}
#endif

}  // namespace

uint64_t physical_memory_bytes() {
#if KV_POSIX_MEMORY && defined(_SC_PHYS_PAGES)
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && page_size > 0) return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
#endif
  return uint64_t{1} << 32;
}

void* map_aligned(size_t bytes, bool huge_pages) {
#if KV_POSIX_MEMORY && defined(MAP_ANONYMOUS)
  // Twice the size, then the ends cut off: what stays is aligned to its
  // size, which a huge page needs.
  const size_t mapped = 2 * bytes;
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = (start + bytes - 1) & ~uintptr_t{bytes - 1};
  if (aligned > start) munmap(p, aligned - start);
  if (const uintptr_t tail = start + mapped - (aligned + bytes); tail > 0)
    munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  void* chunk = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
  if (huge_pages) madvise(chunk, bytes, MADV_HUGEPAGE);  // a hint: small pages if refused
#endif
  return chunk;
#else
  (void)huge_pages;
  return ::operator new(bytes, std::align_val_t{bytes});
#endif
}

void unmap_aligned(void* p, size_t bytes) {
#if KV_POSIX_MEMORY && defined(MAP_ANONYMOUS)
  munmap(p, bytes);
#else
  ::operator delete(p, std::align_val_t{bytes});
#endif
}

void advise_big_pages(void* data, size_t bytes) {
#if KV_POSIX_MEMORY && defined(MADV_HUGEPAGE)
  advise_whole_units(data, bytes, kBigPageBytes, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

void prefault_pages(void* data, size_t bytes) {
#if KV_POSIX_MEMORY && defined(MADV_POPULATE_WRITE)
  // Linux 5.14 and later; older kernels refuse it, and the pages then fault
  // one by one. The stretch must be aligned to the kernel's own page size.
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  advise_whole_units(data, bytes, page, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace kv
