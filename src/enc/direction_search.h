// The order in which the encoder weighs a leaf's directions and how it ranks
// them: the search is defined by this order, so every search that makes the
// encoder's decisions goes through it.
#pragma once

#include <cstdint>
#include <vector>

#include "enc/enc_state.h"

namespace kv {

// Cost of a value no magnitude bin can hold: prohibitive, yet finite so that
// cost differences stay well defined.
inline constexpr double kProhibitiveBits = 1.0e12;

struct DirectionChoice {
  double cost;
  int32_t index;
};

// Candidate order of the refinement: costs less than one bit apart rank by
// index. That is the difference truncated to an integer, compared without
// converting it: the rate-distortion mode's costs grow with the square of the
// quantization value, and a difference past 2^63, or not a number (infinite
// costs), has no integer.
inline bool ranks_before(const DirectionChoice& u, const DirectionChoice& v) {
  const double difference = u.cost - v.cost;
  if (difference <= -1.0) return true;
  if (difference >= 1.0) return false;
  return u.index < v.index;
}

// The insertion sort the refinement uses: which candidates survive depends on it,
// since the order above is not transitive.
inline void sort_candidates(DirectionChoice* candidates, int count) {
  for (int i = 1; i < count; ++i) {
    const DirectionChoice x = candidates[i];
    int j = i - 1;
    while (j >= 0 && ranks_before(x, candidates[j])) {
      candidates[j + 1] = candidates[j];
      --j;
    }
    candidates[j + 1] = x;
  }
}

// The search over a table of d entries, with evaluate(indices, count, costs)
// giving the costs of `count` entries at once (an index may repeat): every
// entry of tables up to Shape.samples, keeping the first index of the least
// cost; beyond, Shape.samples entries spread over the circular table, then
// the Shape.keep best refined by their neighbours at steps falling by about
// a third down to 1 (indices are not de-duplicated).
template <SearchShape Shape, typename EvaluateBatch>
DirectionChoice search_directions_batched(int d, EvaluateBatch&& evaluate) {
  constexpr int kSamples = Shape.samples, kKeep = Shape.keep;
  int indices[kSamples > 2 * kKeep ? kSamples : 2 * kKeep] = {};
  double costs[sizeof indices / sizeof indices[0]] = {};
  if (d <= kSamples) {
    for (int index = 0; index < d; ++index) indices[index] = index;
    evaluate(indices, d, costs);
    DirectionChoice best{costs[0], 0};
    for (int index = 1; index < d; ++index)
      if (costs[index] < best.cost) best = DirectionChoice{costs[index], index};
    return best;
  }
  DirectionChoice candidates[3 * kKeep > kSamples ? 3 * kKeep : kSamples];
  const int m = d / kSamples + 1;
  for (int s = 0; s < kSamples; ++s) indices[s] = (s * d) / kSamples;
  evaluate(indices, kSamples, costs);
  for (int s = 0; s < kSamples; ++s) candidates[s] = DirectionChoice{costs[s], indices[s]};
  sort_candidates(candidates, kSamples);
  for (int step = (m + 1) / 3; step >= 1; step = (step + 1) / 3) {
    for (int k = 0; k < kKeep; ++k) {
      const int a = candidates[k].index;
      indices[k] = (a + step) % d;
      indices[kKeep + k] = (a - step + d) % d;
    }
    evaluate(indices, 2 * kKeep, costs);
    for (int k = 0; k < 2 * kKeep; ++k) candidates[kKeep + k] = DirectionChoice{costs[k], indices[k]};
    sort_candidates(candidates, 3 * kKeep);
  }
  return candidates[0];
}

// The default search with evaluate(index) giving the cost of one entry.
template <typename Evaluate>
DirectionChoice search_directions(int d, Evaluate&& evaluate) {
  return search_directions_batched<kDefaultSearch>(d, [&](const int* indices, int count, double* costs) {
    for (int i = 0; i < count; ++i) costs[i] = evaluate(indices[i]);
  });
}

}  // namespace kv
