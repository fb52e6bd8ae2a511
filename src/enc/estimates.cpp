#include "enc/estimates.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <mutex>
#include <new>
#include <type_traits>

#include "dsp/direction_batch.h"
#include "enc/enc_leaf.h"
#include "entropy/magnitude.h"
#include "enc/rate_items.h"
#include "dsp/search_kernels.h"
#include "common/wavelet.h"
#include "util/thread_pool.h"

namespace kv {

namespace {

struct Scratch;

// What the encoder keeps for the whole process, in chunks of its own: the
// log2 table and the threads' scratch slots. Never destroyed: threads end late.
struct LastingStore {
  std::mutex mutex;
  ChunkArena arena;
  // Scratch slots no thread holds, with room for every slot made (so that
  // handing one back never allocates).
  std::vector<Scratch*> spare_scratch;
  size_t scratch_made = 0;
};

LastingStore& lasting_store() {
  static LastingStore* const store = new LastingStore;
  return *store;
}

// log2 of every count a model can hold, with the library's log2: the
// estimates sum exactly the doubles the plain computation would. Built once
// per process.
const double* log2_table() {
  static const double* const table = [] {
    constexpr size_t kCounts = kModelLimit + 1;
    LastingStore& store = lasting_store();
    double* t = ArenaAllocator<double>(store.arena, store.mutex).allocate(kCounts);
    for (size_t i = 0; i < kCounts; ++i) t[i] = std::log2(static_cast<double>(i));
    return t;
  }();
  return table;
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
double split_flag_cost(const EncoderState& state) { return state.rdo ? state.rdo_lambda : 1; }

// Samples (summed over a subtree's nodes) above which its searches are worth
// spreading over the threads: below, the hand-over costs more than it saves.
constexpr int kParallelWork = 1536;

struct Scratch {
  int32_t values[kSplitMaxArea];
  ScanSamples kept;
  LaneValues lane_values;
  LaneSamples lanes_kept;
  BatchWork batch_work;
  struct Distortion {
    double sse = -1;
    int32_t samples = 0;
    int32_t level = 0;
    double distortion = 0;
  };
  // Blocks meet the same errors again and again: their distortions are
  // remembered, by a multiplicative hash of error, size and level. 4096
  // entries miss on 18 % of coins' errors at q = 32, where 256 missed on 40 %.
  static constexpr int kDistortionBits = 12;
  Distortion distortions[1 << kDistortionBits];
};

static_assert(std::is_trivially_destructible_v<Scratch>, "slots are reused, never destroyed");

// The searching threads' scratch, in slots of the lasting store handed on
// when a thread ends: a pool's workers live only as long as its encode, and
// the next encode's take the memory they left, already touched.
struct ThreadScratch {
  Scratch* scratch;
  ThreadScratch() {
    LastingStore& store = lasting_store();
    std::lock_guard<std::mutex> lock(store.mutex);
    if (!store.spare_scratch.empty()) {
      scratch = store.spare_scratch.back();
      store.spare_scratch.pop_back();
      return;
    }
    store.spare_scratch.reserve(store.scratch_made + 1);
    // Default-initialised: only the memo of distortions starts filled.
    scratch = new (store.arena.allocate(sizeof(Scratch))) Scratch;
    ++store.scratch_made;
  }
  ~ThreadScratch() {
    LastingStore& store = lasting_store();
    std::lock_guard<std::mutex> lock(store.mutex);
    store.spare_scratch.push_back(scratch);
  }
  ThreadScratch(const ThreadScratch&) = delete;
  ThreadScratch& operator=(const ThreadScratch&) = delete;
};

// Rate-distortion-optimised quantisation of a block's lifted coefficients, in
// place, one coefficient at a time in scan order, each choice made with the
// runs as the earlier choices left them. A magnitude n of 2 or more (the
// truncated quotient) becomes n + 1 where that rebuilds nearer; a 1 may
// become 2 or 0 and a 0 may become 1, whichever lowers J. The rate side
// counts magnitude, sign and runs, the run a dropped value merges into and
// the band terminator; the distortion side the error times the band's
// synthesis gain and the level's weight. The chosen values go to `quantised`; like
// write_rate_items, it writes the rate items from `out` on (returning their
// end) and leaves the rebuilt values in `values`, ready for the inverse.
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
        // Larger magnitudes take the nearer of the two: their bits hardly
        // differ, and weighing them did not pay.
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

// Room for the rate items of one more evaluation of an n-sample block, at
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

// The bits of coding table entry `index` as the block's direction.
double direction_bits_of(const EncoderState& state, int index) {
  return state.rate_bits[kDirectionModel][std::min(magnitude_bin(state.bins, index), kModelSymbols)];
}

// Costs of table entries indices[0..count) of the node, evaluating those not
// met before.
void direction_costs_cached(EncoderState& state, const EstimateTree& tree, EstimateNode& node, const int* indices,
                            int count, double* costs, Scratch& scratch) {
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
  const double* bits = state.item_bits;
  // The rate-distortion mode also weighs coding the block as zeros (each
  // band's terminator, and the error of the whole block) against its
  // values: where the few values that survive cost more bits than the error
  // they remove, the zeros win, which the choice of single values cannot see.
  double zero_bits = 0, zero_distortion = 0;
  if (state.rdo) {
    const BandLayout& layout = node.geometry->layout;
    for (int j = layout.levels + 1; j >= 1; --j) zero_bits = zero_bits + state.rate_bits[tree.level + j][0];
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
      direction_bits[g] = direction_bits_of(state, index);
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
        entry.zeroed = zeroed < coded;
        costs[first + g] = entry.zeroed ? zeroed : coded;
      } else {
        costs[first + g] = rate + entry.distortion;
      }
    }
    first += group;
  }
}

// A node whose table has one entry (a row or a column of samples, the
// commonest nodes): that entry's cost as the search below finds it, with
// the same evaluation and the same sum, without the search around them.
[[gnu::noinline]] DirectionChoice single_direction(EncoderState& state, const EstimateTree& tree, EstimateNode& node,
                                                   Scratch& scratch) {
  if (node.slot[0] < 0) compute_direction(state, tree, node, 0, scratch);
  const DirectionEstimate& entry = node.directions[static_cast<size_t>(node.slot[0])];
  const uint16_t* items = node.events + entry.events_begin;
  double rate = direction_bits_of(state, 0);
  sum_rates<1>(state.item_bits, &items, &entry.events_count, &rate);
  return {rate + entry.distortion, 0};
}

// The direction search of choose_direction, on cached evaluations.
DirectionChoice choose_node_direction(EncoderState& state, const EstimateTree& tree, EstimateNode& node) {
  // Large (the side-by-side transforms' storage): one slot per thread, so
  // that neither a thread's stack nor its static storage holds it.
  thread_local const ThreadScratch owned;
  Scratch& scratch = *owned.scratch;
  if (node.geometry->table.size() == 1 && !state.rdo) return single_direction(state, tree, node, scratch);
  DirectionChoice best = search_directions_batched(
      static_cast<int>(node.geometry->table.size()), [&](const int* indices, int count, double* costs) {
        direction_costs_cached(state, tree, node, indices, count, costs, scratch);
      });
  if (state.rdo) {
    // The search weighed plainly quantised values. The winner's values are
    // now chosen by the optimised quantiser, and kept where that lowers J:
    // optimising every candidate cost more than the rest of the search and
    // gained under one point of BD-rate.
    const size_t plain = static_cast<size_t>(node.slot[static_cast<size_t>(best.index)]);
    if (!node.directions[plain].optimised && !node.directions[plain].optimise_tried) {
      node.directions[plain].optimise_tried = true;
      compute_direction(state, tree, node, best.index, scratch, true);
      double cost;
      direction_costs_cached(state, tree, node, &best.index, 1, &cost, scratch);
      if (cost < best.cost)
        best.cost = cost;
      else
        node.slot[static_cast<size_t>(best.index)] = static_cast<int32_t>(plain);
    }
  }
  return best;
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
// The rate-distortion mode keeps a subtree's first estimates: bringing them
// up to date after every coded leaf (the mode codes many small ones) took
// about a sixth of its time for under one point of BD-rate.
void ensure_estimates(EncoderState& state, EstimateTree& tree, int index) {
  const uint64_t version = tree.nodes[static_cast<size_t>(index)].version;
  if (version == state.model_version || (state.rdo && version != kNotEstimated)) return;
  std::vector<int>& subtree = tree.subtree;
  collect_subtree(tree, index, subtree);
  refresh_rate_table(state);

  // The searches are independent: their order matters only for spreading them.
  int work = 0;
  for (int i : subtree) work += tree.nodes[static_cast<size_t>(i)].geometry->samples;
  if (state.pool && state.pool->threads() > 1 && work >= kParallelWork) {
    // The largest searches first, so that the threads finish together.
    std::vector<int>& order = tree.order;
    order = subtree;
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
      return tree.nodes[static_cast<size_t>(a)].geometry->samples > tree.nodes[static_cast<size_t>(b)].geometry->samples;
    });
    // Handed out in a few runs of about equal work: most nodes are small,
    // and one task per node would spend more on claiming tasks than on them.
    std::vector<size_t>& runs = tree.runs;
    runs.assign(1, 0);
    const int share = work / (4 * state.pool->threads()) + 1;
    int taken = 0;
    for (size_t k = 0; k < order.size(); ++k) {
      taken += tree.nodes[static_cast<size_t>(order[k])].geometry->samples;
      if (taken >= share || k + 1 == order.size()) {
        runs.push_back(k + 1);
        taken = 0;
      }
    }
    state.pool->parallel_for(runs.size() - 1, [&](size_t r) {
      for (size_t k = runs[r]; k < runs[r + 1]; ++k) {
        EstimateNode& node = tree.nodes[static_cast<size_t>(order[k])];
        node.choice = choose_node_direction(state, tree, node);
      }
    });
  } else {
    for (int i : subtree) {
      EstimateNode& node = tree.nodes[static_cast<size_t>(i)];
      node.choice = choose_node_direction(state, tree, node);
    }
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

// The values the chosen direction codes: in the rate-distortion mode those
// its estimate chose (zeros, or the optimised ones), else the block's
// samples lifted and quantised plainly.
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
    quantise(state, tree.level, g.layout, values.data());
  }
  write_leaf(state, tree.level, node.block, g, direction_index, values.data(), node.samples.data());
}

}  // namespace

