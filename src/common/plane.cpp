#include "common/plane.h"

#include <algorithm>
#include <vector>

#include "dsp/dsp.h"
#include "common/wavelet.h"
#include "util/thread_pool.h"

namespace kv {

namespace {

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

}  // namespace

void forward_transform_region(const CodingState& state, int32_t* origin, int w, int h) {
  const ptrdiff_t row = state.row_step;
  for (int y = 0; y < h; ++y) lift_line(origin + y * row, w, state.pixel_step, kPlaneFilter, extend_symmetric, true);
  lift_columns(state, origin, w, h, true);
}

void inverse_columns(const CodingState& state, int32_t* origin, int w, int h, int64_t first, int64_t end) {
  const int x0 = static_cast<int>(std::min<int64_t>(w, kInverseColumnBatch * first));
  const int x1 = static_cast<int>(std::min<int64_t>(w, kInverseColumnBatch * end));
  if (x1 > x0 && h >= 2)
    dsp().inverse_plane_columns(origin + x0 * state.pixel_step, x1 - x0, h, state.pixel_step, state.row_step);
}

void inverse_rows(const CodingState& state, int32_t* origin, int w, int64_t first, int64_t end) {
  for (int64_t y = first; y < end; ++y) inverse_plane_row(origin + y * state.row_step, w, state.pixel_step);
}

void inverse_transform_region(const CodingState& state, int32_t* origin, int w, int h) {
  inverse_columns(state, origin, w, h, 0, (w + kInverseColumnBatch - 1) / kInverseColumnBatch);
  inverse_rows(state, origin, w, 0, h);
}

void forward_transform_shared(ThreadPool* pool, const CodingState& state, int32_t* origin, int w, int h) {
  if (!pool || pool->threads() == 1 || int64_t{w} * h < kSharedTransformArea) {
    forward_transform_region(state, origin, w, h);
    return;
  }
  // Rows, and columns in whole batches of lift_columns, shared out in pieces.
  pool->parallel_ranges(h, [&](int64_t y0, int64_t y1) {
    for (int64_t y = y0; y < y1; ++y)
      lift_line(origin + y * state.row_step, w, state.pixel_step, kPlaneFilter, extend_symmetric, true);
  });
  pool->parallel_ranges((w + 15) / 16, [&](int64_t first, int64_t end) {
    const int x0 = static_cast<int>(std::min<int64_t>(w, 16 * first));
    const int x1 = static_cast<int>(std::min<int64_t>(w, 16 * end));
    if (x1 > x0) lift_columns(state, origin + x0 * state.pixel_step, x1 - x0, h, true);
  });
}

void invert_plane(const CodingState& state, int32_t* origin, int w, int h) {
  if (w == 1 && h == 1) return;  // not w * h == 1: the product overflows an int at 65535 x 65535
  invert_plane(state, origin, (w + 1) / 2, (h + 1) / 2);
  inverse_transform_region(state, origin, w, h);
}

}  // namespace kv
