// The search kernels' body (search_kernels.h), included once per processor
// level: by search_kernels.cpp (any processor), x86/search_kernels_avx2.cpp
// (built for AVX2), and search_tails.cpp (the shared small lengths). The
// includer defines KV_DSP_LEVEL, the namespace the exported functions go to;
// with KV_SEARCH_TAILS_ONLY it gets the helpers alone.
//
// Blocks whose length is known at compile time unroll their levels, and the
// boundary extensions fold into plain copies. The search's square blocks
// (powers of 4) get a function each; the other small lengths, where a
// block's loops are mostly overhead, one each through a table.
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "dsp/band_layout.h"
#include "dsp/lifting_steps.h"
#include "dsp/search_kernels.h"
#include "dsp/search_tails.h"

namespace kv {
namespace {

using search_tails::kSmallBlock;

// Forward block filter with the copy step (d -= e) already done; the
// predicted high half goes to `d_out`.
[[gnu::always_inline]] inline void filter_forward(int32_t* e, int32_t* d, int32_t* d_out, int nl, int nh) {
  extend_guarded(d, nh, -1, nl + 1);
  for (int i = 0; i < nl; ++i) e[i] = unwrap(wrap(e[i]) + block_update(wrap(d[i - 1]), wrap(d[i]), wrap(d[i + 1])));
  extend_guarded(e, nl, -2, nh + 2);
  for (int i = 0; i < nh; ++i)
    d_out[i] = unwrap(wrap(d[i]) + block_predict(wrap(e[i - 2]), wrap(e[i - 1]), wrap(e[i + 1]), wrap(e[i + 2])));
}

// Inverse block filter reading the high half from `d_in`, all but its last
// step (d += e), which the caller does.
[[gnu::always_inline]] inline void filter_inverse(int32_t* e, const int32_t* d_in, int32_t* d, int nl, int nh) {
  extend_guarded(e, nl, -2, nh + 2);
  for (int i = 0; i < nh; ++i)
    d[i] = unwrap(wrap(d_in[i]) - block_predict(wrap(e[i - 2]), wrap(e[i - 1]), wrap(e[i + 1]), wrap(e[i + 2])));
  extend_guarded(d, nh, -1, nl + 1);
  for (int i = 0; i < nl; ++i) e[i] = unwrap(wrap(e[i]) - block_update(wrap(d[i - 1]), wrap(d[i]), wrap(d[i + 1])));
}

constexpr int kGuard = 4;
constexpr int kHalf = 512 + 2 * kGuard;  // a half of at most 1024 samples with guard slots

// The first level's halves of samples[order[k]], k < n: even positions to
// e, odd minus even to d (the copy step done), the samples to `kept` unless
// it is null.
[[gnu::always_inline]] inline void gather_first_level(const int32_t* samples, const uint16_t* order, int n,
                                                      int32_t* e, int32_t* d, ScanSamples* kept) {
  const int nh = n / 2;
  if (kept) {
    for (int i = 0; i < nh; ++i) {
      const int32_t even = samples[order[2 * i]], odd_sample = samples[order[2 * i + 1]];
      kept->even[i] = even;
      kept->odd[i] = odd_sample;
      e[i] = even;
      d[i] = unwrap(wrap(odd_sample) - wrap(even));
    }
    if (n % 2) e[nh] = kept->even[nh] = samples[order[n - 1]];
  } else {
    for (int i = 0; i < nh; ++i) {
      const int32_t even = samples[order[2 * i]];
      e[i] = even;
      d[i] = unwrap(wrap(samples[order[2 * i + 1]]) - wrap(even));
    }
    if (n % 2) e[nh] = samples[order[n - 1]];
  }
}

// Lifts the low half of length M held in `low` (the next level's low half
// goes to `spare`, the two trading places level by level); the last level
// leaves one low coefficient.
template <int M>
[[gnu::always_inline]] inline void forward_levels(int32_t* low, int32_t* spare, int32_t* d, int32_t* values) {
  if constexpr (M == 1) {
    values[0] = low[0];
  } else {
    constexpr int H = M / 2, L = (M + 1) / 2;
    for (int i = 0; i < H; ++i) {
      spare[i] = low[2 * i];
      d[i] = unwrap(wrap(low[2 * i + 1]) - wrap(low[2 * i]));
    }
    if constexpr (L > H) spare[H] = low[M - 1];
    filter_forward(spare, d, values + L, L, H);
    forward_levels<L>(spare, low, d, values);
  }
}

template <int N>
[[gnu::always_inline]] inline void lift_gathered_fixed(const int32_t* samples, const uint16_t* order, int32_t* values,
                                                       ScanSamples* kept) {
  constexpr int H = N / 2, L = (N + 1) / 2;
  int32_t even_a[kHalf], even_b[kHalf], odd[kHalf];
  int32_t* e = even_a + kGuard;
  int32_t* next = even_b + kGuard;
  int32_t* d = odd + kGuard;
  gather_first_level(samples, order, N, e, d, kept);
  filter_forward(e, d, values + L, L, H);
  forward_levels<L>(e, next, d, values);
}

// A level's samples from its rebuilt halves: e (even positions) and d + e
// (odd ones), the last even one alone when the length is odd.
[[gnu::always_inline]] inline void interleave_halves(const int32_t* e, const int32_t* d, int nh, int nl,
                                                     int32_t* target) {
  for (int i = 0; i < nh; ++i) {
    target[2 * i] = e[i];
    target[2 * i + 1] = unwrap(wrap(d[i]) + wrap(e[i]));
  }
  if (nl > nh) target[2 * nh] = e[nh];
}

// Rebuilds the low half of length M into `target` (M >= 2: from the low half
// of the level below, rebuilt into `other`, and the high half in `values`).
template <int M>
[[gnu::always_inline]] inline void rebuild_low(int32_t* target, int32_t* other, int32_t* d, const int32_t* values) {
  if constexpr (M == 1) {
    target[0] = values[0];
  } else {
    constexpr int H = M / 2, L = (M + 1) / 2;
    rebuild_low<L>(other, target, d, values);
    filter_inverse(other, values + L, d, L, H);
    interleave_halves(other, d, H, L, target);
  }
}

// The squared error of the rebuilt halves e (even) and d + e (odd) against
// the gathered samples; false when a difference reaches 2^21.
[[gnu::always_inline]] inline bool halves_squared_error(const int32_t* e, const int32_t* d, const ScanSamples& kept,
                                                        int nh, int nl, int64_t& sse) {
  constexpr int64_t kLimit = int64_t{1} << 21;
  // Samples and rebuilt values below 2^30 in magnitude have differences that
  // fit 32 bits: the magnitudes are ORed (the OR stays below a power of two
  // exactly when every term does) and the squares summed from 32-bit
  // differences, all in vector lanes.
  uint32_t widest = 0, farthest = 0;
  uint64_t narrow_sum = 0;
  auto bound = [](int32_t v) { return wrap(v ^ (v >> 31)); };  // |v|, or |v| - 1 below 0
  auto add_narrow = [&](int32_t rebuilt, int32_t sample) {
    widest |= bound(rebuilt) | bound(sample);
    const int32_t difference = unwrap(wrap(rebuilt) - wrap(sample));
    const int32_t sign = difference >> 31;
    farthest |= (wrap(difference) ^ wrap(sign)) - wrap(sign);
    narrow_sum += static_cast<uint64_t>(int64_t{difference} * difference);
  };
  for (int i = 0; i < nh; ++i) {
    add_narrow(e[i], kept.even[i]);
    add_narrow(unwrap(wrap(d[i]) + wrap(e[i])), kept.odd[i]);
  }
  if (nl > nh) add_narrow(e[nh], kept.even[nh]);
  if (widest < (1u << 29)) {
    sse = static_cast<int64_t>(narrow_sum);
    return farthest < static_cast<uint32_t>(kLimit);
  }
  // Integer sums: exact in any order; differences are checked against the
  // limit through their squares.
  uint64_t sum = 0, largest = 0;
  auto add = [&](int32_t rebuilt, int32_t sample) {
    const int64_t difference = int64_t{rebuilt} - sample;
    const uint64_t magnitude = static_cast<uint64_t>(difference < 0 ? -difference : difference);
    const uint64_t square = magnitude * magnitude;  // below 2^64
    largest = largest > square ? largest : square;
    sum += square;
  };
  for (int i = 0; i < nh; ++i) {
    add(e[i], kept.even[i]);
    add(unwrap(wrap(d[i]) + wrap(e[i])), kept.odd[i]);
  }
  if (nl > nh) add(e[nh], kept.even[nh]);
  sse = static_cast<int64_t>(sum);
  return largest < static_cast<uint64_t>(kLimit * kLimit);
}

template <int N>
[[gnu::always_inline]] inline bool inverse_squared_error_fixed(const int32_t* values, const ScanSamples& kept,
                                                               int64_t& sse) {
  constexpr int H = N / 2, L = (N + 1) / 2;
  int32_t even_a[kHalf], even_b[kHalf], odd[kHalf];
  int32_t* e = even_a + kGuard;
  int32_t* next = even_b + kGuard;
  int32_t* d = odd + kGuard;
  rebuild_low<L>(e, next, d, values);
  filter_inverse(e, values + L, d, L, H);
  return halves_squared_error(e, d, kept, H, L, sse);
}

// The rebuilt halves e (even scan positions) and d + e (odd ones), each
// sample written where the scan order puts it.
[[gnu::always_inline]] inline void scatter_halves(const int32_t* e, const int32_t* d, const uint16_t* order, int nh,
                                                  int nl, int32_t* out) {
  for (int i = 0; i < nh; ++i) {
    out[order[2 * i]] = e[i];
    out[order[2 * i + 1]] = unwrap(wrap(d[i]) + wrap(e[i]));
  }
  if (nl > nh) out[order[2 * nh]] = e[nh];
}

template <int N>
[[gnu::always_inline]] inline void inverse_scattered_fixed(const int32_t* values, const uint16_t* order,
                                                           int32_t* out) {
  constexpr int H = N / 2, L = (N + 1) / 2;
  int32_t even_a[kHalf], even_b[kHalf], odd[kHalf];
  int32_t* e = even_a + kGuard;
  int32_t* next = even_b + kGuard;
  int32_t* d = odd + kGuard;
  rebuild_low<L>(e, next, d, values);
  filter_inverse(e, values + L, d, L, H);
  scatter_halves(e, d, order, H, L, out);
}

}  // namespace
}  // namespace kv

