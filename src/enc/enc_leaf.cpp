#include "enc/enc_leaf.h"

#include <vector>

namespace kv {

void write_bands(EncoderState& state, int level, const BandLayout& layout, const int32_t* coefficients) {
  for (int j = layout.levels + 1; j >= 1; --j) {
    int32_t run = 0;
    for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) {
      const int32_t e = coefficients[p];
      if (e == 0) {
        ++run;
        continue;
      }
      write_magnitude(state, j + level, e);
      write_bits(state.encoder, 1, e < 0 ? 1 : 0);
      write_magnitude(state, 63 - j - level, run);
      run = 0;
    }
    if (run > 0) write_magnitude(state, j + level, 0);
  }
}

void write_leaf(EncoderState& state, int level, const Block& block, const BlockGeometry& g, int direction_index,
                int32_t* values, const int32_t* samples) {
  const int n = g.samples;
  write_bits(state.encoder, 1, 1);
  write_magnitude(state, kDirectionModel, direction_index);
  write_bands(state, level, g.layout, values);
  if (state.rebuild) {
    // What the decoder does with the leaf, into the rebuilt image.
    const BlockView rebuilt{state.rebuilt.data() + (block.origin - state.image.data()), block.width, block.height,
                            state.pixel_step, state.row_step};
    dequantise(state.quant, level, g.layout, values);
    place_leaf(state, g, direction_index, values, rebuilt);
  }
  if (state.paint) {
    // The block's part of the diagnostic picture.
    const uint16_t* order = state.geometry->scan_order(g, direction_index);
    std::vector<int32_t> painted(static_cast<size_t>(n));
    for (int k = 0; k < n; ++k) painted[order[k]] = painted_value(samples[order[k]], k, n);
    copy_to_block(painted.data(), view_of(state, block));
  }
  show_progress(state, n);
}

}  // namespace kv
