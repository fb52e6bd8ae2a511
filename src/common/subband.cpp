#include "common/subband.h"

#include <algorithm>
#include <vector>

#include "common/block_geometry.h"
#include "enc/direction_search.h"
#include "enc/estimates.h"
#include "util/error.h"
#include "entropy/magnitude.h"
#include "dsp/search_kernels.h"
#include "entropy/symbol_reader.h"

namespace kv {

namespace {

struct Quadrants {
  Block part[4];  // top-left, top-right, bottom-left, bottom-right; the left and upper halves take the odd sample
};

Quadrants quadrants_of(const CodecState& state, const Block& b) {
  const int wl = (b.width + 1) / 2, wr = b.width / 2;
  const int ht = (b.height + 1) / 2, hb = b.height / 2;
  const ptrdiff_t right = static_cast<ptrdiff_t>(wl) * state.pixel_step;
  const ptrdiff_t down = static_cast<ptrdiff_t>(ht) * state.row_step;
  return {{{b.origin, wl, ht}, {b.origin + right, wr, ht}, {b.origin + down, wl, hb}, {b.origin + right + down, wr, hb}}};
}

bool has_samples(const Block& b) { return b.width > 0 && b.height > 0; }

}  // namespace

BlockView view_of(const CodecState& state, const Block& block) {
  return {block.origin, block.width, block.height, state.pixel_step, state.row_step};
}

BlockView rebuilt_view_of(CodecState& state, const Block& block) {
  return {state.rebuilt.data() + (block.origin - state.image.data()), block.width, block.height, state.pixel_step,
          state.row_step};
}

void place_leaf(const CodecState& state, const BlockGeometry& g, int direction_index, const int32_t* values,
                const BlockView& target) {
  int32_t samples[kSplitMaxArea];
  inverse_lift_scattered(values, g.layout, state.geometry->scan_order(g, direction_index), samples);
  copy_to_block(samples, target);
}

void rebuild_leaf(const CodecState& state, const BlockGeometry& g, int direction_index, int32_t* coefficients,
                  const BlockView& target) {
  dequantise(state, state.level, g.layout, coefficients);
  place_leaf(state, g, direction_index, coefficients, target);
}

double split_block(CodecState& state, const Block& block, bool write) {
  if (write) write_bits(state.encoder, 1, 0);
  double cost = 1;
  for (const Block& quadrant : quadrants_of(state, block).part)
    if (has_samples(quadrant)) cost = cost + code_block(state, quadrant, write);
  return cost;
}

double code_block(CodecState& state, const Block& block, bool write) {
  const int area = block.width * block.height;
  if (area > kSplitMaxArea) return split_block(state, block, write);
  if (write && !state.reference_estimates) {
    // The same decisions, from cached and memoised estimates.
    if (!state.estimate_tree) state.estimate_tree = std::make_shared<EstimateTree>();
    build_estimate_tree(state, block, *state.estimate_tree);
    return code_tree_block(state, *state.estimate_tree, 0);
  }
  if (area < kSplitMinArea) {
    DirectionChoice choice = choose_direction(state, state.level, view_of(state, block));
    if (write) code_leaf(state, block, choice.index);
    return choice.cost + 1;
  }
  double split_cost = split_block(state, block, false);
  DirectionChoice choice = choose_direction(state, state.level, view_of(state, block));
  double leaf_cost = choice.cost + 1;
  if (write) {
    if (leaf_cost <= split_cost)
      code_leaf(state, block, choice.index);
    else
      split_block(state, block, true);
  }
  return leaf_cost <= split_cost ? leaf_cost : split_cost;
}

void write_bands(CodecState& state, const BandLayout& layout, const int32_t* coefficients) {
  for (int j = layout.levels + 1; j >= 1; --j) {
    int32_t run = 0;
    for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) {
      const int32_t e = coefficients[p];
      if (e == 0) {
        ++run;
        continue;
      }
      write_magnitude(state, j + state.level, e);
      write_bits(state.encoder, 1, e < 0 ? 1 : 0);
      write_magnitude(state, 63 - j - state.level, run);
      run = 0;
    }
    if (run > 0) write_magnitude(state, j + state.level, 0);
  }
}

