#include "dec/dec_subband.h"

#include <algorithm>

#include "common/block_geometry.h"
#include "entropy/magnitude.h"
#include "entropy/symbol_reader.h"
#include "util/error.h"

namespace kv {

namespace {

constexpr size_t kPendingSamples = size_t{1} << 18;
constexpr size_t kPendingLeaves = size_t{1} << 15;

// A leaf block after its split flag, with its scratch on the stack: one leaf
// is decoded at a time, however deep the quadtree.
[[gnu::noinline]] void decode_leaf(DecoderState& state, const Block& block, int level) {
  SymbolReader reader(state.decoder);
  // The encoder splits every block above the largest leaf; a stream that
  // does not is damaged, and the leaf's scratch and scan orders are sized for it.
  if (block.width * block.height > kSplitMaxArea) fail(ErrorCode::kCorruptStream, "decode_block: leaf block too large");
  const BlockGeometry& g = state.geometry->geometry(block.width, block.height);
  const int32_t direction_index = read_magnitude(reader, state.models[kDirectionModel], state.bins);
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
    const double step = state.quant[level + j];
    BinModel& magnitude_model = state.models[j + level];
    BinModel& run_model = state.models[63 - j - level];
    while (p < end) {
      const uint32_t bin = read_grouped_bin(reader, magnitude_model);
      if (bin == 0) break;  // magnitude 0: the rest of the band is 0
      const int32_t m = read_grouped_value(reader, state.bins, bin);
      const bool negative = reader.read_bit() != 0;
      int32_t run = read_run(reader, run_model, state.bins);
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
  if (state.parse_only) return;
  if (!state.rebuild) {
    place_leaf(state, g, direction_index, values, view_of(state, block));
    return;
  }
  const auto begin = static_cast<uint32_t>(state.pending_values.size());
  state.pending_values.insert(state.pending_values.end(), values, values + n);
  state.pending_leaves.push_back({&g, direction_index, begin, view_of(state, block)});
  // A few MiB at most wait: a subband of single samples would otherwise
  // keep a record for each.
  if (state.pending_values.size() >= kPendingSamples || state.pending_leaves.size() >= kPendingLeaves)
    hand_over_leaves(state);
}

}  // namespace

void decode_block(DecoderState& state, const Block& block, int level) {
  if (!has_samples(block)) return;
  SymbolReader reader(state.decoder);
  if (reader.read_bit() == 0) {
    reader.store();
    // The first quadrant of a single sample is that sample again: a stream
    // that splits it would recurse without end. No encoder splits a block
    // below four samples.
    if (block.width == 1 && block.height == 1) fail(ErrorCode::kCorruptStream, "decode_block: split of a single sample");
    for (const Block& quadrant : quadrants_of(state, block).part) decode_block(state, quadrant, level);
    return;
  }
  reader.store();
  decode_leaf(state, block, level);
}

}  // namespace kv
