#include "enc/direction_search.h"

#include <cmath>

#include "entropy/magnitude.h"

namespace kv {

double value_bits(const CodecState& state, int model, int32_t v) {
  int32_t bin = magnitude_bin(state, v);
  if (bin >= kModelSymbols) return kProhibitiveBits;
  const AdaptiveModel& context = state.models[model];
  double frequency = get_frequency(context, static_cast<uint32_t>(bin));
  double total = model_total(context);
  double width = state.bin_start[bin + 1] - state.bin_start[bin];
  return std::log2(total) - std::log2(frequency) + std::log2(width);
}

double direction_cost(const CodecState& state, int level, const BlockView& block, const BandLayout& layout,
                      const std::vector<ScanDirection>& table, int index) {
  const int n = block.width * block.height;
  std::vector<int32_t> coefficients(static_cast<size_t>(n));
  direction_transform(state, level, layout, coefficients.data(), block, table[index], true);

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
  direction_transform(state, level, layout, coefficients.data(), copy, table[index], false);
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

DirectionChoice choose_direction(const CodecState& state, int level, const BlockView& block) {
  const BandLayout layout = band_layout(block.width * block.height);
  std::vector<ScanDirection> table;
  const int d = make_directions(table, block.width, block.height);
  return search_directions(d, [&](int index) { return direction_cost(state, level, block, layout, table, index); });
}

}  // namespace kv
