#include "estimates.h"

#include <algorithm>
#include <cmath>

#include "magnitude.h"
#include "wavelet.h"
#include "thread_pool.h"

namespace kv {

namespace {

// log2 of every count a model can hold, with the library's log2: the
// estimates sum exactly the doubles the plain computation would.
const double* log2_table() {
  static const std::vector<double> table = [] {
    std::vector<double> t(kModelLimit + 1);
    for (size_t i = 0; i < t.size(); ++i) t[i] = std::log2(static_cast<double>(i));
    return t;
  }();
  return table.data();
}

// A rate item: model and bin, and whether a sign bit and a run item follow.
constexpr uint16_t kPairFlag = 0x8000;
inline uint16_t rate_item(int model, int32_t bin) {
  return static_cast<uint16_t>(model << 6 | std::min(bin, kModelSymbols));
}
inline double item_bits(const CodecState& state, uint16_t item) {
  return state.rate_bits[(item >> 6) & 63][item & 63];
}

// The sum of squares of a block's samples, as the error of an all-zero
// reconstruction would be summed (row-major, in double).
double block_energy(const std::vector<int32_t>& samples) {
  double sum = 0.0;
  for (int32_t x : samples) {
    double d = 0.0 - x;
    sum += d * d;
  }
  return sum;
}

// The split flag: one bit, weighed as bits or, in the rate-distortion mode, as lambda.
double split_flag_cost(const CodecState& state) { return state.rdo ? state.rdo_lambda : 1; }

// Sample-evaluations above which a batch of searches is worth spreading.
constexpr int kParallelWork = 256;

struct Scratch {
  std::vector<int32_t> values, original, unquantised;
};

// Rate-distortion-optimised quantisation, one coefficient at a time in scan
// order, each choice made with the runs as the earlier choices left them:
// a magnitude n (the truncated quotient) may become n + 1, whose rebuilt
// value can lie nearer, a 1 may become 0 and a 0 may become 1, whichever
// lowers J. The rate side counts magnitude, sign and runs, the run a dropped
// value merges into and the band terminator; the distortion side the error
// times the band's synthesis gain and the level's weight.
void optimise_quantised(const CodecState& state, const BlockGeometry& g, int level, int32_t* values,
                        const int32_t* unquantised) {
  const BandLayout& layout = g.layout;
  for (int j = layout.levels + 1; j >= 1; --j) {
    const double step = state.quant[level + j];
    if (step == 1.0) continue;
    const int begin = layout.end[j + 1], end = layout.end[j];
    const double* magnitude_bits = state.rate_bits[j + level];
    const double* run_bits = state.rate_bits[63 - j - level];
    auto run_cost = [&](int32_t run) { return run_bits[run <= 1024 ? state.small_bin[run] : kModelSymbols]; };
    auto magnitude_cost = [&](int32_t m) {
      return magnitude_bits[m <= 1024 ? state.small_bin[m] : std::min(magnitude_bin(state, m), kModelSymbols)];
    };
    const double weight = state.level_weight[level] * g.band_gain[static_cast<size_t>(j)];
    const double lambda = state.rdo_lambda;
    auto squared = [](double x) { return x * x; };
    // The squared error of rebuilding c from v; a value the decoder would
    // refuse to rebuild is never chosen.
    auto error_of = [&](double c, int32_t v) {
      const double product = v > 0 ? (v + 0.35) * step : (v - 0.35) * step;
      if (!(product > -2147483648.0 && product < 2147483648.0)) return kProhibitiveBits * 1e12;
      return squared(c - static_cast<int32_t>(product));  // truncated, as the decoder rebuilds it
    };
    // A zero only gains from becoming 1 when |c| passes half the rebuilt 1.
    const double one_product = 1.35 * step;
    const int64_t zero_limit = one_product < 2147483648.0 ? static_cast<int32_t>(one_product) / 2 : int64_t{1} << 32;
    int32_t next = begin;  // the next nonzero after p among the truncated quotients, found on demand
    int32_t run = 0;
    for (int p = begin; p < end; ++p) {
      const int32_t v = values[p];
      const int64_t a = std::abs(int64_t{unquantised[p]});
      if (v == 0 && a <= zero_limit) {
        ++run;
        continue;
      }
      const int32_t n = v < 0 ? -v : v;
      // n + 1 only where its rebuilt value lies nearer: past the midpoint of
      // the two (the first test, loose by the truncations, spares the second).
      const bool may_raise = n > 0 && n < (int32_t{1} << 30) && static_cast<double>(a) > (n + 0.85) * step - 1.5 &&
                             error_of(a, n + 1) < error_of(a, n);
      if (n > 1) {
        if (may_raise && weight * error_of(a, n + 1) + lambda * magnitude_cost(n + 1) <
                             weight * error_of(a, n) + lambda * magnitude_cost(n))
          values[p] = v < 0 ? -(n + 1) : n + 1;
        run = 0;
        continue;
      }
      // Positions past p still hold the truncated quotients.
      if (next <= p) next = p + 1;
      while (next < end && values[next] == 0) ++next;
      const double c = unquantised[p];
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
      if (v == 0) {
        const int32_t one = c < 0 ? -1 : 1;
        const double less_distortion = weight * (c * c - error_of(c, one));
        if (less_distortion > lambda * ((magnitude_cost(1) + 1 + split_runs) - merged_runs)) {
          values[p] = one;
          run = 0;
        } else {
          ++run;
        }
        continue;
      }
      // A 1: kept, raised to 2 or dropped.
      double best = weight * error_of(c, v) + lambda * magnitude_cost(1);
      int32_t choice = v;
      if (may_raise) {
        const double raised = weight * error_of(a, 2) + lambda * magnitude_cost(2);
        if (raised < best) {
          best = raised;
          choice = v < 0 ? -2 : 2;
        }
      }
      const double dropped = weight * c * c + lambda * (merged_runs - split_runs - 1);
      if (dropped < best) choice = 0;
      values[p] = choice;
      run = choice == 0 ? run + 1 : 0;
    }
  }
}

void compute_direction(CodecState& state, EstimateNode& node, int index, Scratch& scratch) {
  const BlockGeometry& g = *node.geometry;
  const int n = g.samples;
  const int level = state.level;
  const uint16_t* order = state.geometry->scan_order(g, index);
  scratch.values.resize(static_cast<size_t>(n));
  scratch.original.resize(static_cast<size_t>(n));
  int32_t* values = scratch.values.data();
  for (int k = 0; k < n; ++k) values[k] = node.samples[order[k]];
  const bool lossless = state.quant[level + 1] == 1.0f;  // every band of the block has step 1.0
  if (!lossless) std::copy(values, values + n, scratch.original.data());
  lift_block(values, g.layout, true);
  if (state.rdo) scratch.unquantised.assign(values, values + n);
  quantise(state, level, g.layout, values);
  uint32_t coefficients_begin = 0;
  if (state.rdo) {
    optimise_quantised(state, g, level, values, scratch.unquantised.data());
    coefficients_begin = static_cast<uint32_t>(node.coefficients.size());
    node.coefficients.insert(node.coefficients.end(), values, values + n);
  }

  // Rate items band by band, written without branching on each coefficient
  // (zeros and nonzeros alternate unpredictably); nonzero coefficients are
  // dequantised on the way (zeros rebuild as 0), ready for the inverse.
  DirectionEstimate entry{index, static_cast<uint32_t>(node.events.size()), 0, 0.0, coefficients_begin};
  const BandLayout& layout = g.layout;
  node.events.resize(entry.events_begin + 2 * static_cast<size_t>(n) + layout.levels + 1);
  uint16_t* out = node.events.data() + entry.events_begin;
  bool all_zero = true;
  for (int j = layout.levels + 1; j >= 1; --j) {
    const double step = state.quant[level + j];
    const uint16_t magnitude_model = static_cast<uint16_t>((j + level) << 6);
    const uint16_t run_model = static_cast<uint16_t>((63 - j - level) << 6);
    int32_t run = 0;
    for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) {
      const int32_t e = values[p];
      const uint32_t a = e < 0 ? 0u - static_cast<uint32_t>(e) : static_cast<uint32_t>(e);
      const int32_t bin = a <= 1024 ? state.small_bin[a] : std::min(magnitude_bin(state, e), kModelSymbols);
      const int nonzero = e != 0;
      out[0] = static_cast<uint16_t>(kPairFlag | magnitude_model | bin);
      out[1] = static_cast<uint16_t>(run_model | state.small_bin[run]);
      out += 2 * nonzero;
      run = (run + 1) * (1 - nonzero);
      if (!lossless && nonzero) values[p] = dequantised(e, step);
    }
    all_zero = all_zero && run == layout.end[j] - layout.end[j + 1];
    if (run > 0) *out++ = rate_item(j + level, 0);
  }
  node.events.resize(static_cast<size_t>(out - node.events.data()));
  entry.events_count = static_cast<uint32_t>(node.events.size()) - entry.events_begin;

