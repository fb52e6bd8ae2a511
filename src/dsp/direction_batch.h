// Several directions of one block transformed side by side: lane k of every
// vector holds the sequence of the k-th direction. A block's directions
// share its length and band layout, so every lifting step is the same for
// all lanes and needs no shuffling; short blocks, whose own loops are mostly
// overhead, gain most. Results equal lift_block_gathered's and
// inverse_squared_error's lane by lane.
//
// Each function calls the version of the kernel table (dsp/dsp.h) chosen for
// the processor.
#pragma once

#include <cstdint>

#include "dsp/band_layout.h"

namespace kv {

inline constexpr int kBatchLanes = 8;
inline constexpr int kBatchMaxSamples = 1024;  // every leaf block (kSplitMaxArea)

// Samples of the lanes by scan position: at[p][k] is lane k's sample at
// position p.
struct LaneSamples {
  alignas(32) int32_t at[kBatchMaxSamples][kBatchLanes];
};

// Each lane's coefficients by scan position, one array per lane.
struct LaneValues {
  alignas(32) int32_t of[kBatchLanes][kBatchMaxSamples];
};

// One int32 per lane.
typedef int32_t Lanes __attribute__((vector_size(4 * kBatchLanes)));

// The functions' working storage, too large for a thread's stack.
struct BatchWork {
  static constexpr int kGuard = 4;
  static constexpr int kHalf = kBatchMaxSamples / 2 + 2 * kGuard;  // a half with guard slots
  Lanes lanes[kBatchMaxSamples];  // the gathered samples, or the coefficients
  Lanes out[kBatchMaxSamples];
  Lanes half_a[kHalf];
  Lanes half_b[kHalf];
  Lanes odd[kHalf];
};

// Whether blocks of n samples go through the batch.
inline bool batchable(int n) { return n >= 2 && n <= kBatchMaxSamples; }

// For k < count (1 to kBatchLanes): lane k of work.out[0..n) =
// lift_block(forward) of samples[orders[k][p]], p < n = layout.end[1]
// (batchable); the gathered samples go to `kept` unless it is null. Lanes
// from count on hold copies of lane 0.
void lift_directions(const int32_t* samples, const uint16_t* const* orders, int count, const BandLayout& layout,
                     LaneSamples* kept, BatchWork& work);

// values.of[k][p] = lanes[p][k] for every lane k and p < n.
void lanes_to_arrays(const Lanes* lanes, int n, LaneValues& values);

// Sets to 0 the coefficients in work.out whose magnitude is below least[j]
// in their band j (j = 1 .. layout.levels + 1; the most negative value counts
// as 2^31): the ones a quantiser with these thresholds makes 0. bands[k]
// gets bit j for each band j where lane k keeps a coefficient; returns the
// lanes that keep any.
unsigned clear_below(BatchWork& work, const BandLayout& layout, const uint32_t* least, uint32_t* bands);

// For k < count: sse[k] = the sum of squared differences between
// lift_block(inverse) of values.of[k] (left unchanged) and lane k of `kept`.
// Returns a mask of the lanes summed here: those whose values and samples
// stay below 2^29 in magnitude and whose differences stay below 2^21 (the
// others' sse is 0). Every lane of `values` is read.
unsigned inverse_squared_errors(const LaneValues& values, int count, const BandLayout& layout,
                                const LaneSamples& kept, int64_t* sse, BatchWork& work);

}  // namespace kv
