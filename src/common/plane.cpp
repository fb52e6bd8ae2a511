#include "common/plane.h"

#include <algorithm>
#include <vector>

#include "entropy/magnitude.h"
#include "common/subband.h"
#include "dsp/dsp.h"
#include "common/wavelet.h"

namespace kv {

namespace {

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

void transform_region(const CodecState& state, int32_t* origin, int w, int h, bool forward) {
  const ptrdiff_t row = state.row_step;
  if (forward) {
    for (int y = 0; y < h; ++y) lift_line(origin + y * row, w, state.pixel_step, kPlaneFilter, extend_symmetric, true);
    lift_columns(state, origin, w, h, true);
  } else {
    dsp().inverse_plane_columns(origin, w, h, state.pixel_step, state.row_step);
    for (int y = 0; y < h; ++y) inverse_plane_row(origin + y * row, w, state.pixel_step);
  }
}

}  // namespace

void code_plane(CodecState& state, int32_t* origin, int w, int h, bool encode, int level) {
  if (w * h == 1) {
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
    transform_region(state, origin, w, h, false);
  }
}

void invert_plane(const CodecState& state, int32_t* origin, int w, int h) {
  if (w * h == 1) return;
  invert_plane(state, origin, (w + 1) / 2, (h + 1) / 2);
  transform_region(state, origin, w, h, false);
}

}  // namespace kv
