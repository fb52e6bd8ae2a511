#include "enc/enc_rdo.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/wavelet.h"
#include "enc/rate_items.h"
#include "enc/enc_scratch.h"

namespace kv {

uint16_t* quantise_optimised(const EncoderState& state, const EstimateTree& tree, const BlockGeometry& g, int level,
                             int32_t* values, int32_t* quantised, uint16_t* out, bool& all_zero) {
  const BandLayout& layout = g.layout;
  all_zero = true;
  for (int j = layout.levels + 1; j >= 1; --j) {
    const BandQuantiser& band = tree.bands[level + j];
    const StepDivider& divider = band.divider;
    const double step = divider.step;
    const int begin = layout.end[j + 1], end = layout.end[j];
    const uint16_t magnitude_item = static_cast<uint16_t>((j + level) * kRateRow);
    const uint16_t run_item = static_cast<uint16_t>((63 - j - level) * kRateRow);
    if (step == 1.0) {  // every value stays as it is
      std::copy(values + begin, values + end, quantised + begin);
      out = write_exact_items(state, tree, j + level, values, begin, end, out, all_zero);
      continue;
    }
    const uint32_t least = band.least;  // magnitudes below quantise to 0
    const int32_t* rebuilt_row = tree.rebuilt.data() + band.rebuilt_row;
    const uint32_t rebuilt_limit = band.limit;
    const double* magnitude_bits = state.rate_bits[j + level];
    const double* run_bits = state.rate_bits[63 - j - level];
    auto run_cost = [&](int32_t run) { return run_bits[run <= 1024 ? state.bins.small_bin[run] : kModelSymbols]; };
    auto magnitude_cost = [&](uint32_t m) { return magnitude_bits[item_bin(state.bins, m)]; };
    const double weight = state.level_weight[level] * g.band_gain[static_cast<size_t>(j)];
    const double lambda = state.rdo_lambda;
    // The squared error of rebuilding magnitude a from magnitude m (the
    // decoder's truncated (m + 0.35) * step); one it would refuse is never chosen.
    auto error_of = [&](double a, uint32_t m) {
      double rebuilt;
      if (m <= rebuilt_limit) {
        rebuilt = rebuilt_row[m];
      } else {
        const double product = (m + 0.35) * step;
        if (!(product < 2147483648.0)) return kProhibitiveBits * 1e12;
        rebuilt = static_cast<int32_t>(product);
      }
      return (a - rebuilt) * (a - rebuilt);
    };
    // A zero only gains from becoming 1 when |c| passes half the rebuilt 1.
    const double one_product = 1.35 * step;
    const uint32_t zero_limit = one_product < 2147483648.0 ? static_cast<uint32_t>(one_product) / 2 : ~0u;
    int32_t next = begin;  // the next position past p that does not quantise to 0, found on demand
    int32_t run = 0;
    int32_t last = begin - 1;  // the last nonzero chosen
    for (int p = begin; p < end; ++p) {
      const int32_t c = values[p];
      const uint32_t a = magnitude_of(c);
      if (a <= zero_limit) {
        quantised[p] = 0;
        values[p] = 0;
        ++run;
        continue;
      }
      const uint32_t n = a < least ? 0 : divider.magnitude_quotient(a);
      const double magnitude = a;
      const int32_t negative = c >> 31;
      auto signed_value = [&](uint32_t m) { return (static_cast<int32_t>(m) ^ negative) - negative; };
      // Writes the choice m at p: its items when not 0, and its rebuilt value.
      auto choose = [&](uint32_t m) {
        quantised[p] = signed_value(m);
        if (m == 0) {
          values[p] = 0;
          ++run;
          return;
        }
        out[0] = static_cast<uint16_t>(magnitude_item + item_bin(state.bins, m));
        out[1] = kSignItem;
        out[2] = static_cast<uint16_t>(run_item + (run <= 1024 ? state.bins.small_bin[run] : kModelSymbols));
        out += 3;
        last = p;
        values[p] = signed_value(static_cast<uint32_t>(m <= rebuilt_limit ? rebuilt_row[m] : rebuilt_beyond(static_cast<int32_t>(m), step)));
        run = 0;
      };
      // Whether n + 1 rebuilds nearer than n: past the midpoint of the two
      // rebuilt values (exact in integers within the table).
      auto nearer_above = [&] {
        if (n + 1 <= rebuilt_limit) return 2 * uint64_t{a} > uint64_t(rebuilt_row[n] + int64_t{rebuilt_row[n + 1]});
        return n < (1u << 30) && error_of(magnitude, n + 1) < error_of(magnitude, n);
      };
      if (n > 1) {
        // Larger magnitudes take the nearer of the two: their bits hardly differ.
        choose(nearer_above() ? n + 1 : n);
        continue;
      }
      // Positions past p still hold lifted values.
      if (next <= p) next = p + 1;
      while (next < end && magnitude_of(values[next]) < least) ++next;
      // Bits of the runs around p when p holds a nonzero, and when it holds 0.
      const int32_t after = next - p - 1;
      double split_runs = run_cost(run), merged_runs;
      if (next < end) {
        split_runs += run_cost(after);
        merged_runs = run_cost(run + 1 + after);
      } else {
        split_runs += after > 0 ? magnitude_bits[0] : 0.0;
        merged_runs = magnitude_bits[0];
      }
      if (n == 0) {
        const double less_distortion = weight * (magnitude * magnitude - error_of(magnitude, 1));
        choose(less_distortion > lambda * ((magnitude_cost(1) + 1 + split_runs) - merged_runs) ? 1 : 0);
        continue;
      }
      // A 1: kept, raised to 2 or dropped.
      double best = weight * error_of(magnitude, 1) + lambda * magnitude_cost(1);
      uint32_t choice = 1;
      if (nearer_above()) {
        const double raised = weight * error_of(magnitude, 2) + lambda * magnitude_cost(2);
        if (raised < best) {
          best = raised;
          choice = 2;
        }
      }
      const double dropped = weight * magnitude * magnitude + lambda * (merged_runs - split_runs - 1);
      if (dropped < best) choice = 0;
      choose(choice);
    }
    all_zero = all_zero && last < begin;
    if (last < end - 1) *out++ = rate_item(j + level, 0);
  }
  return out;
}


double fine_detail(const int32_t* samples, int width, int height, int channels) {
  if (width < 3 || height < 3) return 0.0;
  const ptrdiff_t row = static_cast<ptrdiff_t>(width) * channels;
  uint64_t sum = 0;  // of |4 x - (its four neighbours)|
  for (int y = 1; y + 1 < height; ++y) {
    const int32_t* above = samples + static_cast<ptrdiff_t>(y - 1) * row;
    const int32_t* line = above + row;
    const int32_t* below = line + row;
    for (ptrdiff_t i = channels; i + channels < row; ++i) {
      const int64_t d =
          4 * int64_t{line[i]} - line[i - channels] - line[i + channels] - above[i] - below[i];
      sum += static_cast<uint64_t>(d < 0 ? -d : d);
    }
  }
  const double count = static_cast<double>(width - 2) * (height - 2) * channels;
  return static_cast<double>(sum) / (4.0 * count);
}

double lambda_floor_q(double detail) {
  const double t = std::clamp((kTexturedDetail - detail) / (kTexturedDetail - kSmoothDetail), 0.0, 1.0);
  return kLambdaFloorQ + t * (kSmoothFloorQ - kLambdaFloorQ);
}

void prepare_rate_distortion(EncoderState& state, float base_q) {
  // lambda = c (baseQ^2 + floor_q^2): c baseQ^2 for coarse steps, but
  // it stops falling at small baseQ, where the finer bands' steps sit at
  // their floor of 1.0 and a smaller lambda would buy quality at no better a
  // price than the default encoder's. lambda_scale moves the operating point
  // (effort 2's search).
  const double q = base_q;
  state.rdo_lambda = state.rdo_lambda_factor * (q * q + state.floor_q * state.floor_q) * state.lambda_scale;
  // The plane transform is separable: the energy of a unit coefficient after
  // the inverse transforms is the product of its row's and its column's.
  constexpr int32_t kUnit = 1 << 12;  // a unit would be rounded away by the integer lifting
  std::vector<int> widths, heights;  // the region at every depth
  for (int rw = state.width, rh = state.height; rw * rh > 1; rw = (rw + 1) / 2, rh = (rh + 1) / 2) {
    widths.push_back(rw);
    heights.push_back(rh);
  }
  std::vector<int32_t> line(static_cast<size_t>(std::max(state.width, state.height)));
  // A unit in the middle of the high (or low) half of a line at `depth`,
  // put through the inverse lifting of that depth and every one above it.
  auto line_energy = [&](const std::vector<int>& lengths, size_t depth, bool high) {
    const int length = lengths[depth];
    std::fill(line.begin(), line.end(), 0);
    line[static_cast<size_t>(high ? (length + 1) / 2 + (length / 2) / 2 : ((length + 1) / 2) / 2)] = kUnit;
    for (size_t d = depth + 1; d-- > 0;) lift_line(line.data(), lengths[d], 1, kPlaneFilter, extend_symmetric, false);
    double energy = 0;
    for (int32_t v : line) energy += static_cast<double>(v) * v;
    return energy / (static_cast<double>(kUnit) * kUnit);
  };
  std::fill(std::begin(state.level_weight), std::end(state.level_weight), 0.0);
  for (size_t depth = 0; depth < widths.size(); ++depth) {
    const int rw = widths[depth], rh = heights[depth];
    const double row_high = rw > 1 ? line_energy(widths, depth, true) : 0.0;
    const double column_high = rh > 1 ? line_energy(heights, depth, true) : 0.0;
    const int level = 2 * static_cast<int>(depth);
    if (rw > 1 && rh > 1) state.level_weight[level] = row_high * column_high;  // bottom-right
    // Top-right, or bottom-left in a region one sample wide.
    state.level_weight[level + 1] = rw > 1 ? row_high * line_energy(heights, depth, false)
                                           : line_energy(widths, depth, false) * column_high;
  }
}

}  // namespace kv