  // With every step 1.0 the reconstruction is exact and the error 0; with
  // every coefficient 0 the reconstruction is 0.
  double sse = 0.0;
  if (!lossless && all_zero) {
    sse = node.energy;
  } else if (!lossless) {
    lift_block(values, layout, false);
    int64_t sum = 0;
    bool small = true;
    for (int k = 0; k < n; ++k) {
      int64_t d = int64_t{values[k]} - scratch.original[k];
      small = small && d < (int64_t{1} << 24) && d > -(int64_t{1} << 24);
      sum += d * d;
    }
    if (small) {
      sse = static_cast<double>(sum);  // exact: every partial sum is an integer below 2^53
    } else {
      // Huge errors: sum in double in the block's row-major order, as the plain search does.
      std::vector<double> squares(static_cast<size_t>(n));
      for (int k = 0; k < n; ++k) {
        double d = static_cast<double>(values[k]) - scratch.original[k];
        squares[order[k]] = d * d;
      }
      for (double square : squares) sse += square;
    }
  }
  if (state.rdo) {
    entry.distortion = state.level_weight[level] * sse;
  } else {
    const double samples = n;
    const double weight = static_cast<double>(kDistortionWeight) * samples;
    entry.distortion = weight * std::log2(1.0 + (std::ldexp(1.0, level) * std::sqrt(sse)) / samples);
  }
  node.slot[static_cast<size_t>(index)] = static_cast<int32_t>(node.directions.size());
  node.directions.push_back(entry);
}

double direction_cost_cached(CodecState& state, EstimateNode& node, int index, Scratch& scratch) {
  if (node.slot[static_cast<size_t>(index)] < 0) compute_direction(state, node, index, scratch);
  const DirectionEstimate& entry = node.directions[static_cast<size_t>(node.slot[static_cast<size_t>(index)])];
  const uint16_t* item = node.events.data() + entry.events_begin;
  const uint16_t* end = item + entry.events_count;
  double rate = state.rate_bits[kDirectionModel][std::min(magnitude_bin(state, index), kModelSymbols)];
  while (item != end) {
    if (*item & kPairFlag) {
      rate = ((rate + item_bits(state, *item)) + 1) + item_bits(state, item[1]);
      item += 2;
    } else {
      rate = rate + item_bits(state, *item);
      ++item;
    }
  }
  if (state.rdo) return state.rdo_lambda * rate + entry.distortion;
  return rate + entry.distortion;
}

// The direction search of choose_direction, on cached evaluations.
DirectionChoice choose_node_direction(CodecState& state, EstimateNode& node) {
  thread_local Scratch scratch;
  return search_directions(static_cast<int>(node.geometry->table.size()),
                           [&](int index) { return direction_cost_cached(state, node, index, scratch); });
}

// Nodes of the subtree at `index`, parents before children.
void collect_subtree(const EstimateTree& tree, int index, std::vector<int>& out) {
  out.clear();
  out.push_back(index);
  for (size_t k = 0; k < out.size(); ++k) {
    const EstimateNode& node = tree.nodes[static_cast<size_t>(out[k])];
    for (int c = 0; c < node.child_count; ++c) out.push_back(node.first_child + c);
  }
}

// Brings the estimates of the subtree at `index` up to the current models.
void ensure_estimates(CodecState& state, EstimateTree& tree, int index) {
  if (tree.nodes[static_cast<size_t>(index)].version == state.model_version) return;
  std::vector<int> subtree;
  collect_subtree(tree, index, subtree);
  refresh_rate_table(state);

  // The largest searches first, so that the threads finish together.
  std::vector<int> order = subtree;
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return tree.nodes[static_cast<size_t>(a)].geometry->samples > tree.nodes[static_cast<size_t>(b)].geometry->samples;
  });
  auto search = [&](size_t k) {
    EstimateNode& node = tree.nodes[static_cast<size_t>(order[k])];
    node.choice = choose_node_direction(state, node);
  };
  int work = 0;
  for (int i : subtree) work += tree.nodes[static_cast<size_t>(i)].geometry->samples;
  if (state.pool && state.pool->threads() > 1 && work >= kParallelWork) {
    state.pool->parallel_for(order.size(), search);
  } else {
    for (size_t k = 0; k < order.size(); ++k) search(k);
  }

  // Children before parents: what code_block(block, false) would return.
  const double flag = split_flag_cost(state);
  for (auto it = subtree.rbegin(); it != subtree.rend(); ++it) {
    EstimateNode& node = tree.nodes[static_cast<size_t>(*it)];
    const double leaf = node.choice.cost + flag;
    if (node.geometry->samples < kSplitMinArea) {
      node.estimate = leaf;
    } else {
      double split = flag;
      for (int c = 0; c < node.child_count; ++c)
        split = split + tree.nodes[static_cast<size_t>(node.first_child + c)].estimate;
      node.estimate = leaf <= split ? leaf : split;
    }
    node.version = state.model_version;
  }
}

