#include "common/block_geometry.h"

#include <algorithm>

namespace kv {

void build_scan_order(int w, int h, ScanDirection d, uint16_t* order) {
  // A counting sort by key: stable, so equal keys keep row-major order.
  int lowest = 0, highest = 0;
  for (int corner = 0; corner < 4; ++corner) {
    int key = (corner & 1 ? w - 1 : 0) * d.dy + (corner & 2 ? h - 1 : 0) * d.dx;
    lowest = std::min(lowest, key);
    highest = std::max(highest, key);
  }
  // The counts on the stack for the usual leaf sizes: a decoder builds an
  // order for each direction it meets, and should not allocate for each.
  const size_t keys = static_cast<size_t>(highest - lowest) + 2;
  constexpr size_t kLocalKeys = 1024;
  int32_t local[kLocalKeys];
  std::vector<int32_t> heap;
  int32_t* start = local;
  if (keys > kLocalKeys) {
    heap.resize(keys);
    start = heap.data();
  }
  std::fill_n(start, keys, 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) ++start[static_cast<size_t>(x * d.dy + y * d.dx - lowest) + 1];
  for (size_t k = 1; k < keys; ++k) start[k] += start[k - 1];
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      order[start[static_cast<size_t>(x * d.dy + y * d.dx - lowest)]++] = static_cast<uint16_t>(y * w + x);
}

const BlockGeometry& GeometryCache::geometry(int width, int height) {
  const uint32_t key = static_cast<uint32_t>(width) << 16 | static_cast<uint32_t>(height);
  std::atomic<const BlockGeometry*>& recent = recent_[(key * 2654435761u) >> (32 - kRecentBits)];
  if (const BlockGeometry* seen = recent.load(std::memory_order_acquire))
    if (seen->width == width && seen->height == height) return *seen;
  std::lock_guard<std::mutex> lock(mutex_);
  std::unique_ptr<BlockGeometry>& slot = sizes_[key];
  if (!slot) {
    auto g = std::make_unique<BlockGeometry>();
    g->width = width;
    g->height = height;
    g->samples = width * height;
    make_directions(g->table, width, height);
    g->layout = band_layout(g->samples);
    if (band_gains_) {
      // Synthesis gains of the one-dimensional decomposition, measured with a
      // large coefficient in the middle of each band (the integer lifting
      // would round a unit away).
      g->band_gain.assign(static_cast<size_t>(g->layout.levels) + 2, 0.0);
      std::vector<int32_t> values(static_cast<size_t>(g->samples));
      constexpr int32_t kUnit = 1 << 12;
      for (int j = 1; j <= g->layout.levels + 1; ++j) {
        std::fill(values.begin(), values.end(), 0);
        values[static_cast<size_t>((g->layout.end[j + 1] + g->layout.end[j]) / 2)] = kUnit;
        lift_block(values.data(), g->layout, false);
        double energy = 0;
        for (int32_t v : values) energy += static_cast<double>(v) * v;
        g->band_gain[static_cast<size_t>(j)] = energy / (static_cast<double>(kUnit) * kUnit);
      }
    }
    g->ready = std::make_unique<std::atomic<const uint16_t*>[]>(g->table.size());
    slot = std::move(g);
  }
  recent.store(slot.get(), std::memory_order_release);
  return *slot;
}

const uint16_t* GeometryCache::scan_order(const BlockGeometry& geometry, int index) {
  if (const uint16_t* order = geometry.ready[index].load(std::memory_order_acquire)) return order;
  std::lock_guard<std::mutex> lock(mutex_);
  const uint16_t* order = geometry.ready[index].load(std::memory_order_relaxed);
  if (!order) {
    uint16_t* built = orders_.allocate_array<uint16_t>(static_cast<size_t>(geometry.samples));
    build_scan_order(geometry.width, geometry.height, geometry.table[static_cast<size_t>(index)], built);
    geometry.ready[index].store(built, std::memory_order_release);
    order = built;
  }
  return order;
}

}  // namespace kv
