#include "util/chunk_arena.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace kv {

namespace {

// The first chunk boundary at or above `address`.
uintptr_t chunk_boundary_above(uintptr_t address) {
  return (address + kChunkBytes - 1) & ~uintptr_t{kChunkBytes - 1};
}

void* map_chunk(bool huge_pages) {
#if defined(__linux__)
  // Twice the size, then the ends cut off: what stays is aligned to a
  // chunk, which a huge page needs.
  const size_t mapped = 2 * kChunkBytes;
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = chunk_boundary_above(start);
  if (aligned > start) munmap(p, aligned - start);
  if (const uintptr_t tail = start + mapped - (aligned + kChunkBytes); tail > 0)
    munmap(reinterpret_cast<void*>(aligned + kChunkBytes), tail);
  void* chunk = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
  if (huge_pages) madvise(chunk, kChunkBytes, MADV_HUGEPAGE);  // a hint: small pages if refused
#endif
  return chunk;
#else
  (void)huge_pages;
  return ::operator new(kChunkBytes, std::align_val_t{kChunkBytes});
#endif
}

void unmap_chunk(void* chunk) {
#if defined(__linux__)
  munmap(chunk, kChunkBytes);
#else
  ::operator delete(chunk, std::align_val_t{kChunkBytes});
#endif
}

// Chunks given back, for the next run; never destroyed, so that arenas that
// die late in the process's exit still find it.
struct SpareChunks {
  static constexpr int kKept = 4;
  std::mutex mutex;
  void* chunk[kKept] = {};
  int count = 0;
};

SpareChunks& spare_chunks() {
  static SpareChunks* spare = new SpareChunks;
  return *spare;
}

#if defined(__linux__)
// `advice` on the whole `unit`-aligned stretches of [data, data + bytes), if any.
[[maybe_unused]] void advise_whole_units(void* data, size_t bytes, uintptr_t unit, int advice) {
  const auto start = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (start + unit - 1) & ~(unit - 1);
  const uintptr_t last = (start + bytes) & ~(unit - 1);
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, advice);
}
#endif

}  // namespace

void advise_big_pages(void* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  advise_whole_units(data, bytes, kChunkBytes, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

void prefault_pages(void* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  // Linux 5.14 and later; older kernels refuse it, and the pages then fault
  // one by one. The stretch must be aligned to the kernel's own page size.
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  advise_whole_units(data, bytes, page, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)bytes;
#endif
}

// A kept chunk is reused as it is, whatever its pages: it was touched where
// its last arena wrote, and advice given now would not change those pages.
void* take_chunk(bool huge_pages) {
  SpareChunks& spare = spare_chunks();
  {
    std::lock_guard<std::mutex> lock(spare.mutex);
    if (spare.count > 0) return spare.chunk[--spare.count];
  }
  return map_chunk(huge_pages);
}

void give_back_chunk(void* chunk) {
  SpareChunks& spare = spare_chunks();
  {
    std::lock_guard<std::mutex> lock(spare.mutex);
    if (spare.count < SpareChunks::kKept) {
      spare.chunk[spare.count++] = chunk;
      return;
    }
  }
  unmap_chunk(chunk);
}

constexpr size_t kAlignment = 64;

ChunkArena::~ChunkArena() {
  for (void* chunk : chunks_) give_back_chunk(chunk);
  for (void* block : own_blocks_) ::operator delete(block, std::align_val_t{kAlignment});
}

namespace {

// Room for one more entry before it is taken, so that nothing taken is lost
// to a failed push_back; grown geometrically.
template <typename T>
void make_room(std::vector<T>& list) {
  if (list.size() == list.capacity()) list.reserve(std::max<size_t>(8, 2 * list.size()));
}

}  // namespace

void* ChunkArena::allocate(size_t bytes) {
  if (bytes > SIZE_MAX - kAlignment) throw std::bad_alloc();
  bytes = (std::max<size_t>(bytes, 1) + kAlignment - 1) & ~(kAlignment - 1);  // a request for 0 gets room too
  if (!kArenaCarvesChunks || bytes > kChunkBytes / 4) {
    make_room(own_blocks_);
    own_blocks_.push_back(::operator new(bytes, std::align_val_t{kAlignment}));
    return own_blocks_.back();
  }
  if (bytes > room_ - used_) {
    // The first chunk of an arena that starts small holds kSmallPagesFill
    // in small pages; every later one (or a larger first request) is huge.
    const bool small = pages_ == ChunkPages::small_first && bytes <= kSmallPagesFill;
    make_room(chunks_);
    chunks_.push_back(take_chunk(!small));
    room_ = small ? kSmallPagesFill : kChunkBytes;
    used_ = 0;
    pages_ = ChunkPages::huge;
  }
  void* p = static_cast<std::byte*>(chunks_.back()) + used_;
  used_ += bytes;
  return p;
}

}  // namespace kv
