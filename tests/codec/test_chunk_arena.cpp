#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/block_geometry.h"
#include "common/block_transform.h"
#include "util/chunk_arena.h"

namespace kv {
namespace {

// Blocks of many sizes, several chunks' worth, some too large for a chunk:
// each must be aligned, apart from every other, and keep what was written
// into it while the later ones are carved out; also in an arena that fills
// part of its first chunk in small pages before it goes on in huge ones.
TEST(ChunkArena, BlocksStayApartAndKeepTheirContents) {
  for (ChunkPages pages : {ChunkPages::huge, ChunkPages::small_first}) {
    ChunkArena arena(pages);
    std::vector<std::pair<uint8_t*, size_t>> blocks;
    size_t total = 0;
    for (size_t i = 0; total < 3 * kChunkBytes; ++i) {
      const size_t bytes = i % 97 == 0 ? kChunkBytes / 4 + 1 + i : i % 89 == 0 ? 0 : 1 + (i * 7919) % 20000;
      auto* p = static_cast<uint8_t*>(arena.allocate(bytes));
      ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u) << "block " << i;
      std::memset(p, static_cast<int>(i & 0xFF), bytes);
      blocks.emplace_back(p, bytes);
      total += bytes;
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
      const auto [p, bytes] = blocks[i];
      ASSERT_TRUE(std::all_of(p, p + bytes, [&](uint8_t b) { return b == (i & 0xFF); })) << "block " << i;
    }
    std::sort(blocks.begin(), blocks.end());
    // A request for 0 gets a place of its own too.
    for (size_t i = 1; i < blocks.size(); ++i)
      ASSERT_LE(blocks[i - 1].first + std::max<size_t>(blocks[i - 1].second, 1), blocks[i].first);
  }
}

// An arena that starts in small pages keeps to kSmallPagesFill of its first
// chunk, and then to the whole of each later one.
TEST(ChunkArena, SmallPagesFillOnlyPartOfTheFirstChunk) {
  if (!kArenaCarvesChunks) GTEST_SKIP() << "every request is a heap block of its own";
  ChunkArena arena(ChunkPages::small_first);
  const auto chunk_of = [](const void* p) { return reinterpret_cast<uintptr_t>(p) / kChunkBytes; };
  // Takes 4 KiB blocks until one lands in another chunk: the bytes that the
  // chunk of `start` (a block of `start_bytes`) held, and that next block.
  const auto fill = [&](uint8_t* start, size_t start_bytes) {
    size_t held = start_bytes;
    uint8_t* p;
    while (chunk_of(p = static_cast<uint8_t*>(arena.allocate(4096))) == chunk_of(start))
      held = static_cast<size_t>(p - start) + 4096;
    return std::pair{held, p};
  };
  const auto [used, second] = fill(static_cast<uint8_t*>(arena.allocate(1000)), 1024);
  EXPECT_LE(used, kSmallPagesFill);
  EXPECT_GT(used, kSmallPagesFill - 4096);
  const size_t taken = fill(second, 4096).first;
  EXPECT_GT(taken, kChunkBytes - 4096);
}

// Chunks held at once, in small pages or huge, are distinct and aligned to
// their size (as a huge page needs), also when they come back from the ones
// given back.
TEST(ChunkArena, ChunksHeldAtOnceAreDistinctAndAligned) {
  for (int round = 0; round < 2; ++round) {
    std::vector<void*> held;
    for (int i = 0; i < 6; ++i) {
      held.push_back(take_chunk(/*huge_pages=*/i % 2 == 0));
      ASSERT_EQ(reinterpret_cast<uintptr_t>(held.back()) % kChunkBytes, 0u);
      std::memset(held.back(), i, kChunkBytes);
    }
    for (int i = 0; i < 6; ++i) {
      const auto* bytes = static_cast<const uint8_t*>(held[static_cast<size_t>(i)]);
      ASSERT_TRUE(bytes[0] == i && bytes[kChunkBytes - 1] == i) << "chunk " << i << " round " << round;
    }
    for (void* chunk : held) give_back_chunk(chunk);
  }
}

// Containers of one arena grown by several threads at once keep their values.
TEST(ChunkArena, ContainersGrowOnSeveralThreadsAtOnce) {
  ChunkArena arena;
  std::mutex mutex;
  using Values = std::vector<int32_t, ArenaAllocator<int32_t>>;
  std::vector<Values> lists(4, Values(ArenaAllocator<int32_t>(arena, mutex)));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&lists, t] {
      for (int32_t k = 0; k < 100000; ++k) lists[static_cast<size_t>(t)].push_back(k * 4 + t);
    });
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t)
    for (int32_t k = 0; k < 100000; ++k) ASSERT_EQ(lists[static_cast<size_t>(t)][static_cast<size_t>(k)], k * 4 + t);
}

// Planes made in big pages hold exactly the zeros asked for, whatever the
// vector held before and however its storage falls across 2 MiB stretches.
TEST(ChunkArena, PlanesInBigPagesStartAsZeros) {
  for (size_t count : {size_t{0}, size_t{5}, kChunkBytes / 4 - 3, 3 * kChunkBytes + 7}) {
    std::vector<int32_t> plane(1000, -1);
    assign_zeroed_in_big_pages(plane, count);
    ASSERT_EQ(plane.size(), count);
    EXPECT_TRUE(std::all_of(plane.begin(), plane.end(), [](int32_t v) { return v == 0; })) << count;
  }
}

// Mapping pages ahead of their writes leaves what they hold as it is, over
// any stretch of a buffer, aligned or not, empty or partial.
TEST(ChunkArena, PrefaultingKeepsContents) {
  std::vector<uint8_t> buffer(5 * 4096 + 123);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 7 + 1);
  const std::vector<uint8_t> before = buffer;
  for (const auto& [begin, bytes] : {std::pair<size_t, size_t>{0, buffer.size()}, {1, 0}, {17, 4000}, {4095, 8194}}) {
    prefault_pages(buffer.data() + begin, bytes);
    EXPECT_EQ(buffer, before) << begin << " + " << bytes;
  }
}

// Every scan order of the sizes up to 32 wide at four heights (7 MB), built by
// four threads at once through one cache, checked once all are built.
TEST(ChunkArena, ScanOrdersBuiltOnSeveralThreadsStayIntact) {
  constexpr int kHeights[] = {2, 5, 9, 13};
  GeometryCache cache;
  auto build_sizes = [&](int first_width) {
    for (int w = first_width; w <= 32; w += 4)
      for (int h : kHeights) {
        const BlockGeometry& g = cache.geometry(w, h);
        for (int index = 0; index < static_cast<int>(g.table.size()); ++index) cache.scan_order(g, index);
      }
  };
  std::vector<std::thread> threads;
  for (int t = 1; t <= 4; ++t) threads.emplace_back(build_sizes, t);
  for (std::thread& thread : threads) thread.join();
  std::vector<int32_t> position(32 * 32);
  for (int w = 1; w <= 32; ++w)
    for (int h : kHeights) {
      const BlockGeometry& g = cache.geometry(w, h);
      for (int index = 0; index < static_cast<int>(g.table.size()); ++index) {
        scan_positions(w, h, g.table[static_cast<size_t>(index)], position.data());
        const uint16_t* order = cache.scan_order(g, index);
        for (int k = 0; k < w * h; ++k) ASSERT_EQ(position[order[k]], k) << w << "x" << h << " entry " << index;
      }
    }
}

}  // namespace
}  // namespace kv
