// Working sets built piece by piece and read through a whole run (scan
// orders, rate items) are carved from 2 MiB chunks that the kernel may back
// with huge pages: one page fault for a chunk instead of one for each of its
// 512 small pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "util/memory.h"

#if defined(__SANITIZE_ADDRESS__)
#define KV_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef KV_ADDRESS_SANITIZER
#define KV_ADDRESS_SANITIZER 0
#endif

namespace kv {

inline constexpr size_t kChunkBytes = size_t{2} << 20;
// Under AddressSanitizer an arena gives every request a heap block of its
// own instead of carving chunks, so that overruns are still caught.
inline constexpr bool kArenaCarvesChunks = !KV_ADDRESS_SANITIZER;

// One chunk, aligned to its size, contents unspecified, advised for huge
// pages unless `huge_pages` is false; throws bad_alloc when there is no
// memory. A few chunks given back are kept for the next run in the
// process, which then touches no fresh pages either.
void* take_chunk(bool huge_pages = true);
void give_back_chunk(void* chunk);

// How an arena's chunks are paged. A huge page is cleared whole at its first
// touch, so it pays only where a run fills a few hundred KiB or more. An
// arena that may stay small (a decoder's scan orders) fills kSmallPagesFill
// of a chunk in small pages first.
enum class ChunkPages { huge, small_first };
inline constexpr size_t kSmallPagesFill = size_t{128} << 10;

// Bump allocation from chunks, all freed with the arena. Not thread-safe:
// the owner serialises allocations (see kArenaCarvesChunks for sanitizer
// builds).
class ChunkArena {
 public:
  explicit ChunkArena(ChunkPages pages = ChunkPages::huge) : pages_(pages) {}
  ChunkArena(const ChunkArena&) = delete;
  ChunkArena& operator=(const ChunkArena&) = delete;
  ~ChunkArena();

  // `bytes` of storage aligned to 64, valid until the arena dies. Requests
  // beyond a quarter of a chunk get a heap block of their own.
  void* allocate(size_t bytes);
  template <typename T>
  T* allocate_array(size_t count) {
    static_assert(alignof(T) <= 64);
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate(count * sizeof(T)));
  }

 private:
  std::vector<void*> chunks_;
  std::vector<void*> own_blocks_;
  size_t room_ = 0;  // bytes the last chunk may hold
  size_t used_ = 0;  // bytes taken from it
  ChunkPages pages_;  // of the next chunk: small_first only until the first is taken
};

// A standard allocator drawing on an arena under a lock, for containers of
// one arena that threads may grow at once. Freeing is left to the arena:
// what a container outgrows stays until the arena dies.
template <typename T>
struct ArenaAllocator {
  using value_type = T;
  ChunkArena* arena;
  std::mutex* mutex;

  ArenaAllocator(ChunkArena& a, std::mutex& m) noexcept : arena(&a), mutex(&m) {}
  template <typename U>
  ArenaAllocator(const ArenaAllocator<U>& other) noexcept : arena(other.arena), mutex(other.mutex) {}
  T* allocate(size_t count) {
    std::lock_guard<std::mutex> lock(*mutex);
    return arena->allocate_array<T>(count);
  }
  void deallocate(T*, size_t) noexcept {}
  friend bool operator==(const ArenaAllocator& a, const ArenaAllocator& b) { return a.arena == b.arena; }
};

}  // namespace kv