#ifndef KV_SEARCH_TAILS_ONLY

namespace kv::KV_DSP_LEVEL {
namespace {

// The small lengths, 2 to kSmallBlock, one out-of-line copy each.
using GatheredLift = void (*)(const int32_t*, const uint16_t*, int32_t*, ScanSamples*);
using InverseError = bool (*)(const int32_t*, const ScanSamples&, int64_t&);
template <int N>
void lift_gathered_small(const int32_t* samples, const uint16_t* order, int32_t* values, ScanSamples* kept) {
  lift_gathered_fixed<N>(samples, order, values, kept);
}
template <int N>
bool inverse_squared_error_small(const int32_t* values, const ScanSamples& kept, int64_t& sse) {
  return inverse_squared_error_fixed<N>(values, kept, sse);
}
template <int... K>
constexpr std::array<GatheredLift, sizeof...(K)> small_lifts(std::integer_sequence<int, K...>) {
  return {&lift_gathered_small<K + 2>...};
}
template <int... K>
constexpr std::array<InverseError, sizeof...(K)> small_inverses(std::integer_sequence<int, K...>) {
  return {&inverse_squared_error_small<K + 2>...};
}
constexpr auto kSmallLifts = small_lifts(std::make_integer_sequence<int, kSmallBlock - 1>());
constexpr auto kSmallInverses = small_inverses(std::make_integer_sequence<int, kSmallBlock - 1>());

// The powers of 4, each a function of its own: several of them inlined into
// one function have been seen compiled wrongly (GCC 12).
#define KV_FIXED_LENGTH(N)                                                                                \
  [[gnu::noinline]] void lift_gathered_##N(const int32_t* samples, const uint16_t* order, int32_t* values, \
                                           ScanSamples* kept) {                                           \
    lift_gathered_fixed<N>(samples, order, values, kept);                                                 \
  }                                                                                                       \
  [[gnu::noinline]] bool inverse_error_##N(const int32_t* values, const ScanSamples& kept, int64_t& sse) { \
    return inverse_squared_error_fixed<N>(values, kept, sse);                                             \
  }                                                                                                       \
  [[gnu::noinline]] void inverse_scattered_##N(const int32_t* values, const uint16_t* order, int32_t* out) { \
    inverse_scattered_fixed<N>(values, order, out);                                                       \
  }
