#include "enc/enc_scratch.h"

#include <cmath>
#include <mutex>
#include <new>
#include <vector>

#include "entropy/magnitude.h"
#include "util/chunk_arena.h"

namespace kv {

namespace {

// What the encoder keeps for the whole process, in chunks of its own: the
// log2 table and the threads' scratch slots. Never destroyed: threads end late.
struct LastingStore {
  std::mutex mutex;
  ChunkArena arena;
  // Scratch slots no thread holds, with room for every slot made (so that
  // handing one back never allocates).
  std::vector<Scratch*> spare_scratch;
  size_t scratch_made = 0;
};

LastingStore& lasting_store() {
  static LastingStore* const store = new LastingStore;
  return *store;
}

}  // namespace

const double* log2_table() {
  static const double* const table = [] {
    constexpr size_t kCounts = kModelLimit + 1;
    LastingStore& store = lasting_store();
    double* t = ArenaAllocator<double>(store.arena, store.mutex).allocate(kCounts);
    for (size_t i = 0; i < kCounts; ++i) t[i] = std::log2(static_cast<double>(i));
    return t;
  }();
  return table;
}

// The sum of squares of a block's samples, as the error of an all-zero
// reconstruction would be summed (row-major, in double).
ThreadScratch::ThreadScratch() {
  LastingStore& store = lasting_store();
  std::lock_guard<std::mutex> lock(store.mutex);
  if (!store.spare_scratch.empty()) {
    scratch = store.spare_scratch.back();
    store.spare_scratch.pop_back();
    return;
  }
  store.spare_scratch.reserve(store.scratch_made + 1);
  // Default-initialised: only the memo of distortions starts filled.
  scratch = new (store.arena.allocate(sizeof(Scratch))) Scratch;
  ++store.scratch_made;
}

ThreadScratch::~ThreadScratch() {
  LastingStore& store = lasting_store();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.spare_scratch.push_back(scratch);
}

}  // namespace kv