void prepare_rate_distortion(EncoderState& state, float base_q) {
  // lambda = c (baseQ^2 + 8^2): c baseQ^2 for coarse steps, but it stops
  // falling below baseQ = 8. There the finer bands' steps sit at their
  // floor of 1.0, and a lambda following baseQ^2 down bought quality at
  // about the default encoder's price: at 48-56 dB the floor saves 2-4 %
  // of the bits on camera at equal PSNR, and the BD-rate over q = 2-128
  // gains about one point on every bundled photograph.
  const double q = base_q;
  state.rdo_lambda = state.rdo_lambda_factor * (q * q + kLambdaFloorQ * kLambdaFloorQ);
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

void refresh_rate_table(EncoderState& state) {
  const double* log2_of = log2_table();
  for (uint64_t dirty = state.dirty_models; dirty; dirty &= dirty - 1) {
    const int model = std::countr_zero(dirty);
    const AdaptiveModel& context = state.models[model];
    const double total = log2_of[model_total(context)];
    for (int bin = 0; bin < kModelSymbols; ++bin) {
      const int32_t width = state.bins.bin_start[bin + 1] - state.bins.bin_start[bin];
      state.rate_bits[model][bin] =
          total - log2_of[get_frequency(context, static_cast<uint32_t>(bin))] + log2_of[width];
    }
    state.rate_bits[model][kModelSymbols] = kProhibitiveBits;
    std::copy(std::begin(state.rate_bits[model]), std::end(state.rate_bits[model]),
              state.item_bits + model * (kModelSymbols + 1));
  }
  state.item_bits[kModelCount * (kModelSymbols + 1)] = 1.0;
  state.dirty_models = 0;
}

namespace {

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

double search_with_estimates(EncoderState& state, const Block& block, int level) {
  if (!state.estimate_tree) state.estimate_tree = std::make_shared<EstimateTree>();
  build_estimate_tree(state, block, level, *state.estimate_tree);
  return code_tree_block(state, *state.estimate_tree, 0);
}

}  // namespace kv
