#include "enc/estimates.h"

#include <algorithm>
#include <vector>

#include "common/quadtree.h"
#include "enc/enc_direction.h"
#include "enc/enc_leaf.h"
#include "enc/enc_rdo.h"

namespace kv {

namespace {

double block_energy(const std::vector<int32_t>& samples) {
  double sum = 0.0;
  for (int32_t x : samples) {
    double d = 0.0 - x;
    sum += d * d;
  }
  return sum;
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

// Brings the estimates of the subtree at `index` up to the current models,
// in both modes: the rate-distortion mode's decisions are free of the
// defined order, but those made with the rates as they stand cost fewer
// bits for the same distortion, worth their time (docs/rdo.md).
void ensure_estimates(EncoderState& state, EstimateTree& tree, int index) {
  const uint64_t version = tree.nodes[static_cast<size_t>(index)].version;
  if (version == state.model_version) return;
  std::vector<int>& subtree = tree.subtree;
  collect_subtree(tree, index, subtree);
  refresh_rate_table(state);

  // With threads, a node's evaluations were mostly made on another core, so
  // its entry slots, records and items are not in this one's caches: they
  // are fetched a few nodes ahead of their sums.
  constexpr size_t kFetchAhead = 4;
  for (size_t k = 0; k < subtree.size(); ++k) {
    if (k + kFetchAhead < subtree.size()) {
      const EstimateNode& next = tree.nodes[static_cast<size_t>(subtree[k + kFetchAhead])];
      __builtin_prefetch(next.slot.data());
      __builtin_prefetch(next.directions.data());
      __builtin_prefetch(next.events);
    }
    EstimateNode& node = tree.nodes[static_cast<size_t>(subtree[k])];
    node.choice = choose_node_direction(state, tree, node);
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

// The fill (EncoderState::fill) on the quantised `values` of a leaf at
// `level` whose unquantised coefficients are `exact`. Only another table's
// value that the coded step rebuilds exactly as that table's step does
// counts (steps a hair apart, or one of them 1.0 and the other a hair above
// it), so the filled values rebuild as the other table's would. The leaf's
// rebuild follows the values, so it stays what the decoder gives.
void fill_leaf(EncoderState& state, int level, const BandLayout& layout, const int32_t* exact, int32_t* values) {
  for (int j = 1; j <= layout.levels + 1; ++j) {
    const double step = state.quant[level + j];
    const double other_step = state.fill_quant[level + j];
    if (other_step == step) continue;
    const StepDivider divider(other_step);
    for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) {
      const int32_t other = other_step == 1.0 ? exact[p] : divider.quotient(exact[p]);
      int32_t rebuilt, wanted = other;
      if (other == values[p] || !dequantise_into(other, step, rebuilt)) continue;
      if (other_step != 1.0 && !dequantise_into(other, other_step, wanted)) continue;
      if (rebuilt != wanted) continue;
      state.fill_credit += state.fill;
      if (state.fill_credit >= 1.0) {
        state.fill_credit -= 1.0;
        values[p] = other;
      }
    }
  }
}

// The values the chosen direction codes: in the rate-distortion mode those
// its estimate chose (zeros, or the optimised ones), else the block's
// samples lifted and quantised plainly (then filled, with a fill set).
void code_tree_leaf(EncoderState& state, const EstimateTree& tree, EstimateNode& node, int direction_index) {
  const BlockGeometry& g = *node.geometry;
  const int n = g.samples;
  std::vector<int32_t> values(static_cast<size_t>(n));
  const DirectionEstimate* entry =
      state.rdo ? &node.directions[static_cast<size_t>(node.slot[static_cast<size_t>(direction_index)])] : nullptr;
  if (entry && entry->zeroed) {
    std::fill(values.begin(), values.end(), 0);
  } else if (entry && entry->optimised) {
    std::copy_n(node.coefficients.begin() + entry->coefficients_begin, n, values.begin());
  } else {
    const uint16_t* order = state.geometry->scan_order(g, direction_index);
    for (int k = 0; k < n; ++k) values[k] = node.samples[order[k]];
    lift_block(values.data(), g.layout, true);
    if (state.fill > 0) {
      std::vector<int32_t> exact = values;
      quantise(state.quant, tree.level, g.layout, values.data());
      fill_leaf(state, tree.level, g.layout, exact.data(), values.data());
    } else {
      quantise(state.quant, tree.level, g.layout, values.data());
    }
  }
  write_leaf(state, tree.level, node.block, g, direction_index, values.data(), node.samples.data());
}


// The geometry of a block size, looked up in the tree's own short list
// before the shared cache (which takes a lock).
const BlockGeometry* tree_geometry(EncoderState& state, EstimateTree& tree, int width, int height) {
  if (tree.geometry_source != state.geometry.get()) {
    tree.geometries.clear();
    tree.geometry_source = state.geometry.get();
  }
  for (const BlockGeometry* g : tree.geometries)
    if (g->width == width && g->height == height) return g;
  const BlockGeometry* g = &state.geometry->geometry(width, height);
  tree.geometries.push_back(g);
  return g;
}

}  // namespace

void build_estimate_tree(EncoderState& state, const Block& root, int level, EstimateTree& tree) {
  tree.level = level;
  // The tree's blocks use entries level + 1 to level + levels + 1 of the
  // root's layout, whose blocks have the most levels.
  prepare_step_tables(state.quant, tree, level + 1, level + band_layout(root.width * root.height).levels + 1);
  // Nodes and their arrays are reused from one tree to the next. A tree has
  // fewer than 4/3 as many nodes as its root has samples: room for them all
  // up front, so that growing never moves the nodes (nor touches fresh
  // memory twice).
  const size_t most_nodes = static_cast<size_t>(root.width) * static_cast<size_t>(root.height) * 4 / 3 + 1;
  if (tree.nodes.capacity() < most_nodes) tree.nodes.reserve(most_nodes);
  size_t count = 0;
  auto add_node = [&](const Block& block) {
    if (count == tree.nodes.size()) tree.nodes.emplace_back();
    EstimateNode& node = tree.nodes[count++];
    node.block = block;
    node.first_child = 0;
    node.child_count = 0;
    node.version = kNotEstimated;
    node.directions.clear();
    node.events_used = 0;
    node.coefficients.clear();
  };
  add_node(root);
  for (size_t k = 0; k < count; ++k) {
    const Block block = tree.nodes[k].block;
    {
      EstimateNode& node = tree.nodes[k];
      node.geometry = tree_geometry(state, tree, block.width, block.height);
      node.samples.resize(static_cast<size_t>(node.geometry->samples));
      copy_from_block(view_of(state, block), node.samples.data());
      node.energy = block_energy(node.samples);
      node.slot.assign(node.geometry->table.size(), -1);
    }
    if (block.width * block.height < kSplitMinArea) continue;
    const int first = static_cast<int>(count);
    int children = 0;
    for (const Block& q : quadrants_of(state, block).part) {
      if (has_samples(q)) {
        add_node(q);
        ++children;
      }
    }
    tree.nodes[k].first_child = first;
    tree.nodes[k].child_count = children;
  }
  tree.used = count;
}

double code_tree_block(EncoderState& state, EstimateTree& tree, int index) {
  ensure_estimates(state, tree, index);
  EstimateNode& node = tree.nodes[static_cast<size_t>(index)];
  const double flag = split_flag_cost(state);
  const double leaf = node.choice.cost + flag;
  if (node.geometry->samples < kSplitMinArea) {
    code_tree_leaf(state, tree, node, node.choice.index);
    return leaf;
  }
  double split = flag;
  for (int c = 0; c < node.child_count; ++c) split = split + tree.nodes[static_cast<size_t>(node.first_child + c)].estimate;
  if (leaf <= split) {
    code_tree_leaf(state, tree, node, node.choice.index);
  } else {
    write_bits(state.encoder, 1, 0);
    const int first = node.first_child, count = node.child_count;
    for (int c = 0; c < count; ++c) code_tree_block(state, tree, first + c);
  }
  return leaf <= split ? leaf : split;
}

void evaluate_tree_ahead(EncoderState& state, EstimateTree& tree, const double* bits) {
  for (size_t i = 0; i < tree.used; ++i) evaluate_ahead(state, tree, tree.nodes[i], bits);
}

size_t tree_evaluations(const EstimateTree& tree) {
  size_t count = 0;
  for (size_t i = 0; i < tree.used; ++i) count += tree.nodes[i].directions.size();
  return count;
}

double search_with_estimates(EncoderState& state, const Block& block, int level) {
  if (!state.estimate_tree) state.estimate_tree = std::make_shared<EstimateTree>();
  build_estimate_tree(state, block, level, *state.estimate_tree);
  const double cost = code_tree_block(state, *state.estimate_tree, 0);
  state.window_counts.evaluated += static_cast<int64_t>(tree_evaluations(*state.estimate_tree));
  return cost;
}

}  // namespace kv
