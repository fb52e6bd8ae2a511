#include "common/block_transform.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "util/error.h"
#include "common/wavelet.h"

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
  // The directions of the vectors (x, y), 0 <= x < w, 0 <= y < h, steepest
  // first, each by its shortest vector: vertical, then every reduced y / x
  // in falling order, then horizontal. The reduced fractions come in order
  // from a walk of the tree of mediants (each node the sum of the nearest
  // steeper and shallower one), left subtree first; a node out of bounds
  // has only larger ones below it. No sort: a decoder builds a table for
  // every leaf size it meets.
  std::vector<ScanDirection> kept;
  if (h > 1) kept.push_back({0, 1});
  std::vector<ScanDirection> shallower;  // the right bounds of the walks still to come
  ScanDirection steeper{0, 1}, bound{1, 0};
  for (;;) {
    const ScanDirection mediant{steeper.dx + bound.dx, steeper.dy + bound.dy};
    if (mediant.dx < w && mediant.dy < h) {
      shallower.push_back(bound);
      bound = mediant;
      continue;
    }
    if (shallower.empty()) break;
    kept.push_back(bound);
    steeper = bound;
    bound = shallower.back();
    shallower.pop_back();
  }
  if (w > 1) kept.push_back({1, 0});
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

void lift_block(int32_t* values, const BandLayout& layout, bool forward) {
  lift_block_levels(values, layout.end + 1, layout.levels, forward);
}

void quantise(const float* quant, int level, const BandLayout& layout, int32_t* values) {
  // Dead-zone quantiser: v / step truncated toward zero; a step of 1.0
  // changes nothing.
  for (int j = 1; j <= layout.levels + 1; ++j) {
    const double step = quant[level + j];
    if (step == 1.0) continue;
    const StepDivider divider(step);
    for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) values[p] = divider.quotient(values[p]);
  }
}

void refuse_coefficient() { fail(ErrorCode::kCorruptStream, "decode_block: coefficient out of range"); }

void dequantise(const float* quant, int level, const BandLayout& layout, int32_t* values) {
  for (int j = 1; j <= layout.levels + 1; ++j) {
    const double step = quant[level + j];
    if (step == 1.0) continue;  // (v +- 0.35) * 1 truncates back to v
    for (int p = layout.end[j + 1]; p < layout.end[j]; ++p)
      if (values[p] != 0) values[p] = dequantised(values[p], step);
  }
}

void copy_from_block(const BlockView& block, int32_t* compact) {
  for (int y = 0; y < block.height; ++y) {
    const int32_t* row = block.origin + y * block.row_step;
    for (int x = 0; x < block.width; ++x) *compact++ = row[x * block.sample_step];
  }
}

void copy_to_block(const int32_t* compact, const BlockView& block) {
  // The view in locals: the block's samples could alias it for the compiler.
  const int w = block.width, h = block.height;
  const ptrdiff_t step = block.sample_step, row_step = block.row_step;
  int32_t* const origin = block.origin;
  if (step == 1) {
    // Short rows as two overlapping fixed-size copies each, not a call per row.
    auto rows = [&]<int K>() {
      for (int y = 0; y < h; ++y, compact += w) {
        int32_t* row = origin + y * row_step;
        std::memcpy(row, compact, K * sizeof(int32_t));
        std::memcpy(row + w - K, compact + w - K, K * sizeof(int32_t));
      }
    };
    if (w >= 4 && w <= 8) return rows.template operator()<4>();
    if (w >= 8 && w <= 16) return rows.template operator()<8>();
    for (int y = 0; y < h; ++y, compact += w) std::copy_n(compact, w, origin + y * row_step);
    return;
  }
  for (int y = 0; y < h; ++y) {
    int32_t* row = origin + y * row_step;
    for (int x = 0; x < w; ++x) row[x * step] = *compact++;
  }
}

void direction_transform(const float* quant, int level, const BandLayout& layout, int32_t* values,
                         const BlockView& block, ScanDirection direction, bool forward) {
  const int n = block.width * block.height;
  std::vector<int32_t> position(static_cast<size_t>(n));
  scan_positions(block.width, block.height, direction, position.data());
  if (forward) {
    for (int y = 0; y < block.height; ++y)
      for (int x = 0; x < block.width; ++x)
        values[position[y * block.width + x]] = block.origin[x * block.sample_step + y * block.row_step];
    lift_block(values, layout, true);
    quantise(quant, level, layout, values);
  } else {
    dequantise(quant, level, layout, values);
    lift_block(values, layout, false);
    for (int y = 0; y < block.height; ++y)
      for (int x = 0; x < block.width; ++x)
        block.origin[x * block.sample_step + y * block.row_step] = values[position[y * block.width + x]];
  }
}

int32_t painted_value(int32_t value, int p, int n) {
  int d = std::abs(((p - n / 2) * 511) / n);
  int32_t t = static_cast<int32_t>(static_cast<uint32_t>(value) + 128u);
  if (d <= 31) return 0;
  if (d <= 63) return t - t / 4;
  return std::clamp(t, 0, 255);
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
      sample = painted_value(sample, position[y * block.width + x], n);
    }
  }
}

}  // namespace kv
