#include "enc/enc_direction.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/wavelet.h"
#include "dsp/direction_batch.h"
#include "dsp/search_kernels.h"
#include "enc/enc_rdo.h"
#include "enc/enc_scratch.h"
#include "enc/rate_items.h"

namespace kv {

namespace {

// the end of the node's items; the writers store straight into it.
uint16_t* reserve_events(const EstimateTree& tree, EstimateNode& node, int n) {
  const size_t need = node.events_used + static_cast<size_t>(rate_item_capacity(n));
  if (node.events_capacity < need) {
    const size_t capacity = std::max(need, 2 * node.events_capacity);
    uint16_t* grown = ArenaAllocator<uint16_t>(tree.store, tree.store_mutex).allocate(capacity);
    std::copy_n(node.events, node.events_used, grown);
    node.events = grown;
    node.events_capacity = capacity;
  }
  return node.events + node.events_used;
}

// The items of a block whose coefficients are all 0: each band's terminator.
uint16_t* write_zero_items(const BandLayout& layout, int level, uint16_t* out) {
  for (int j = layout.levels + 1; j >= 1; --j) *out++ = rate_item(level + j, 0);
  return out;
}

// One evaluation's rate items, appended to the node's; only append_items
// makes one (no default values: a batch's array of them is not cleared
// before it is filled).
struct Items {
  uint32_t events_begin;
  uint32_t events_count;
  uint32_t coefficients_begin;  // optimised: its coefficients in node.coefficients
  bool all_zero;
  bool optimised;
  // Sixteen bytes, copied as two halves of eight: fourteen were copied as
  // two overlapping halves, the second read back across both just-stored ones.
  uint16_t unused;
};

// Quantises the lifted coefficients in `values` (left rebuilt, ready for
// the inverse) and appends their items; a block of zeros writes each band's
// terminator. `optimise` (the rate-distortion mode only) chooses the values
// with quantise_optimised and keeps them with the estimate.
Items append_items(const EncoderState& state, const EstimateTree& tree, EstimateNode& node, int32_t* values,
                   bool zero_block, uint32_t bands = ~0u, bool optimise = false) {
  const BlockGeometry& g = *node.geometry;
  const BandLayout& layout = g.layout;
  const int level = tree.level;
  uint16_t* const begin = reserve_events(tree, node, g.samples);
  const uint16_t* end;
  // The writers report into a local: were it a field of the returned
  // record, the record would live in memory and be read back as a whole
  // just after its fields were stored one by one, which waits for the stores.
  bool all_zero = true;
  uint32_t coefficients_begin = 0;
  if (optimise) {
    // The coefficients to code are kept with the estimate.
    coefficients_begin = static_cast<uint32_t>(node.coefficients.size());
    node.coefficients.resize(coefficients_begin + static_cast<size_t>(g.samples));
    end = zero_block ? write_zero_items(layout, level, begin)
                     : quantise_optimised(state, tree, g, level, values,
                                          node.coefficients.data() + coefficients_begin, begin, all_zero);
  } else {
    end = zero_block ? write_zero_items(layout, level, begin)
                     : write_rate_items(state, tree, layout, values, begin, all_zero, bands);
  }
  const auto events_begin = static_cast<uint32_t>(node.events_used);
  const auto events_count = static_cast<uint32_t>(end - begin);
  node.events_used += events_count;
  return Items{events_begin, events_count, coefficients_begin, all_zero, optimise, 0};
}

// The error of rebuilt `values` against `kept` when a difference reaches
// 2^21: summed in double in the block's row-major order, as the plain search does.
double huge_squared_error(int32_t* values, const BandLayout& layout, const ScanSamples& kept, const uint16_t* order) {
  const int n = layout.end[1];
  lift_block(values, layout, false);
  std::vector<double> squares(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k) {
    const int32_t original = k % 2 ? kept.odd[k / 2] : kept.even[k / 2];
    double d = static_cast<double>(values[k]) - original;
    squares[order[k]] = d * d;
  }
  double sse = 0.0;
  for (double square : squares) sse += square;
  return sse;
}

// Records the evaluation of table entry `index` with its items and error.
void record_direction(const EncoderState& state, int level, EstimateNode& node, int index, const Items& items,
                      double sse, Scratch& scratch) {
  const int n = node.geometry->samples;
  double distortion;
  if (state.rdo) {
    distortion = state.level_weight[level] * sse;
  } else {
    const uint64_t key = std::bit_cast<uint64_t>(sse) ^ uint64_t(n) << 40 ^ uint64_t(level) << 56;
    Scratch::Distortion& memo =
        scratch.distortions[(key * 0x9E3779B97F4A7C15ull) >> (64 - Scratch::kDistortionBits)];
    if (memo.sse == sse && memo.samples == n && memo.level == level) {
      distortion = memo.distortion;
    } else {
      const double samples = n;
      const double weight = static_cast<double>(kDistortionWeight) * samples;
      // 2^level exactly, without a library call (levels stay below 64).
      const double scale = static_cast<double>(uint64_t{1} << level);
      distortion = weight * std::log2(1.0 + (scale * std::sqrt(sse)) / samples);
      memo = {sse, n, level, distortion};
    }
  }
  node.slot[static_cast<size_t>(index)] = static_cast<int32_t>(node.directions.size());
  // Filled in place: a copy of a record just built field by field would
  // read it back before its stores have landed.
  DirectionEstimate& entry = node.directions.emplace_back();
  entry.index = index;
  entry.events_begin = items.events_begin;
  entry.events_count = items.events_count;
  entry.distortion = distortion;
  entry.coefficients_begin = items.coefficients_begin;
  entry.optimised = items.optimised;
}

// Every band of a block at the state's level has step 1.0: the
// reconstruction is exact and the error 0.
bool lossless_level(const EncoderState& state, int level) { return state.quant[level + 1] == 1.0f; }

void compute_direction(EncoderState& state, const EstimateTree& tree, EstimateNode& node, int index, Scratch& scratch,
                       bool optimise = false) {
  const BlockGeometry& g = *node.geometry;
  int32_t* values = scratch.values;
  const BandLayout& layout = g.layout;
  const bool lossless = lossless_level(state, tree.level);
  // A block of zeros lifts to zeros in every direction, which every step
  // keeps (the optimised quantiser too: no 0 becomes 1 there).
  const bool zero_block = node.energy == 0.0;
  const uint16_t* order = zero_block ? nullptr : state.geometry->scan_order(g, index);
  if (!zero_block)
    lift_block_gathered(node.samples.data(), order, layout, values, lossless ? nullptr : &scratch.kept);
  const Items items = append_items(state, tree, node, values, zero_block, ~0u, optimise);
  // With every coefficient 0 the reconstruction is 0.
  double sse = 0.0;
  int64_t exact;
  if (!lossless && items.all_zero) {
    sse = node.energy;
  } else if (!lossless && inverse_squared_error(values, layout, scratch.kept, exact)) {
    sse = static_cast<double>(exact);
  } else if (!lossless) {
    sse = huge_squared_error(values, layout, scratch.kept, order);
  }
  record_direction(state, tree.level, node, index, items, sse, scratch);
}

// The same for `count` (2 to kBatchLanes) distinct entries of a batchable
// block with samples other than 0, transformed side by side.
void compute_directions_batched(EncoderState& state, const EstimateTree& tree, EstimateNode& node, const int* indices,
                                int count, Scratch& scratch) {
  const BlockGeometry& g = *node.geometry;
  const BandLayout& layout = g.layout;
  const bool lossless = lossless_level(state, tree.level);
  const uint16_t* orders[kBatchLanes];
  for (int k = 0; k < count; ++k) orders[k] = state.geometry->scan_order(g, indices[k]);
  LaneValues& values = scratch.lane_values;
  lift_directions(node.samples.data(), orders, count, layout, lossless ? nullptr : &scratch.lanes_kept,
                  scratch.batch_work);
  // Coefficients below their band's threshold quantise to 0: cleared at
  // once for all lanes, so that directions whose coefficients all do (common
  // in the fine bands) write each band's terminator as a block of zeros does,
  // and the others skip their empty bands.
  uint32_t least[16];  // by band, as BandLayout counts them
  for (int j = 1; j <= layout.levels + 1; ++j) least[j] = tree.bands[tree.level + j].least;
  uint32_t bands[kBatchLanes];
  const unsigned nonzero = clear_below(scratch.batch_work, layout, least, bands);
  lanes_to_arrays(scratch.batch_work.out, g.samples, values);
  Items items[kBatchLanes];
  bool any_nonzero = false;
  for (int k = 0; k < count; ++k) {
    items[k] = append_items(state, tree, node, values.of[k], !(nonzero >> k & 1), bands[k]);
    any_nonzero = any_nonzero || !items[k].all_zero;
  }
  int64_t exact[kBatchLanes];
  unsigned valid = 0;
  if (!lossless && any_nonzero)
    valid = inverse_squared_errors(values, count, layout, scratch.lanes_kept, exact, scratch.batch_work);
  for (int k = 0; k < count; ++k) {
    double sse = 0.0;  // lossless: the reconstruction is exact
    if (lossless) {
      // nothing to measure
    } else if (items[k].all_zero) {
      sse = node.energy;
    } else if (valid >> k & 1) {
      sse = static_cast<double>(exact[k]);
    } else {
      // Values too large for the side-by-side sums: the lane alone.
      for (int i = 0; i < g.samples / 2; ++i) {
        scratch.kept.even[i] = scratch.lanes_kept.at[2 * i][k];
        scratch.kept.odd[i] = scratch.lanes_kept.at[2 * i + 1][k];
      }
      if (g.samples % 2) scratch.kept.even[g.samples / 2] = scratch.lanes_kept.at[g.samples - 1][k];
      int64_t lane_exact;
      if (inverse_squared_error(values.of[k], layout, scratch.kept, lane_exact)) {
        sse = static_cast<double>(lane_exact);
      } else {
        sse = huge_squared_error(values.of[k], layout, scratch.kept, orders[k]);
      }
    }
    record_direction(state, tree.level, node, indices[k], items[k], sse, scratch);
  }
}

// The rates of G evaluations summed side by side: each sum keeps its own
// order, and G independent chains of additions overlap.
template <int G>
void sum_rates(const double* rate_bits, const uint16_t* const* items, const uint32_t* counts, double* rates) {
  uint32_t common = counts[0];
  for (int g = 1; g < G; ++g) common = std::min(common, counts[g]);
  double r[G];
  for (int g = 0; g < G; ++g) r[g] = rates[g];
  for (uint32_t t = 0; t < common; ++t)
    for (int g = 0; g < G; ++g) r[g] = r[g] + rate_bits[items[g][t]];
  for (int g = 0; g < G; ++g) {
    for (uint32_t t = common; t < counts[g]; ++t) r[g] = r[g] + rate_bits[items[g][t]];
    rates[g] = r[g];
  }
}

// The bits of coding table entry `index` as the block's direction, from
// `bits` (a rate table laid out as state.item_bits).
double direction_bits_of(const EncoderState& state, const double* bits, int index) {
  return bits[kDirectionModel * (kModelSymbols + 1) + std::min(magnitude_bin(state.bins, index), kModelSymbols)];
}

// Evaluates the table entries indices[0..count) of the node not met before.
void evaluate_entries(EncoderState& state, const EstimateTree& tree, EstimateNode& node, const int* indices,
                      int count, Scratch& scratch) {
  // Entries not met before: side by side where the block allows, else one by one.
  const bool batch = batchable(node.geometry->samples) && node.energy != 0.0;
  int pending[kBatchLanes];
  int waiting = 0;
  auto evaluate_pending = [&] {
    if (waiting == 1) {
      compute_direction(state, tree, node, pending[0], scratch);
    } else if (waiting > 1) {
      compute_directions_batched(state, tree, node, pending, waiting, scratch);
    }
    waiting = 0;
  };
  for (int i = 0; i < count; ++i) {
    const int index = indices[i];
    if (node.slot[static_cast<size_t>(index)] >= 0 || std::find(pending, pending + waiting, index) != pending + waiting)
      continue;
    if (!batch) {
      compute_direction(state, tree, node, index, scratch);
      continue;
    }
    pending[waiting++] = index;
    if (waiting == kBatchLanes) evaluate_pending();
  }
  evaluate_pending();
}

// Costs of table entries indices[0..count) of the node, evaluating those not
// met before, with the rates of `bits` (laid out as state.item_bits). With
// `record` the rate-distortion mode's entries keep whether zeros won.
void direction_costs_cached(EncoderState& state, const EstimateTree& tree, EstimateNode& node, const int* indices,
                            int count, double* costs, Scratch& scratch, const double* bits, bool record = true) {
  evaluate_entries(state, tree, node, indices, count, scratch);
  // The rate-distortion mode also weighs coding the block as zeros (each
  // band's terminator, and the error of the whole block) against its
  // values: where the few values that survive cost more bits than the error
  // they remove, the zeros win, which the choice of single values cannot see.
  double zero_bits = 0, zero_distortion = 0;
  if (state.rdo) {
    const BandLayout& layout = node.geometry->layout;
    for (int j = layout.levels + 1; j >= 1; --j) zero_bits = zero_bits + bits[(tree.level + j) * (kModelSymbols + 1)];
    zero_distortion = state.level_weight[tree.level] * node.energy;
  }
  for (int first = 0; first < count;) {
    const int group = count - first >= 4 ? 4 : count - first >= 2 ? 2 : 1;
    const uint16_t* items[4];
    uint32_t item_counts[4];
    double rates[4], direction_bits[4];
    for (int g = 0; g < group; ++g) {
      const int index = indices[first + g];
      const DirectionEstimate& entry = node.directions[static_cast<size_t>(node.slot[static_cast<size_t>(index)])];
      items[g] = node.events + entry.events_begin;
      item_counts[g] = entry.events_count;
      direction_bits[g] = direction_bits_of(state, bits, index);
      rates[g] = direction_bits[g];
    }
    if (group == 4) {
      sum_rates<4>(bits, items, item_counts, rates);
    } else if (group == 2) {
      sum_rates<2>(bits, items, item_counts, rates);
    } else {
      sum_rates<1>(bits, items, item_counts, rates);
    }
    for (int g = 0; g < group; ++g) {
      const int index = indices[first + g];
      DirectionEstimate& entry = node.directions[static_cast<size_t>(node.slot[static_cast<size_t>(index)])];
      const double rate = rates[g];
      if (state.rdo) {
        const double coded = state.rdo_lambda * rate + entry.distortion;
        const double zeroed = state.rdo_lambda * (direction_bits[g] + zero_bits) + zero_distortion;
        if (record) entry.zeroed = zeroed < coded;
        costs[first + g] = zeroed < coded ? zeroed : coded;
      } else {
        costs[first + g] = rate + entry.distortion;
      }
    }
    first += group;
  }
}

// The calling thread's scratch. Large (the side-by-side transforms'
// storage): one slot per thread, so that neither a thread's stack nor its
// static storage holds it.
Scratch& thread_scratch() {
  thread_local const ThreadScratch owned;
  return *owned.scratch;
}

// A node whose table has one entry (a row or a column of samples, the
// commonest nodes): that entry's cost as the search below finds it, with
// the same evaluation and the same sum, without the search around them.
DirectionChoice single_direction(EncoderState& state, const EstimateTree& tree, EstimateNode& node) {
  if (node.slot[0] < 0) compute_direction(state, tree, node, 0, thread_scratch());
  const DirectionEstimate& entry = node.directions[static_cast<size_t>(node.slot[0])];
  const uint16_t* items = node.events + entry.events_begin;
  double rate = direction_bits_of(state, state.item_bits, 0);
  sum_rates<1>(state.item_bits, &items, &entry.events_count, &rate);
  return {rate + entry.distortion, 0};
}

}  // namespace

// The direction search of choose_direction, on cached evaluations.
DirectionChoice choose_node_direction(EncoderState& state, const EstimateTree& tree, EstimateNode& node) {
  if (node.geometry->table.size() == 1 && !state.rdo) return single_direction(state, tree, node);
  Scratch& scratch = thread_scratch();
  const int d = static_cast<int>(node.geometry->table.size());
  auto evaluate = [&](const int* indices, int count, double* costs) {
    direction_costs_cached(state, tree, node, indices, count, costs, scratch, state.item_bits);
  };
  DirectionChoice best = state.rdo ? search_directions_batched<kRateDistortionSearch>(d, evaluate)
                                   : search_directions_batched<kDefaultSearch>(d, evaluate);
  if (state.rdo) {
    // The search weighed plainly quantised values. The winner's values are
    // now chosen by the optimised quantiser, and kept where that lowers J;
    // the other candidates keep their plain values (a speed choice: optimising
    // every candidate costs far more time than it gains in rate).
    const size_t plain = static_cast<size_t>(node.slot[static_cast<size_t>(best.index)]);
    if (!node.directions[plain].optimised && !node.directions[plain].optimise_tried) {
      node.directions[plain].optimise_tried = true;
      compute_direction(state, tree, node, best.index, scratch, true);
      double cost;
      direction_costs_cached(state, tree, node, &best.index, 1, &cost, scratch, state.item_bits);
      if (cost < best.cost)
        best.cost = cost;
      else
        node.slot[static_cast<size_t>(best.index)] = static_cast<int32_t>(plain);
    }
  }
  return best;
}

namespace {

template <SearchShape Shape>
void evaluate_ahead_as(EncoderState& state, const EstimateTree& tree, EstimateNode& node, const double* bits,
                       Scratch& scratch) {
  const int d = static_cast<int>(node.geometry->table.size());
  if (d <= Shape.samples) {
    // The search weighs every entry of a small table: no rates needed to know which.
    int all[Shape.samples];
    for (int index = 0; index < d; ++index) all[index] = index;
    evaluate_entries(state, tree, node, all, d, scratch);
    return;
  }
  search_directions_batched<Shape>(d, [&](const int* indices, int count, double* costs) {
    direction_costs_cached(state, tree, node, indices, count, costs, scratch, bits, false);
  });
}

}  // namespace

void evaluate_ahead(EncoderState& state, const EstimateTree& tree, EstimateNode& node, const double* bits) {
  Scratch& scratch = thread_scratch();
  if (state.rdo) {
    evaluate_ahead_as<kRateDistortionSearch>(state, tree, node, bits, scratch);
  } else {
    evaluate_ahead_as<kDefaultSearch>(state, tree, node, bits, scratch);
  }
}

}  // namespace kv