void code_tree_leaf(CodecState& state, EstimateNode& node, int direction_index) {
  const BlockGeometry& g = *node.geometry;
  const int n = g.samples;
  const int level = state.level;
  write_bits(state.encoder, 1, 1);
  write_magnitude(state, kDirectionModel, direction_index);
  const uint16_t* order = state.geometry->scan_order(g, direction_index);
  std::vector<int32_t> values(static_cast<size_t>(n));
  if (state.rdo) {
    // The coefficients the estimate chose to code, ones dropped included.
    const DirectionEstimate& entry =
        node.directions[static_cast<size_t>(node.slot[static_cast<size_t>(direction_index)])];
    std::copy_n(node.coefficients.begin() + entry.coefficients_begin, n, values.begin());
  } else {
    for (int k = 0; k < n; ++k) values[k] = node.samples[order[k]];
    lift_block(values.data(), g.layout, true);
    quantise(state, level, g.layout, values.data());
  }
  write_bands(state, g.layout, values.data());
  if (state.rebuild) rebuild_leaf(state, g, direction_index, values.data(), rebuilt_view_of(state, node.block));
  // The block's part of the diagnostic picture.
  std::vector<int32_t> painted(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k) painted[order[k]] = painted_value(node.samples[order[k]], k, n);
  copy_to_block(painted.data(), view_of(state, node.block));
  show_progress(state, n);
}

}  // namespace

