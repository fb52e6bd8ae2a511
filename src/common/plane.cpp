#include "common/plane.h"

#include <algorithm>
#include <vector>

#include "dsp/dsp.h"
#include "common/wavelet.h"

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

void inverse_transform_region(const CodingState& state, int32_t* origin, int w, int h) {
  if (h >= 2) dsp().inverse_plane_columns(origin, w, h, state.pixel_step, state.row_step);
  for (int y = 0; y < h; ++y) inverse_plane_row(origin + y * state.row_step, w, state.pixel_step);
}

void invert_plane(const CodingState& state, int32_t* origin, int w, int h) {
  if (w == 1 && h == 1) return;  // not w * h == 1: the product overflows an int at 65535 x 65535
  invert_plane(state, origin, (w + 1) / 2, (h + 1) / 2);
  inverse_transform_region(state, origin, w, h);
}

}  // namespace kv