void code_leaf(CodecState& state, const Block& block, int direction_index) {
  write_bits(state.encoder, 1, 1);
  const int n = block.width * block.height;
  const BandLayout layout = band_layout(n);
  std::vector<ScanDirection> table;
  make_directions(table, block.width, block.height);
  write_magnitude(state, kDirectionModel, direction_index);
  std::vector<int32_t> coefficients(static_cast<size_t>(n));
  const BlockView view = view_of(state, block);
  direction_transform(state, state.level, layout, coefficients.data(), view, table[direction_index], true);
  write_bands(state, layout, coefficients.data());
  if (state.rebuild)
    rebuild_leaf(state, state.geometry->geometry(block.width, block.height), direction_index, coefficients.data(),
                 rebuilt_view_of(state, block));
  paint_direction(view, direction_index);
  show_progress(state, n);
}

namespace {

// A leaf block after its split flag, with its scratch on the stack: one leaf
// is decoded at a time, however deep the quadtree.
[[gnu::noinline]] void decode_leaf(CodecState& state, const Block& block) {
  SymbolReader reader(state.decoder);
  // The encoder splits every block above the largest leaf; a stream that
  // does not is damaged, and the leaf's scratch and scan orders are sized for it.
  if (block.width * block.height > kSplitMaxArea) fail(ErrorCode::kCorruptStream, "decode_block: leaf block too large");
  const BlockGeometry& g = state.geometry->geometry(block.width, block.height);
  const int32_t direction_index = read_magnitude(reader, state, kDirectionModel);
  if (direction_index >= static_cast<int32_t>(g.table.size())) fail(ErrorCode::kCorruptStream, "decode_block: invalid direction index");
  const int n = g.samples;
  const BandLayout& layout = g.layout;
  int32_t values[kSplitMaxArea];
  std::fill_n(values, n, 0);
  // Coefficients are dequantised as they arrive; one the step would carry
  // beyond 32 bits is refused once the whole block has been read, where the
  // separate pass would have refused it.
  bool refused = false;
  for (int j = layout.levels + 1; j >= 1; --j) {
    int32_t p = layout.end[j + 1];
    const int32_t end = layout.end[j];
    const double step = state.quant[state.level + j];
    const int magnitude_model = j + state.level, run_model = 63 - j - state.level;
    while (p < end) {
      const uint32_t bin = read_grouped_bin(reader, state, magnitude_model);
      if (bin == 0) break;  // magnitude 0: the rest of the band is 0
      const int32_t m = read_grouped_value(reader, state, bin);
      const bool negative = reader.read_bit() != 0;
      int32_t run = read_run(reader, state, run_model);
      if (run >= end - p) fail(ErrorCode::kCorruptStream, "decode_block: zero run past the end of a band");
      p += run;
      // dequantise_into without a branch on the sign, a coin toss: negation
      // is exact and rounding symmetric, so (-m - 0.35) step is -((m + 0.35)
      // step), and truncation commutes with the sign too. A step of 1 takes
      // the same way, as (m + 0.35) 1 truncates back to m: the floating-point
      // units do it beside the coder's integer work, cheaper than a test.
      int32_t v = m;
      const double rebuilt = (m + 0.35) * step;
      if (rebuilt < 2147483648.0)
        v = static_cast<int32_t>(rebuilt);
      else
        refused = true;
      const int32_t sign = negative ? -1 : 0;
      values[p++] = (v ^ sign) - sign;
    }
  }
  reader.store();
  if (refused) refuse_coefficient();
  if (!state.parse_only) place_leaf(state, g, direction_index, values, view_of(state, block));
}

}  // namespace

void decode_block(CodecState& state, const Block& block) {
  if (!has_samples(block)) return;
  SymbolReader reader(state.decoder);
  if (reader.read_bit() == 0) {
    reader.store();
    // The first quadrant of a single sample is that sample again: a stream
    // that splits it would recurse without end. No encoder splits a block
    // below four samples.
    if (block.width == 1 && block.height == 1) fail(ErrorCode::kCorruptStream, "decode_block: split of a single sample");
    for (const Block& quadrant : quadrants_of(state, block).part) decode_block(state, quadrant);
    return;
  }
  reader.store();
  decode_leaf(state, block);
}

}  // namespace kv