KV_FIXED_LENGTH(4)
KV_FIXED_LENGTH(16)
KV_FIXED_LENGTH(32)
KV_FIXED_LENGTH(64)
KV_FIXED_LENGTH(256)
KV_FIXED_LENGTH(1024)
#undef KV_FIXED_LENGTH

// Any longer length: the levels rebuilt up to the first one, whose low half
// (returned: `e` or `next`) and high half (in `d`) are left for the caller
// to put together. The levels of kSmallBlock or fewer samples at once, from
// the lowest level's single coefficient.
[[gnu::always_inline]] inline const int32_t* rebuild_halves(const int32_t* values, const BandLayout& layout,
                                                            int32_t* e, int32_t* next, int32_t* d) {
  int step = layout.levels - 1;
  while (step >= 1 && layout.end[step + 1] <= kSmallBlock) --step;
  search_tails::kInverseTails[layout.end[step + 2] - 1](e, next, d, values);
  for (; step >= 1; --step) {
    const int m = layout.end[step + 1];
    const int nh = m / 2, nl = (m + 1) / 2;
    filter_inverse(e, values + nl, d, nl, nh);
    interleave_halves(e, d, nh, nl, next);
    std::swap(e, next);
  }
  const int n = layout.end[1];
  filter_inverse(e, values + (n + 1) / 2, d, (n + 1) / 2, n / 2);
  return e;
}

}  // namespace