void prepare_rate_distortion(CodecState& state, float base_q) {
  state.rdo_lambda = state.rdo_lambda_factor * static_cast<double>(base_q) * static_cast<double>(base_q);
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

void refresh_rate_table(CodecState& state) {
  const double* log2_of = log2_table();
  for (uint64_t dirty = state.dirty_models; dirty; dirty &= dirty - 1) {
    const int model = std::countr_zero(dirty);
    const AdaptiveModel& context = state.models[model];
    const double total = log2_of[model_total(context)];
    for (int bin = 0; bin < kModelSymbols; ++bin) {
      const int32_t width = state.bin_start[bin + 1] - state.bin_start[bin];
      state.rate_bits[model][bin] =
          total - log2_of[get_frequency(context, static_cast<uint32_t>(bin))] + log2_of[width];
    }
    state.rate_bits[model][kModelSymbols] = kProhibitiveBits;
  }
  state.dirty_models = 0;
}

void build_estimate_tree(CodecState& state, const Block& root, EstimateTree& tree) {
  // Nodes and their arrays are reused from one tree to the next.
  size_t count = 0;
  auto add_node = [&](const Block& block) {
    if (count == tree.nodes.size()) tree.nodes.emplace_back();
    EstimateNode& node = tree.nodes[count++];
    node.block = block;
    node.first_child = 0;
    node.child_count = 0;
    node.version = ~uint64_t{0};
    node.directions.clear();
    node.events.clear();
    node.coefficients.clear();
  };
  add_node(root);
  for (size_t k = 0; k < count; ++k) {
    const Block block = tree.nodes[k].block;
    {
      EstimateNode& node = tree.nodes[k];
      node.geometry = &state.geometry->geometry(block.width, block.height);
      node.samples.resize(static_cast<size_t>(node.geometry->samples));
      copy_from_block(view_of(state, block), node.samples.data());
      node.energy = block_energy(node.samples);
      node.slot.assign(node.geometry->table.size(), -1);
    }
    if (block.width * block.height < kSplitMinArea) continue;
    const int wl = (block.width + 1) / 2, wr = block.width / 2;
    const int ht = (block.height + 1) / 2, hb = block.height / 2;
    const ptrdiff_t right = static_cast<ptrdiff_t>(wl) * state.pixel_step;
    const ptrdiff_t down = static_cast<ptrdiff_t>(ht) * state.row_step;
    const Block quadrants[4] = {{block.origin, wl, ht},
                                {block.origin + right, wr, ht},
                                {block.origin + down, wl, hb},
                                {block.origin + right + down, wr, hb}};
    const int first = static_cast<int>(count);
    int children = 0;
    for (const Block& q : quadrants) {
      if (q.width > 0 && q.height > 0) {
        add_node(q);
        ++children;
      }
    }
    tree.nodes[k].first_child = first;
    tree.nodes[k].child_count = children;
  }
  tree.used = count;
}

double code_tree_block(CodecState& state, EstimateTree& tree, int index) {
  ensure_estimates(state, tree, index);
  EstimateNode& node = tree.nodes[static_cast<size_t>(index)];
  const double flag = split_flag_cost(state);
  const double leaf = node.choice.cost + flag;
  if (node.geometry->samples < kSplitMinArea) {
    code_tree_leaf(state, node, node.choice.index);
    return leaf;
  }
  double split = flag;
  for (int c = 0; c < node.child_count; ++c) split = split + tree.nodes[static_cast<size_t>(node.first_child + c)].estimate;
  if (leaf <= split) {
    code_tree_leaf(state, node, node.choice.index);
  } else {
    write_bits(state.encoder, 1, 0);
    const int first = node.first_child, count = node.child_count;
    for (int c = 0; c < count; ++c) code_tree_block(state, tree, first + c);
  }
  return leaf <= split ? leaf : split;
}

}  // namespace kv
