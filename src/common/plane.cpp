#include "common/plane.h"

#include <algorithm>
#include <vector>

#include "dsp/vector_clones.h"
#include "common/wavelet.h"
#include "util/thread_pool.h"

namespace kv {

namespace {

inline uint32_t u32(int32_t v) { return static_cast<uint32_t>(v); }

// Columns are lifted a batch at a time through a contiguous copy, so that
// every row of the batch is read and written once instead of once per column.
void lift_columns(const CodingState& state, int32_t* origin, int w, int h, bool forward) {
  constexpr int kBatch = 16;
  const ptrdiff_t pixel = state.pixel_step, row = state.row_step;
  thread_local std::vector<int32_t> tile;
  tile.resize(static_cast<size_t>(kBatch) * static_cast<size_t>(h));
  for (int x0 = 0; x0 < w; x0 += kBatch) {
    const int count = std::min(kBatch, w - x0);
    for (int y = 0; y < h; ++y) {
      const int32_t* source = origin + y * row + x0 * pixel;
      for (int c = 0; c < count; ++c) tile[static_cast<size_t>(c) * h + y] = source[c * pixel];
    }
    for (int c = 0; c < count; ++c)
      lift_line(tile.data() + static_cast<size_t>(c) * h, h, 1, kPlaneFilter, extend_symmetric, forward);
    for (int y = 0; y < h; ++y) {
      int32_t* target = origin + y * row + x0 * pixel;
      for (int c = 0; c < count; ++c) target[c * pixel] = tile[static_cast<size_t>(c) * h + y];
    }
  }
}

// The inverse of lift_line with the plane filter and symmetric extension, down
// a batch of columns at once. The batch is held row by row, so that each
// lifting step combines whole rows; the extension becomes a choice of rows,
// made by extending an array of row numbers exactly as lift_line extends
// the samples.
// Pixel: the pixel step when the compiler is to know it (1 makes the batch's
// copies contiguous), else 0.
template <int Pixel>
[[gnu::always_inline]] inline void inverse_lift_columns_at(const CodingState& state, int32_t* origin, int w, int h) {
  constexpr int kBatch = 16;
  constexpr int kGuard = 4;
  const int nh = h / 2, nl = (h + 1) / 2;
  const ptrdiff_t pixel = Pixel ? Pixel : state.pixel_step, row = state.row_step;
  // Rows of the extended halves: low j in [-1, nh + 2), high j in [-2, nl + 1).
  thread_local std::vector<int32_t> low_rows, high_rows, tile;
  low_rows.resize(static_cast<size_t>(nl) + 2 * kGuard);
  high_rows.resize(static_cast<size_t>(nh) + 2 * kGuard);
  int32_t* low = low_rows.data() + kGuard;
  int32_t* high = high_rows.data() + kGuard;
  for (int j = 0; j < nl; ++j) low[j] = j;
  for (int j = 0; j < nh; ++j) high[j] = nl + j;
  extend_symmetric(low, nl, -1, nh + 2);
  extend_symmetric(high, nh, -2, nl + 1);
  tile.resize(static_cast<size_t>(kBatch) * static_cast<size_t>(h));
  int32_t* t = tile.data();
  auto at = [&](int tile_row) { return t + static_cast<ptrdiff_t>(tile_row) * kBatch; };
  for (int x0 = 0; x0 < w; x0 += kBatch) {
    const int count = std::min(kBatch, w - x0);
    for (int y = 0; y < h; ++y) {
      const int32_t* source = origin + y * row + x0 * pixel;
      int32_t* target = at(y);
      for (int c = 0; c < count; ++c) target[c] = source[c * pixel];
    }
    // Update undone: e[i] -= (9 (d[i-1] + d[i]) - d[i-2] - d[i+1] + 16) >> 5.
    for (int i = 0; i < nl; ++i) {
      int32_t* e = at(i);
      const int32_t *d2 = at(high[i - 2]), *d1 = at(high[i - 1]), *d0 = at(high[i]), *d3 = at(high[i + 1]);
      for (int c = 0; c < kBatch; ++c) {
        const uint32_t term = 9u * (u32(d1[c]) + u32(d0[c])) - u32(d2[c]) - u32(d3[c]) + 16u;
        e[c] = static_cast<int32_t>(u32(e[c]) - u32(static_cast<int32_t>(term) >> 5));
      }
    }
    // Predict undone: d[i] -= (e[i-1] + e[i+2] - 9 (e[i] + e[i+1]) + 8) >> 4.
    for (int i = 0; i < nh; ++i) {
      int32_t* d = at(nl + i);
      const int32_t *e1 = at(low[i - 1]), *e0 = at(low[i]), *e2 = at(low[i + 1]), *e3 = at(low[i + 2]);
      for (int c = 0; c < kBatch; ++c) {
        const uint32_t term = u32(e1[c]) + u32(e3[c]) - 9u * (u32(e0[c]) + u32(e2[c])) + 8u;
        d[c] = static_cast<int32_t>(u32(d[c]) - u32(static_cast<int32_t>(term) >> 4));
      }
    }
    // Low and high rows interleave again.
    for (int y = 0; y < h; ++y) {
      const int32_t* source = at(y % 2 == 0 ? y / 2 : nl + y / 2);
      int32_t* target = origin + y * row + x0 * pixel;
      for (int c = 0; c < count; ++c) target[c * pixel] = source[c];
    }
  }
}

// The batch's rows in 256-bit vectors where the processor has them (the
// helpers above are inlined into each copy).
KV_AVX2_CLONES void inverse_lift_columns(const CodingState& state, int32_t* origin, int w, int h) {
  if (h < 2) return;
  if (state.pixel_step == 1)
    inverse_lift_columns_at<1>(state, origin, w, h);
  else
    inverse_lift_columns_at<0>(state, origin, w, h);
}

}  // namespace

void forward_transform_region(const CodingState& state, int32_t* origin, int w, int h) {
  const ptrdiff_t row = state.row_step;
  for (int y = 0; y < h; ++y) lift_line(origin + y * row, w, state.pixel_step, kPlaneFilter, extend_symmetric, true);
  lift_columns(state, origin, w, h, true);
}

void inverse_transform_region(const CodingState& state, int32_t* origin, int w, int h) {
  inverse_lift_columns(state, origin, w, h);
  for (int y = 0; y < h; ++y) inverse_plane_row(origin + y * state.row_step, w, state.pixel_step);
}

void transform_region_shared(ThreadPool* pool, const CodingState& state, int32_t* origin, int w, int h,
                             bool forward) {
  // Below this many samples the hand-over costs more than sharing saves.
  constexpr int64_t kShareArea = int64_t{1} << 16;
  if (!pool || pool->threads() == 1 || int64_t{w} * h < kShareArea) {
    if (forward)
      forward_transform_region(state, origin, w, h);
    else
      inverse_transform_region(state, origin, w, h);
    return;
  }
  // A few pieces a thread, so that a slow thread holds the others up little;
  // columns in whole batches of lift_columns.
  const size_t pieces = static_cast<size_t>(4 * pool->threads());
  const int64_t batches = (w + 15) / 16;
  auto rows = [&](size_t i) {
    const int y0 = static_cast<int>(h * static_cast<int64_t>(i) / static_cast<int64_t>(pieces));
    const int y1 = static_cast<int>(h * static_cast<int64_t>(i + 1) / static_cast<int64_t>(pieces));
    for (int y = y0; y < y1; ++y) {
      if (forward)
        lift_line(origin + static_cast<ptrdiff_t>(y) * state.row_step, w, state.pixel_step, kPlaneFilter, extend_symmetric, true);
      else
        inverse_plane_row(origin + static_cast<ptrdiff_t>(y) * state.row_step, w, state.pixel_step);
    }
  };
  auto columns = [&](size_t i) {
    const int x0 = static_cast<int>(std::min<int64_t>(w, 16 * (batches * static_cast<int64_t>(i) / static_cast<int64_t>(pieces))));
    const int x1 = static_cast<int>(std::min<int64_t>(w, 16 * (batches * static_cast<int64_t>(i + 1) / static_cast<int64_t>(pieces))));
    if (x1 <= x0) return;
    if (forward)
      lift_columns(state, origin + x0 * state.pixel_step, x1 - x0, h, true);
    else
      inverse_lift_columns(state, origin + x0 * state.pixel_step, x1 - x0, h);
  };
  if (forward) {
    pool->parallel_for(pieces, rows);
    pool->parallel_for(pieces, columns);
  } else {
    pool->parallel_for(pieces, columns);
    pool->parallel_for(pieces, rows);
  }
}

void invert_plane(const CodingState& state, int32_t* origin, int w, int h) {
  if (w * h == 1) return;
  invert_plane(state, origin, (w + 1) / 2, (h + 1) / 2);
  inverse_transform_region(state, origin, w, h);
}

}  // namespace kv