void lift_block_gathered(const int32_t* samples, const uint16_t* order, const BandLayout& layout, int32_t* values,
                         ScanSamples* kept) {
  const int n = layout.end[1];
  if (layout.levels == 0) {
    values[0] = samples[order[0]];
    if (kept) kept->even[0] = values[0];
    return;
  }
  switch (n) {
    case 4: return lift_gathered_4(samples, order, values, kept);
    case 16: return lift_gathered_16(samples, order, values, kept);
    case 32: return lift_gathered_32(samples, order, values, kept);
    default: break;
  }
  if (n <= kSmallBlock) return kSmallLifts[static_cast<size_t>(n - 2)](samples, order, values, kept);
  switch (n) {
    case 64: return lift_gathered_64(samples, order, values, kept);
    case 256: return lift_gathered_256(samples, order, values, kept);
    case 1024: return lift_gathered_1024(samples, order, values, kept);
    default: break;
  }
  int32_t even_a[kHalf], even_b[kHalf], odd[kHalf];
  int32_t* e = even_a + kGuard;
  int32_t* next = even_b + kGuard;
  int32_t* d = odd + kGuard;
  int nh = n / 2, nl = (n + 1) / 2;
  gather_first_level(samples, order, n, e, d, kept);
  filter_forward(e, d, values + nl, nl, nh);
  // Each level splits the previous level's low half; the high halves are final.
  for (int step = 1; step < layout.levels; ++step) {
    const int m = nl;
    if (m <= kSmallBlock) return search_tails::kForwardTails[m - 1](e, next, d, values);
    nh = m / 2;
    nl = (m + 1) / 2;
    for (int i = 0; i < nh; ++i) {
      next[i] = e[2 * i];
      d[i] = unwrap(wrap(e[2 * i + 1]) - wrap(e[2 * i]));
    }
    if (nl > nh) next[nh] = e[m - 1];
    filter_forward(next, d, values + nl, nl, nh);
    std::swap(e, next);
  }
  values[0] = e[0];  // the last level leaves one low coefficient
}

bool inverse_squared_error(const int32_t* values, const BandLayout& layout, const ScanSamples& kept, int64_t& sse) {
  constexpr int64_t kLimit = int64_t{1} << 21;
  if (layout.levels == 0) {
    const int64_t difference = int64_t{values[0]} - kept.even[0];
    sse = difference * difference;
    return difference < kLimit && difference > -kLimit;
  }
  switch (layout.end[1]) {
    case 4: return inverse_error_4(values, kept, sse);
    case 16: return inverse_error_16(values, kept, sse);
    case 32: return inverse_error_32(values, kept, sse);
    default: break;
  }
  if (layout.end[1] <= kSmallBlock) return kSmallInverses[static_cast<size_t>(layout.end[1] - 2)](values, kept, sse);
  switch (layout.end[1]) {
    case 64: return inverse_error_64(values, kept, sse);
    case 256: return inverse_error_256(values, kept, sse);
    case 1024: return inverse_error_1024(values, kept, sse);
    default: break;
  }
  int32_t even_a[kHalf], even_b[kHalf], odd[kHalf];
  int32_t* d = odd + kGuard;
  const int32_t* e = rebuild_halves(values, layout, even_a + kGuard, even_b + kGuard, d);
  const int n = layout.end[1];
  return halves_squared_error(e, d, kept, n / 2, (n + 1) / 2, sse);
}

void inverse_lift_scattered(const int32_t* values, const BandLayout& layout, const uint16_t* order, int32_t* out) {
  if (layout.levels == 0) {
    out[order[0]] = values[0];
    return;
  }
  const int n = layout.end[1];
  switch (n) {
    case 4: return inverse_scattered_4(values, order, out);
    case 16: return inverse_scattered_16(values, order, out);
    case 32: return inverse_scattered_32(values, order, out);
    default: break;
  }
  if (n <= kSmallBlock) return search_tails::kSmallScatteredInverses[n - 2](values, order, out);
  switch (n) {
    case 64: return inverse_scattered_64(values, order, out);
    case 256: return inverse_scattered_256(values, order, out);
    case 1024: return inverse_scattered_1024(values, order, out);
    default: break;
  }
  int32_t even_a[kHalf], even_b[kHalf], odd[kHalf];
  int32_t* d = odd + kGuard;
  const int32_t* e = rebuild_halves(values, layout, even_a + kGuard, even_b + kGuard, d);
  scatter_halves(e, d, order, n / 2, (n + 1) / 2, out);
}

}  // namespace kv::KV_DSP_LEVEL

#endif  // KV_SEARCH_TAILS_ONLY
