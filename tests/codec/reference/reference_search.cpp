#include "reference_search.h"

#include <cmath>

#include "enc/enc_leaf.h"
#include "entropy/magnitude.h"

namespace kv {

double value_bits(const EncoderState& state, int model, int32_t v) {
  int32_t bin = magnitude_bin(state.bins, v);
  if (bin >= kModelSymbols) return kProhibitiveBits;
  const AdaptiveModel& context = state.models[model];
  double frequency = get_frequency(context, static_cast<uint32_t>(bin));
  double total = model_total(context);
  double width = state.bins.bin_start[bin + 1] - state.bins.bin_start[bin];
  return std::log2(total) - std::log2(frequency) + std::log2(width);
}

double direction_cost(const EncoderState& state, int level, const BlockView& block, const BandLayout& layout,
                      const std::vector<ScanDirection>& table, int index) {
  const int n = block.width * block.height;
  std::vector<int32_t> coefficients(static_cast<size_t>(n));
  direction_transform(state.quant, level, layout, coefficients.data(), block, table[index], true);

  double rate = value_bits(state, kDirectionModel, index);
  for (int j = layout.levels + 1; j >= 1; --j) {
    int32_t run = 0;
    for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) {
      int32_t e = coefficients[p];
      if (e == 0) {
        ++run;
        continue;
      }
      rate = ((rate + value_bits(state, j + level, e)) + 1) + value_bits(state, 63 - j - level, run);
      run = 0;
    }
    if (run > 0) rate = rate + value_bits(state, j + level, 0);
  }

  // The decoder's reconstruction, rebuilt in a compact copy of the block.
  std::vector<int32_t> rebuilt(static_cast<size_t>(n));
  BlockView copy{rebuilt.data(), block.width, block.height, 1, block.width};
  direction_transform(state.quant, level, layout, coefficients.data(), copy, table[index], false);
  double sse = 0.0;
  for (int y = 0; y < block.height; ++y) {
    for (int x = 0; x < block.width; ++x) {
      double difference =
          static_cast<double>(rebuilt[y * block.width + x]) - block.origin[x * block.sample_step + y * block.row_step];
      sse += difference * difference;
    }
  }
  const double samples = n;
  const double weight = static_cast<double>(kDistortionWeight) * samples;
  return rate + weight * std::log2(1.0 + (std::ldexp(1.0, level) * std::sqrt(sse)) / samples);
}

DirectionChoice choose_direction(const EncoderState& state, int level, const BlockView& block) {
  const BandLayout layout = band_layout(block.width * block.height);
  std::vector<ScanDirection> table;
  const int d = make_directions(table, block.width, block.height);
  return search_directions(d, [&](int index) { return direction_cost(state, level, block, layout, table, index); });
}

double split_block(EncoderState& state, const Block& block, int level, bool write) {
  if (write) write_bits(state.encoder, 1, 0);
  double cost = 1;
  for (const Block& quadrant : quadrants_of(state, block).part)
    if (has_samples(quadrant)) cost = cost + code_block(state, quadrant, level, write);
  return cost;
}

double code_block(EncoderState& state, const Block& block, int level, bool write) {
  const int area = block.width * block.height;
  if (area > kSplitMaxArea) return split_block(state, block, level, write);
  if (area < kSplitMinArea) {
    DirectionChoice choice = choose_direction(state, level, view_of(state, block));
    if (write) code_leaf(state, block, level, choice.index);
    return choice.cost + 1;
  }
  double split_cost = split_block(state, block, level, false);
  DirectionChoice choice = choose_direction(state, level, view_of(state, block));
  double leaf_cost = choice.cost + 1;
  if (write) {
    if (leaf_cost <= split_cost)
      code_leaf(state, block, level, choice.index);
    else
      split_block(state, block, level, true);
  }
  return leaf_cost <= split_cost ? leaf_cost : split_cost;
}

void code_leaf(EncoderState& state, const Block& block, int level, int direction_index) {
  const BlockGeometry& g = state.geometry->geometry(block.width, block.height);
  std::vector<ScanDirection> table;
  make_directions(table, block.width, block.height);
  std::vector<int32_t> samples(static_cast<size_t>(g.samples)), coefficients(static_cast<size_t>(g.samples));
  const BlockView view = view_of(state, block);
  copy_from_block(view, samples.data());
  direction_transform(state.quant, level, g.layout, coefficients.data(), view, table[direction_index], true);
  write_leaf(state, level, block, g, direction_index, coefficients.data(), samples.data());
}

double search_plainly(EncoderState& state, const Block& block, int level) {
  return code_block(state, block, level, true);
}

}  // namespace kv
