// The direction batch's body (direction_batch.h), included once per processor
// level: by direction_batch.cpp (any processor) and
// x86/direction_batch_avx2.cpp (built for AVX2). The includer defines
// KV_DSP_LEVEL, the namespace the functions go to.
//
// The helpers pass 256-bit vectors by value: they are always inlined (a
// compiler that cannot do so refuses to build), so that no call crosses
// between code built for different processors' ways of passing vectors (the
// compilers' notes on that ABI are turned off for these files in
// src/CMakeLists.txt).
#include <cstdint>
#include <utility>

#include "dsp/band_layout.h"
#include "dsp/direction_batch.h"
#include "dsp/lifting_steps.h"

namespace kv {
namespace {

// One int32 per lane; the lifting arithmetic wraps in 32 bits as the
// one-direction kernels' does, so sums and products run unsigned.
typedef uint32_t UnsignedLanes __attribute__((vector_size(4 * kBatchLanes)));
typedef double Doubles __attribute__((vector_size(4 * kBatchLanes)));  // half of the lanes

template <>
struct SignedOf<UnsignedLanes> {
  using type = Lanes;
};

[[gnu::always_inline]] inline UnsignedLanes u(Lanes v) { return (UnsignedLanes)v; }
[[gnu::always_inline]] inline Lanes s(UnsignedLanes v) { return (Lanes)v; }
[[gnu::always_inline]] inline UnsignedLanes splat(uint32_t v) {
  UnsignedLanes r;
  for (int k = 0; k < kBatchLanes; ++k) r[k] = v;
  return r;
}

[[gnu::always_inline]] inline UnsignedLanes update_term(const Lanes* d, int i) {
  return block_update(u(d[i - 1]), u(d[i]), u(d[i + 1]));
}
[[gnu::always_inline]] inline UnsignedLanes predict_term(const Lanes* e, int i) {
  return block_predict(u(e[i - 2]), u(e[i - 1]), u(e[i + 1]), u(e[i + 2]));
}

// rows[k] = elements p..p+7 of array k; afterwards rows[j] holds element
// p + j of arrays 0..7 (an 8 x 8 transposition, its own inverse).
[[gnu::always_inline]] inline void transpose(Lanes* rows) {
  Lanes a[8], b[8];
  for (int k = 0; k < 8; k += 2) {
    a[k] = __builtin_shufflevector(rows[k], rows[k + 1], 0, 8, 1, 9, 4, 12, 5, 13);
    a[k + 1] = __builtin_shufflevector(rows[k], rows[k + 1], 2, 10, 3, 11, 6, 14, 7, 15);
  }
  for (int k = 0; k < 8; k += 4) {
    b[k] = __builtin_shufflevector(a[k], a[k + 2], 0, 1, 8, 9, 4, 5, 12, 13);
    b[k + 1] = __builtin_shufflevector(a[k], a[k + 2], 2, 3, 10, 11, 6, 7, 14, 15);
    b[k + 2] = __builtin_shufflevector(a[k + 1], a[k + 3], 0, 1, 8, 9, 4, 5, 12, 13);
    b[k + 3] = __builtin_shufflevector(a[k + 1], a[k + 3], 2, 3, 10, 11, 6, 7, 14, 15);
  }
  for (int j = 0; j < 4; ++j) {
    rows[j] = __builtin_shufflevector(b[j], b[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
    rows[j + 4] = __builtin_shufflevector(b[j], b[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
  }
}

[[gnu::always_inline]] inline Lanes load(const int32_t* p) {
  Lanes v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline void store(int32_t* p, Lanes v) { __builtin_memcpy(p, &v, sizeof v); }

constexpr int kGuard = BatchWork::kGuard;

}  // namespace
}  // namespace kv

namespace kv::KV_DSP_LEVEL {

void lift_directions(const int32_t* samples, const uint16_t* const* orders, int count, const BandLayout& layout,
                     LaneSamples* kept, BatchWork& work) {
  const int n = layout.end[1];
  Lanes* first = work.lanes;
  Lanes* half_a = work.half_a;
  Lanes* half_b = work.half_b;
  Lanes* odd = work.odd;
  Lanes* out = work.out;
  // Unused lanes repeat lane 0.
  const uint16_t* lane_order[kBatchLanes];
  for (int k = 0; k < kBatchLanes; ++k) lane_order[k] = orders[k < count ? k : 0];
  for (int p = 0; p < n; ++p) {
    Lanes x;
    for (int k = 0; k < kBatchLanes; ++k) x[k] = samples[lane_order[k][p]];
    first[p] = x;
    if (kept) store(kept->at[p], x);
  }
  // Each level splits the previous level's low half (`low`, m entries): its
  // low half goes to `next`, its high half is final.
  const Lanes* low = first;
  Lanes* next = half_a + kGuard;
  Lanes* d = odd + kGuard;
  for (int m = n; m > 1;) {
    const int nh = m / 2, nl = (m + 1) / 2;
    for (int i = 0; i < nh; ++i) {
      next[i] = low[2 * i];
      d[i] = s(u(low[2 * i + 1]) - u(low[2 * i]));
    }
    if (nl > nh) next[nh] = low[m - 1];
    extend_guarded(d, nh, -1, nl + 1);
    for (int i = 0; i < nl; ++i) next[i] = s(u(next[i]) + update_term(d, i));
    extend_guarded(next, nl, -2, nh + 2);
    for (int i = 0; i < nh; ++i) out[nl + i] = s(u(d[i]) + predict_term(next, i));
    low = next;
    next = next == half_a + kGuard ? half_b + kGuard : half_a + kGuard;
    m = nl;
  }
  out[0] = low[0];
}

// Eight positions at a time through registers.
void lanes_to_arrays(const Lanes* lanes, int n, LaneValues& values) {
  int p = 0;
  for (; p + 8 <= n; p += 8) {
    Lanes rows[8];
    for (int j = 0; j < 8; ++j) rows[j] = lanes[p + j];
    transpose(rows);
    for (int k = 0; k < kBatchLanes; ++k) store(values.of[k] + p, rows[k]);
  }
  for (; p < n; ++p)
    for (int k = 0; k < kBatchLanes; ++k) values.of[k][p] = lanes[p][k];
}

unsigned clear_below(BatchWork& work, const BandLayout& layout, const uint32_t* least, uint32_t* bands) {
  UnsignedLanes any = splat(0);
  UnsignedLanes band_bits = splat(0);
  for (int j = layout.levels + 1; j >= 1; --j) {
    const UnsignedLanes threshold = splat(least[j]);
    UnsignedLanes in_band = splat(0);
    for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) {
      const Lanes v = work.out[p];
      const Lanes sign = v >> 31;
      const UnsignedLanes magnitude = (u(v) ^ u(sign)) - u(sign);  // 2^31 for the most negative
      const UnsignedLanes above = u(magnitude >= threshold);
      in_band |= above;
      work.out[p] = s(u(v) & above);
    }
    any |= in_band;
    band_bits |= in_band & splat(1u << j);
  }
  unsigned mask = 0;
  for (int k = 0; k < kBatchLanes; ++k) {
    mask |= (any[k] & 1u) << k;
    bands[k] = band_bits[k];
  }
  return mask;
}

unsigned inverse_squared_errors(const LaneValues& values, int count, const BandLayout& layout, const LaneSamples& kept,
                                int64_t* sse, BatchWork& work) {
  const int n = layout.end[1];
  Lanes* coefficients = work.lanes;
  Lanes* even_a = work.half_a;
  Lanes* even_b = work.half_b;
  Lanes* odd = work.odd;
  int p = 0;
  for (; p + 8 <= n; p += 8) {
    Lanes rows[8];
    for (int k = 0; k < kBatchLanes; ++k) rows[k] = load(values.of[k] + p);
    transpose(rows);
    for (int j = 0; j < 8; ++j) coefficients[p + j] = rows[j];
  }
  for (; p < n; ++p) {
    Lanes x;
    for (int k = 0; k < kBatchLanes; ++k) x[k] = values.of[k][p];
    coefficients[p] = x;
  }
  Lanes* e = even_a + kGuard;
  Lanes* next = even_b + kGuard;
  Lanes* d = odd + kGuard;
  // From the lowest coefficient up, each level's low half rebuilt from the
  // one below and its high half.
  e[0] = coefficients[0];
  int nh = 0, nl = 1;
  for (int step = layout.levels; step >= 1; --step) {
    const int m = layout.end[step];
    nh = m / 2;
    nl = (m + 1) / 2;
    extend_guarded(e, nl, -2, nh + 2);
    for (int i = 0; i < nh; ++i) d[i] = s(u(coefficients[nl + i]) - predict_term(e, i));
    extend_guarded(d, nh, -1, nl + 1);
    for (int i = 0; i < nl; ++i) e[i] = s(u(e[i]) - update_term(d, i));
    if (step == 1) break;  // the first level's halves are compared as they are
    for (int i = 0; i < nh; ++i) {
      next[2 * i] = e[i];
      next[2 * i + 1] = s(u(d[i]) + u(e[i]));
    }
    if (nl > nh) next[m - 1] = e[nh];
    std::swap(e, next);
  }
  // Values and samples below 2^29 in magnitude differ by less than 2^30, so
  // the differences are exact in 32 bits; then the squares of those below
  // 2^21 are integers below 2^42, and the at most 1024 of a block sum
  // exactly in double in any order.
  UnsignedLanes widest = splat(0), farthest = splat(0);
  Doubles sums[2] = {};
  auto add = [&](Lanes rebuilt, const int32_t* at) __attribute__((always_inline)) {
    const Lanes sample = load(at);
    widest |= u(rebuilt ^ (rebuilt >> 31)) | u(sample ^ (sample >> 31));
    const Lanes difference = s(u(rebuilt) - u(sample));
    const Lanes sign = difference >> 31;
    farthest |= (u(difference) ^ u(sign)) - u(sign);
    const Doubles low = __builtin_convertvector(__builtin_shufflevector(difference, difference, 0, 1, 2, 3), Doubles);
    const Doubles high = __builtin_convertvector(__builtin_shufflevector(difference, difference, 4, 5, 6, 7), Doubles);
    sums[0] += low * low;
    sums[1] += high * high;
  };
  for (int i = 0; i < nh; ++i) {
    add(e[i], kept.at[2 * i]);
    add(s(u(d[i]) + u(e[i])), kept.at[2 * i + 1]);
  }
  if (nl > nh) add(e[nh], kept.at[n - 1]);
  unsigned valid = 0;
  for (int k = 0; k < count; ++k) {
    // The other lanes' sums may pass 2^63, where converting is undefined.
    const bool summed = widest[k] < (1u << 29) && farthest[k] < (1u << 21);
    sse[k] = summed ? static_cast<int64_t>(sums[k / 4][k % 4]) : 0;
    valid |= static_cast<unsigned>(summed) << k;
  }
  return valid;
}

}  // namespace kv::KV_DSP_LEVEL
