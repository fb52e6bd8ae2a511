#include "block_transform.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>

#include "failure.h"
#include "wavelet.h"

namespace kv {

BandLayout band_layout(int32_t n) {
  BandLayout layout;
  layout.end[1] = n;
  int k = 1;
  while (layout.end[k] > 1) {
    layout.end[k + 1] = (layout.end[k] + 1) / 2;
    ++k;
  }
  layout.levels = k - 1;
  layout.end[k + 1] = 0;
  return layout;
}

int make_directions(std::vector<ScanDirection>& table, int w, int h) {
  const int n = w * h;
  std::vector<ScanDirection> vectors;
  vectors.reserve(static_cast<size_t>(n));
  for (int i = 1; i < n; ++i) vectors.push_back({i % w, i / w});
  // Steepest first; collinear vectors keep row-major order, so the shortest
  // vector of each angle comes first and survives.
  std::stable_sort(vectors.begin(), vectors.end(), [](ScanDirection u, ScanDirection v) {
    return int64_t{u.dy} * v.dx > int64_t{u.dx} * v.dy;
  });
  std::vector<ScanDirection> kept;
  for (size_t i = 0; i < vectors.size(); ++i) {
    if (i > 0 && int64_t{vectors[i - 1].dx} * vectors[i].dy == int64_t{vectors[i - 1].dy} * vectors[i].dx) continue;
    kept.push_back(vectors[i]);
  }
  table.clear();
  const int k = static_cast<int>(kept.size());
  if (k <= 1) {
    table.push_back({1, 1});
    return 1;
  }
  const int d = 2 * (k - 1);
  table.resize(static_cast<size_t>(d));
  for (int i = 0; i < k - 1; ++i) {
    ScanDirection between{kept[i].dx + kept[i + 1].dx, kept[i].dy + kept[i + 1].dy};
    table[i] = between;
    table[d - 1 - i] = {between.dx, -between.dy};
  }
  return d;
}

void scan_positions(int w, int h, ScanDirection direction, int32_t* position) {
  const int n = w * h;
  std::vector<int32_t> key(static_cast<size_t>(n));
  std::vector<int32_t> order(static_cast<size_t>(n));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) key[y * w + x] = x * direction.dy + y * direction.dx;
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return key[a] < key[b]; });
  for (int rank = 0; rank < n; ++rank) position[order[rank]] = rank;
}

void direction_transform(const CodecState& state, int level, const BandLayout& layout, int32_t* values,
                         const BlockView& block, ScanDirection direction, bool forward) {
  const int n = block.width * block.height;
  std::vector<int32_t> position(static_cast<size_t>(n));
  scan_positions(block.width, block.height, direction, position.data());
  if (forward) {
    for (int y = 0; y < block.height; ++y)
      for (int x = 0; x < block.width; ++x)
        values[position[y * block.width + x]] = block.origin[x * block.sample_step + y * block.row_step];
    for (int k = 1; k <= layout.levels; ++k)
      lift_line(values, layout.end[k], 1, kBlockFilter, extend_symmetric, true);
    // Dead-zone quantiser: truncation toward zero.
    for (int j = 1; j <= layout.levels + 1; ++j) {
      const double step = state.quant[level + j];
      for (int p = layout.end[j + 1]; p < layout.end[j]; ++p)
        values[p] = static_cast<int32_t>(static_cast<double>(values[p]) / step);
    }
  } else {
    for (int j = 1; j <= layout.levels + 1; ++j) {
      const double step = state.quant[level + j];
      for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) {
        int32_t v = values[p];
        if (v == 0) continue;
        double rebuilt = v > 0 ? (v + 0.35) * step : (v - 0.35) * step;
        // Only a damaged stream (or an absurd step) reaches beyond 32 bits.
        if (!(rebuilt > -2147483648.0 && rebuilt < 2147483648.0)) fail(1, "decode_block: coefficient out of range");
        values[p] = static_cast<int32_t>(rebuilt);
      }
    }
    for (int k = layout.levels; k >= 1; --k)
      lift_line(values, layout.end[k], 1, kBlockFilter, extend_symmetric, false);
    for (int y = 0; y < block.height; ++y)
      for (int x = 0; x < block.width; ++x)
        block.origin[x * block.sample_step + y * block.row_step] = values[position[y * block.width + x]];
  }
}

void paint_direction(const BlockView& block, int direction_index) {
  const int n = block.width * block.height;
  std::vector<ScanDirection> table;
  make_directions(table, block.width, block.height);
  std::vector<int32_t> position(static_cast<size_t>(n));
  scan_positions(block.width, block.height, table[direction_index], position.data());
  for (int y = 0; y < block.height; ++y) {
    for (int x = 0; x < block.width; ++x) {
      int32_t& sample = block.origin[x * block.sample_step + y * block.row_step];
      int p = position[y * block.width + x];
      int d = std::abs(((p - n / 2) * 511) / n);
      int32_t t = static_cast<int32_t>(static_cast<uint32_t>(sample) + 128u);
      if (d <= 31)
        sample = 0;
      else if (d <= 63)
        sample = t - t / 4;
      else
        sample = std::clamp(t, 0, 255);
    }
  }
}

}  // namespace kv
