// The terms of the codec's two lifting filters, each written once, for one
// sample (uint32_t) or for a vector of them (the lanes of GCC/clang vector
// types), and the symmetric extension the filters read through.
//
// Lifting arithmetic wraps in 32 bits instead of overflowing: results are
// identical for every line whose sums fit, and defined for the garbage a
// damaged stream can decode to. Terms therefore take and return the samples
// as unsigned words; floor_shift is the one signed step.
//
// Everything here has internal linkage: the kernels include this header in
// files built for different processors (dsp/x86/), and an inline function
// shared between them could be linked to a copy using instructions the
// processor lacks.
#pragma once

#include <cstdint>

namespace kv {
namespace {

// The signed type of an unsigned sample type; vector types add theirs.
template <typename U>
struct SignedOf;
template <>
struct SignedOf<uint32_t> {
  using type = int32_t;
};

[[gnu::always_inline]] inline uint32_t wrap(int32_t v) { return static_cast<uint32_t>(v); }
[[gnu::always_inline]] inline int32_t unwrap(uint32_t v) { return static_cast<int32_t>(v); }

// floor(v / 2^k) of v read as a signed word.
template <int K, typename U>
[[gnu::always_inline]] inline U floor_shift(U v) {
  using S = typename SignedOf<U>::type;
  return (U)((S)v >> K);
}

// Block filter (type 4). Forward: d -= e; e += update(d); d += predict(e).
// update: (d[i-1] + 8 d[i] - d[i+1] + 8) >> 4
template <typename U>
[[gnu::always_inline]] inline U block_update(U before, U at, U after) {
  return floor_shift<4>(before + 8u * at - after + 8u);
}
// predict: (6 (e[i-1] - e[i+1]) - e[i-2] + e[i+2] + 8) >> 4
template <typename U>
[[gnu::always_inline]] inline U block_predict(U e_m2, U e_m1, U e_p1, U e_p2) {
  return floor_shift<4>(6u * (e_m1 - e_p1) - e_m2 + e_p2 + 8u);
}

// Plane filter (type 7, 13/7). Forward: d -= predict(e); e += update(d).
// predict: (e[i-1] + e[i+2] - 9 (e[i] + e[i+1]) + 8) >> 4, which is added
template <typename U>
[[gnu::always_inline]] inline U plane_predict(U e_m1, U e_0, U e_p1, U e_p2) {
  return floor_shift<4>(e_m1 + e_p2 - 9u * (e_0 + e_p1) + 8u);
}
// update: (9 (d[i-1] + d[i]) - d[i-2] - d[i+1] + 16) >> 5
template <typename U>
[[gnu::always_inline]] inline U plane_update(U d_m2, U d_m1, U d_0, U d_p1) {
  return floor_shift<5>(9u * (d_m1 + d_0) - d_m2 - d_p1 + 16u);
}

// Symmetric extension (..., x2, x1, x0, x1, x2, ...) of the c >= 1 entries
// at x into indices lo..-1 and c..hi-1, for arrays of any element type with
// two guard slots on each side: the filters read at most two entries beyond
// an array's ends, so the loops run at most twice, and from three entries on
// the mirror images are written whether or not they are read.
template <typename T>
[[gnu::always_inline]] inline void extend_guarded(T* x, int c, int lo, int hi) {
  if (c >= 3) [[likely]] {
    x[-1] = x[1];
    x[-2] = x[2];
    x[c] = x[c - 2];
    x[c + 1] = x[c - 3];
    return;
  }
  if (c == 1) {
    for (int j = -1; j >= lo; --j) x[j] = x[0];
    for (int j = 1; j < hi; ++j) x[j] = x[0];
    return;
  }
  const int period = 2 * c - 2;
  for (int j = -1; j >= lo; --j) x[j] = -j <= c - 1 ? x[-j] : x[j + period];
  for (int j = c; j < hi; ++j) {
    const int k = j - (c - 1);
    x[j] = k <= c - 1 ? x[c - 1 - k] : x[j - period];
  }
}

}  // namespace
}  // namespace kv
