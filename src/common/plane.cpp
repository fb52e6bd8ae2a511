#include "common/plane.h"

#include <algorithm>
#include <vector>

#include "entropy/magnitude.h"
#include "common/subband.h"
#include "dsp/vector_clones.h"
#include "common/wavelet.h"

namespace kv {

namespace {

inline uint32_t u32(int32_t v) { return static_cast<uint32_t>(v); }

// Columns are lifted a batch at a time through a contiguous copy, so that
// every row of the batch is read and written once instead of once per column.
void lift_columns(const CodecState& state, int32_t* origin, int w, int h, bool forward) {
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
[[gnu::always_inline]] inline void inverse_lift_columns_at(const CodecState& state, int32_t* origin, int w, int h) {
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
KV_AVX2_CLONES void inverse_lift_columns(const CodecState& state, int32_t* origin, int w, int h) {
  if (h < 2) return;
  if (state.pixel_step == 1)
    inverse_lift_columns_at<1>(state, origin, w, h);
  else
    inverse_lift_columns_at<0>(state, origin, w, h);
}

void transform_region(const CodecState& state, int32_t* origin, int w, int h, bool forward) {
  const ptrdiff_t row = state.row_step;
  if (forward) {
    for (int y = 0; y < h; ++y) lift_line(origin + y * row, w, state.pixel_step, kPlaneFilter, extend_symmetric, true);
    lift_columns(state, origin, w, h, true);
  } else {
    inverse_lift_columns(state, origin, w, h);
    for (int y = 0; y < h; ++y) inverse_plane_row(origin + y * row, w, state.pixel_step);
  }
}

}  // namespace

void code_plane(CodecState& state, int32_t* origin, int w, int h, bool encode, int level) {
  if (w == 1 && h == 1) {  // not w * h == 1: the product overflows an int at 65535 x 65535
    if (encode) {
      if (state.rebuild) state.rebuilt[static_cast<size_t>(origin - state.image.data())] = *origin;
      write_magnitude(state, kDcModel, *origin);
      write_bits(state.encoder, 1, *origin < 0 ? 1 : 0);
    } else {
      int32_t magnitude = read_magnitude(state, kDcModel);
      *origin = read_bits(state.decoder, 1) ? -magnitude : magnitude;
    }
    return;
  }
  const int wl = (w + 1) / 2, wh = w / 2, hl = (h + 1) / 2, hh = h / 2;
  const ptrdiff_t right = static_cast<ptrdiff_t>(wl) * state.pixel_step;
  const ptrdiff_t down = static_cast<ptrdiff_t>(hl) * state.row_step;
  const Block top_right{origin + right, wh, hl};
  const Block bottom_left{origin + down, wl, hh};
  const Block bottom_right{origin + right + down, wh, hh};

  if (encode) {
    transform_region(state, origin, w, h, true);
    code_plane(state, origin, wl, hl, true, level + 2);
    state.level = level + 1;
    if (w > 1) code_block(state, top_right, true);
    if (h > 1) code_block(state, bottom_left, true);
    state.level = level;
    if (w > 1 && h > 1) code_block(state, bottom_right, true);
  } else {
    code_plane(state, origin, wl, hl, false, level + 2);
    state.level = level + 1;
    if (w > 1) decode_block(state, top_right);
    if (h > 1) decode_block(state, bottom_left);
    state.level = level;
    if (w > 1 && h > 1) decode_block(state, bottom_right);
    if (!state.parse_only) transform_region(state, origin, w, h, false);
  }
}

void invert_plane(const CodecState& state, int32_t* origin, int w, int h) {
  if (w == 1 && h == 1) return;
  invert_plane(state, origin, (w + 1) / 2, (h + 1) / 2);
  transform_region(state, origin, w, h, false);
}

}  // namespace kv
