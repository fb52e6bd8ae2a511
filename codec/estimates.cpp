#include "estimates.h"

#include <algorithm>
#include <cmath>

#include "magnitude.h"
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

// Sample-evaluations above which a batch of searches is worth spreading.
constexpr int kParallelWork = 256;

struct Scratch {
  std::vector<int32_t> values, original;
};

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
  quantise(state, level, g.layout, values);

  // Rate items band by band, written without branching on each coefficient
  // (zeros and nonzeros alternate unpredictably); nonzero coefficients are
  // dequantised on the way (zeros rebuild as 0), ready for the inverse.
  DirectionEstimate entry{index, static_cast<uint32_t>(node.events.size()), 0, 0.0};
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
  const double samples = n;
  const double weight = static_cast<double>(kDistortionWeight) * samples;
  entry.distortion = weight * std::log2(1.0 + (std::ldexp(1.0, level) * std::sqrt(sse)) / samples);
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
  return rate + entry.distortion;
}

// The direction search of choose_direction, on cached evaluations.
DirectionChoice choose_node_direction(CodecState& state, EstimateNode& node) {
  thread_local Scratch scratch;
  const int d = static_cast<int>(node.geometry->table.size());
  auto evaluate = [&](int index) { return DirectionChoice{direction_cost_cached(state, node, index, scratch), index}; };
  if (d <= kSearchSamples) {
    DirectionChoice best = evaluate(0);
    for (int index = 1; index < d; ++index) {
      DirectionChoice c = evaluate(index);
      if (c.cost < best.cost) best = c;
    }
    return best;
  }
  DirectionChoice candidates[3 * kSearchKeep > kSearchSamples ? 3 * kSearchKeep : kSearchSamples];
  const int m = d / kSearchSamples + 1;
  for (int s = 0; s < kSearchSamples; ++s) candidates[s] = evaluate((s * d) / kSearchSamples);
  sort_candidates(candidates, kSearchSamples);
  for (int step = (m + 1) / 3; step >= 1; step = (step + 1) / 3) {
    for (int k = 0; k < kSearchKeep; ++k) {
      int a = candidates[k].index;
      candidates[kSearchKeep + k] = evaluate((a + step) % d);
      candidates[2 * kSearchKeep + k] = evaluate((a - step + d) % d);
    }
    sort_candidates(candidates, 3 * kSearchKeep);
  }
  return candidates[0];
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
  for (auto it = subtree.rbegin(); it != subtree.rend(); ++it) {
    EstimateNode& node = tree.nodes[static_cast<size_t>(*it)];
    const double leaf = node.choice.cost + 1;
    if (node.geometry->samples < kSplitMinArea) {
      node.estimate = leaf;
    } else {
      double split = 1;
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
  for (int k = 0; k < n; ++k) values[k] = node.samples[order[k]];
  lift_block(values.data(), g.layout, true);
  quantise(state, level, g.layout, values.data());
  const BandLayout& layout = g.layout;
  for (int j = layout.levels + 1; j >= 1; --j) {
    int32_t run = 0;
    for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) {
      int32_t e = values[p];
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
  // The block's part of the diagnostic picture.
  std::vector<int32_t> painted(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k) painted[order[k]] = painted_value(node.samples[order[k]], k, n);
  copy_to_block(painted.data(), view_of(state, node.block));
  show_progress(state, n);
}

}  // namespace

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
  const double leaf = node.choice.cost + 1;
  if (node.geometry->samples < kSplitMinArea) {
    code_tree_leaf(state, node, node.choice.index);
    return leaf;
  }
  double split = 1;
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
