#include "common/quadtree.h"

#include "dsp/search_kernels.h"

namespace kv {

Quadrants quadrants_of(const CodingState& state, const Block& b) {
  const int wl = (b.width + 1) / 2, wr = b.width / 2;
  const int ht = (b.height + 1) / 2, hb = b.height / 2;
  const ptrdiff_t right = static_cast<ptrdiff_t>(wl) * state.pixel_step;
  const ptrdiff_t down = static_cast<ptrdiff_t>(ht) * state.row_step;
  return {{{b.origin, wl, ht}, {b.origin + right, wr, ht}, {b.origin + down, wl, hb}, {b.origin + right + down, wr, hb}}};
}

BlockView view_of(const CodingState& state, const Block& block) {
  return {block.origin, block.width, block.height, state.pixel_step, state.row_step};
}

void place_leaf(const CodingState& state, const BlockGeometry& g, int direction_index, const int32_t* values,
                const BlockView& target) {
  int32_t samples[kSplitMaxArea];
  inverse_lift_scattered(values, g.layout, state.geometry->scan_order(g, direction_index), samples);
  copy_to_block(samples, target);
}

}  // namespace kv
