#include "util/chunk_arena.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>

#include "util/memory.h"

namespace kv {

namespace {

void* map_chunk(bool huge_pages) { return map_aligned(kChunkBytes, huge_pages); }

void unmap_chunk(void* chunk) { unmap_aligned(chunk, kChunkBytes); }

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

}  // namespace

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
