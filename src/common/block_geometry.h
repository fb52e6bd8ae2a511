// Direction tables and scan orders depend only on a block's size and the
// direction index: built once per size (scan orders on first use) and shared
// by every estimate, leaf and decoded block of a run, from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common/block_transform.h"
#include "util/chunk_arena.h"

namespace kv {

struct BlockGeometry {
  int width = 0;
  int height = 0;
  int samples = 0;
  std::vector<ScanDirection> table;
  BandLayout layout;
  // Energy of the block's reconstruction from a unit coefficient of band j;
  // empty in a cache built without (see GeometryCache).
  std::vector<double> band_gain;
  // ready[index][k] = row-major sample index at scan position k, built on
  // first use (null before) and published so that readers need no lock.
  mutable std::unique_ptr<std::atomic<const uint16_t*>[]> ready;
};

class GeometryCache {
 public:
  // An encoder's search builds hundreds of KiB of scan orders; a decoder
  // may need only a few dozen, and then keeps to small pages. Only the
  // encoder's estimates weigh bands by their gains, which a decoder need not
  // work out for every leaf size.
  explicit GeometryCache(ChunkPages pages = ChunkPages::huge, bool band_gains = true)
      : band_gains_(band_gains), orders_(pages) {}
  bool has_band_gains() const { return band_gains_; }
  const BlockGeometry& geometry(int width, int height);
  // The scan order of table entry `index`: sample index by scan position.
  const uint16_t* scan_order(const BlockGeometry& geometry, int index);

 private:
  const bool band_gains_;
  std::mutex mutex_;
  ChunkArena orders_;  // the scan orders, under mutex_
  std::unordered_map<uint32_t, std::unique_ptr<BlockGeometry>> sizes_;
  // Sizes met lately, by a hash of the size: most lookups need no lock.
  // Geometries live as long as the cache, so a pointer seen stays valid.
  static constexpr int kRecentBits = 6;
  std::atomic<const BlockGeometry*> recent_[1 << kRecentBits] = {};
};

// Sample index by scan position for direction d over a w x h block, equal keys
// in row-major order (the same order as sorting the keys stably).
void build_scan_order(int w, int h, ScanDirection d, uint16_t* order);

}  // namespace kv
