#include "common/colour.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// On x86-64 the decoder's inverse from plane rows has a second version for
// processors with 256-bit vectors, chosen at run time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KV_COLOUR_VECTORS 1
#include <immintrin.h>
// The helpers pass 256-bit vectors by value; all of them are inline in this
// file and built for the same processors, so no call crosses that ABI.
#pragma GCC diagnostic ignored "-Wpsabi"
#else
#define KV_COLOUR_VECTORS 0
#endif

#include "util/error.h"

namespace kv {

namespace {

inline double round_half_up(double s) { return std::floor(s + 0.5); }

// x - round(s), refusing what cannot stand in 32 bits.
int32_t lift(int64_t x, double s, int sign) {
  double r = round_half_up(s);
  if (!(r > -4294967296.0 && r < 4294967296.0)) fail(ErrorCode::kCorruptStream, "transform_pixel: value out of range");
  int64_t y = x + sign * static_cast<int64_t>(r);
  if (y < INT32_MIN || y > INT32_MAX) fail(ErrorCode::kCorruptStream, "transform_pixel: value out of range");
  return static_cast<int32_t>(y);
}

int32_t scale(int64_t x, double factor) {
  double y = static_cast<double>(x) * factor;
  if (!(y > -2147483649.0 && y < 2147483648.0)) fail(ErrorCode::kCorruptStream, "transform_pixel: value out of range");
  return static_cast<int32_t>(y);
}

}  // namespace

bool factor_colour_matrix(int channels, double* matrix, int32_t* permutation) {
  const int n = channels;
  auto M = [&](int r, int c) -> double& { return matrix[r * n + c]; };
  for (int i = 0; i + 1 < n; ++i) {
    int best = i;
    for (int r = i + 1; r < n; ++r)
      if (std::fabs(M(r, n - 1)) > std::fabs(M(best, n - 1))) best = r;
    if (std::fabs(M(best, n - 1)) == 0.0) return false;
    if (best != i)
      for (int c = 0; c < n; ++c) std::swap(M(i, c), M(best, c));
    permutation[i] = best;
    M(i, i) = (M(i, i) - 1) / M(i, n - 1);
    for (int k = 0; k < n; ++k)
      if (k != i) M(k, i) = M(k, i) - M(k, n - 1) * M(i, i);
    for (int r = i + 1; r < n; ++r)
      for (int c = i + 1; c < n; ++c) M(r, c) = M(r, c) - M(i, c) * M(r, i);
  }
  if (M(n - 1, n - 1) >= 0 || std::isnan(M(n - 1, n - 1))) {
    M(n - 1, n - 1) = 1.0;
  } else {
    M(n - 1, n - 1) = -1.0;
    for (int c = 0; c + 1 < n; ++c) {
      M(c, c) = -M(c, c);
      M(c, n - 1) = -M(c, n - 1);
    }
  }
  for (int i = 1; i + 1 < n; ++i)
    for (int j = 0; j < i; ++j)
      for (int r = i + 1; r < n; ++r) M(r, j) = M(r, j) - M(r, i) * M(i, j);
  return true;
}

namespace {

// One body for every channel count; a fixed count lets the loops unroll.
template <int Fixed>
void transform_pixel_impl(int channels, const double* factors, const int32_t* permutation, int32_t* x,
                          bool forward) {
  const int n = Fixed > 0 ? Fixed : channels;
  auto M = [&](int r, int c) { return factors[r * n + c]; };
  auto off_diagonal_sum = [&](int k) {
    double s = 0.0;
    for (int l = 0; l < n; ++l)
      if (l != k) s += M(k, l) * x[l];
    return s;
  };
  auto diagonal_sum = [&] {
    double s = 0.0;
    for (int l = 0; l + 1 < n; ++l) s += M(l, l) * x[l];
    return s;
  };
  if (forward) {
    for (int i = 0; i + 1 < n; ++i) std::swap(x[i], x[permutation[i]]);
    for (int k = n - 1; k >= 0; --k) x[k] = lift(x[k], off_diagonal_sum(k), -1);
    x[n - 1] = scale(lift(x[n - 1], diagonal_sum(), -1), M(n - 1, n - 1));
  } else {
    x[n - 1] = scale(x[n - 1], M(n - 1, n - 1));
    x[n - 1] = lift(x[n - 1], diagonal_sum(), +1);
    for (int k = 0; k < n; ++k) x[k] = lift(x[k], off_diagonal_sum(k), +1);
    for (int i = n - 2; i >= 0; --i) std::swap(x[i], x[permutation[i]]);
  }
}

// x + sign round(s) as lift(x, s, sign) gives it, with `ok` cleared where
// lift would fail. No branches: the checks are gathered in `ok`, and floor is
// taken from the truncation of a value whose range has been checked first.
inline int64_t lift_unchecked(int64_t x, double s, bool& ok, int sign = +1) {
  const double t = s + 0.5;
  // floor(t) > -2^32 and floor(t) < 2^32, a NaN failing both.
  const bool in_range = t >= -4294967295.0 && t < 4294967296.0;
  ok &= in_range;
  const double safe = in_range ? t : 0.0;
  int64_t r = static_cast<int64_t>(safe);
  r -= static_cast<double>(r) > safe ? 1 : 0;
  const int64_t y = x + sign * r;
  ok &= y >= INT32_MIN && y <= INT32_MAX;
  return y;
}

// scale(x, factor) likewise.
inline int64_t scale_unchecked(int64_t x, double factor, bool& ok) {
  const double y = static_cast<double>(x) * factor;
  const bool in_range = y > -2147483649.0 && y < 2147483648.0;
  ok &= in_range;
  return static_cast<int32_t>(in_range ? y : 0.0);
}

// transform_pixel_impl<3> forward with the same operations in the same
// order; false (x untouched) where that would fail.
inline bool forward_pixel3(const double* m, const int32_t* permutation, int32_t* x) {
  int32_t y[3] = {x[0], x[1], x[2]};
  std::swap(y[0], y[permutation[0]]);
  std::swap(y[1], y[permutation[1]]);
  bool ok = true;
  int64_t x0 = y[0], x1 = y[1], x2 = y[2];
  x2 = lift_unchecked(x2, 0.0 + m[6] * static_cast<double>(x0) + m[7] * static_cast<double>(x1), ok, -1);
  x1 = lift_unchecked(x1, 0.0 + m[3] * static_cast<double>(x0) + m[5] * static_cast<double>(x2), ok, -1);
  x0 = lift_unchecked(x0, 0.0 + m[1] * static_cast<double>(x1) + m[2] * static_cast<double>(x2), ok, -1);
  x2 = lift_unchecked(x2, 0.0 + m[0] * static_cast<double>(x0) + m[4] * static_cast<double>(x1), ok, -1);
  x2 = scale_unchecked(x2, m[8], ok);
  if (!ok) return false;
  x[0] = static_cast<int32_t>(x0);
  x[1] = static_cast<int32_t>(x1);
  x[2] = static_cast<int32_t>(x2);
  return true;
}

// The inverse of transform_pixel_impl<3> with the same operations in the same
// order; false (x untouched) where that would fail.
inline bool inverse_pixel3(const double* m, const int32_t* permutation, int32_t* x) {
  bool ok = true;
  int64_t x0 = x[0], x1 = x[1], x2 = x[2];
  x2 = scale_unchecked(x2, m[8], ok);
  x2 = lift_unchecked(x2, 0.0 + m[0] * static_cast<double>(x0) + m[4] * static_cast<double>(x1), ok);
  x0 = lift_unchecked(x0, 0.0 + m[1] * static_cast<double>(x1) + m[2] * static_cast<double>(x2), ok);
  x1 = lift_unchecked(x1, 0.0 + m[3] * static_cast<double>(x0) + m[5] * static_cast<double>(x2), ok);
  x2 = lift_unchecked(x2, 0.0 + m[6] * static_cast<double>(x0) + m[7] * static_cast<double>(x1), ok);
  if (!ok) return false;
  int32_t y[3] = {static_cast<int32_t>(x0), static_cast<int32_t>(x1), static_cast<int32_t>(x2)};
  std::swap(y[1], y[permutation[1]]);
  std::swap(y[0], y[permutation[0]]);
  x[0] = y[0];
  x[1] = y[1];
  x[2] = y[2];
  return true;
}

// One pixel the branch-free way, or the checked way where that would fail.
inline void inverse_pixel3_or_fail(const double* m, const int32_t* permutation, int32_t* x) {
  if (!inverse_pixel3(m, permutation, x)) transform_pixel_impl<3>(3, m, permutation, x, false);
}

#if defined(__SSE2__)
// inverse_pixel3 for two pixels at once, one per lane, the samples held as
// doubles (exact: every one is an int32). Narrower ranges than the checked
// path's keep every conversion within 32 bits; a pixel pair outside them, or
// one the checked path would refuse, is left to inverse_pixel3_or_fail.
struct PairInverse {
  __m128d m[9];
  int source[3];  // output channel j is lifted channel source[j]

  PairInverse(const double* factors, const int32_t* permutation) {
    for (int i = 0; i < 9; ++i) m[i] = _mm_set1_pd(factors[i]);
    int order[3] = {0, 1, 2};
    std::swap(order[1], order[permutation[1]]);
    std::swap(order[0], order[permutation[0]]);
    for (int j = 0; j < 3; ++j) source[j] = order[j];
  }

  static __m128d in_range(__m128d v, double lowest, double above) {
    return _mm_and_pd(_mm_cmpge_pd(v, _mm_set1_pd(lowest)), _mm_cmplt_pd(v, _mm_set1_pd(above)));
  }

  // x + floor(s + 0.5), with t = s + 0.5 confined to [-2^31, 2^31 - 1) so
  // that truncation fits 32 bits; floor is the truncation, less 1 where it
  // lies above t.
  static __m128d lift(__m128d x, __m128d s, __m128d& good) {
    const __m128d t = _mm_add_pd(s, _mm_set1_pd(0.5));
    const __m128d fits = in_range(t, -2147483648.0, 2147483647.0);
    good = _mm_and_pd(good, fits);
    const __m128d safe = _mm_and_pd(t, fits);
    __m128d r = _mm_cvtepi32_pd(_mm_cvttpd_epi32(safe));
    r = _mm_sub_pd(r, _mm_and_pd(_mm_cmpgt_pd(r, safe), _mm_set1_pd(1.0)));
    const __m128d y = _mm_add_pd(x, r);  // exact, both below 2^31
    good = _mm_and_pd(good, in_range(y, -2147483648.0, 2147483648.0));
    return y;
  }

  static __m128d sum(__m128d a, __m128d xa, __m128d b, __m128d xb) {
    return _mm_add_pd(_mm_add_pd(_mm_setzero_pd(), _mm_mul_pd(a, xa)), _mm_mul_pd(b, xb));
  }

  // Pixels x[0..2], x[3..5], ... of `Pairs` pairs, the pairs' chains side by
  // side; false, with every pixel untouched, unless all of them pass.
  template <int Pairs>
  bool apply(int32_t* x) const {
    __m128d x0[Pairs], x1[Pairs], x2[Pairs], good[Pairs];
    for (int q = 0; q < Pairs; ++q) {
      const int32_t* p = x + 6 * q;
      x0[q] = _mm_cvtepi32_pd(_mm_setr_epi32(p[0], p[3], 0, 0));
      x1[q] = _mm_cvtepi32_pd(_mm_setr_epi32(p[1], p[4], 0, 0));
      x2[q] = _mm_cvtepi32_pd(_mm_setr_epi32(p[2], p[5], 0, 0));
      const __m128d scaled = _mm_mul_pd(x2[q], m[8]);
      good[q] = in_range(scaled, -2147483648.0, 2147483648.0);
      x2[q] = _mm_cvtepi32_pd(_mm_cvttpd_epi32(_mm_and_pd(scaled, good[q])));
    }
    for (int q = 0; q < Pairs; ++q) x2[q] = lift(x2[q], sum(m[0], x0[q], m[4], x1[q]), good[q]);
    for (int q = 0; q < Pairs; ++q) x0[q] = lift(x0[q], sum(m[1], x1[q], m[2], x2[q]), good[q]);
    for (int q = 0; q < Pairs; ++q) x1[q] = lift(x1[q], sum(m[3], x0[q], m[5], x2[q]), good[q]);
    for (int q = 0; q < Pairs; ++q) x2[q] = lift(x2[q], sum(m[6], x0[q], m[7], x1[q]), good[q]);
    __m128d all = good[0];
    for (int q = 1; q < Pairs; ++q) all = _mm_and_pd(all, good[q]);
    if (_mm_movemask_pd(all) != 3) return false;
    for (int q = 0; q < Pairs; ++q) {
      int32_t y[2][3];
      const __m128i lifted[3] = {_mm_cvttpd_epi32(x0[q]), _mm_cvttpd_epi32(x1[q]), _mm_cvttpd_epi32(x2[q])};
      for (int c = 0; c < 3; ++c) {
        y[0][c] = _mm_cvtsi128_si32(lifted[c]);
        y[1][c] = _mm_cvtsi128_si32(_mm_shuffle_epi32(lifted[c], 1));
      }
      int32_t* p = x + 6 * q;
      for (int j = 0; j < 3; ++j) {
        p[j] = y[0][source[j]];
        p[3 + j] = y[1][source[j]];
      }
    }
    return true;
  }
};
#endif

}  // namespace

void transform_pixel(int channels, const double* factors, const int32_t* permutation, int32_t* x, bool forward) {
  if (channels == 3)
    transform_pixel_impl<3>(channels, factors, permutation, x, forward);
  else
    transform_pixel_impl<0>(channels, factors, permutation, x, forward);
}

namespace {

// The matrix factorised in place, with its permutation; fails with the
// message when it cannot be or its factors are not finite.
std::vector<int32_t> factorise_or_fail(int n, std::vector<double>& matrix) {
  std::vector<int32_t> permutation(static_cast<size_t>(n), 0);
  for (double entry : matrix)
    if (!std::isfinite(entry)) fail(ErrorCode::kCorruptStream, "factor_colour_matrix: invalid matrix");
  if (!factor_colour_matrix(n, matrix.data(), permutation.data()))
    fail(ErrorCode::kCorruptStream, "factor_colour_matrix: invalid matrix");
  for (double entry : matrix)
    if (!std::isfinite(entry)) fail(ErrorCode::kCorruptStream, "factor_colour_matrix: invalid matrix");
  return permutation;
}

// Row y's samples, held as the rows of planes 0 .. n-1 one after another,
// interleaved pixel by pixel in their place (through `row`, n * w long).
void interleave_row(int32_t* samples, int n, int w, int32_t* row) {
  for (int c = 0; c < n; ++c)
    for (int x = 0; x < w; ++x) row[static_cast<ptrdiff_t>(x) * n + c] = samples[static_cast<ptrdiff_t>(c) * w + x];
  std::copy(row, row + static_cast<ptrdiff_t>(n) * w, samples);
}

#if KV_COLOUR_VECTORS
// PairInverse with four pixels to a vector, read from the three planes' rows
// (where they lie side by side) and written interleaved; the same
// operations in the same order, lane by lane.
struct QuadInverse {
  __m256d m[9];
  int source[3];
  // Samples up to this magnitude keep every step's sum and result far inside
  // 32 bits (0 where the factors allow no such bound).
  __m256d bounded;

  [[gnu::target("avx2")]] QuadInverse(const double* factors, const int32_t* permutation) {
    for (int i = 0; i < 9; ++i) m[i] = _mm256_set1_pd(factors[i]);
    int order[3] = {0, 1, 2};
    std::swap(order[1], order[permutation[1]]);
    std::swap(order[0], order[permutation[0]]);
    for (int j = 0; j < 3; ++j) source[j] = order[j];
    bounded = _mm256_set1_pd(magnitude_bound(factors));
  }

  // The largest sample magnitude X for which every lift of the chain stays
  // below 2^30: each channel's bound is a X + c, carried through the four
  // steps (a sum's magnitude at most F times its two inputs', F the largest
  // factor, and the rounding adds at most 1).
  static double magnitude_bound(const double* f) {
    double factor = 0.0;
    for (int i = 0; i < 8; ++i) factor = std::max(factor, std::fabs(f[i]));
    struct Bound {
      double a, c;
    };
    auto lifted = [&](Bound x, Bound u, Bound v) {
      return Bound{x.a + factor * (u.a + v.a), x.c + factor * (u.c + v.c) + 1.0};
    };
    const Bound sample{1.0, 0.0};
    Bound b2{std::fabs(f[8]), 0.0};
    b2 = lifted(b2, sample, sample);
    const Bound b0 = lifted(sample, sample, b2);
    const Bound b1 = lifted(sample, b0, b2);
    b2 = lifted(b2, b0, b1);
    const double a = std::max({b0.a, b1.a, b2.a}), c = std::max({b0.c, b1.c, b2.c});
    const double limit = 1073741824.0;  // 2^30
    if (!(a >= 1.0 && a < limit && c < limit / 2)) return 0.0;
    return std::floor((limit - c) / a);
  }

  [[gnu::target("avx2")]] static __m256d in_range(__m256d v, double lowest, double above) {
    return _mm256_and_pd(_mm256_cmp_pd(v, _mm256_set1_pd(lowest), _CMP_GE_OQ),
                         _mm256_cmp_pd(v, _mm256_set1_pd(above), _CMP_LT_OQ));
  }

  [[gnu::target("avx2")]] static __m256d lift(__m256d x, __m256d s, __m256d& good) {
    const __m256d t = _mm256_add_pd(s, _mm256_set1_pd(0.5));
    const __m256d fits = in_range(t, -2147483648.0, 2147483647.0);
    good = _mm256_and_pd(good, fits);
    const __m256d safe = _mm256_and_pd(t, fits);
    __m256d r = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(safe));
    r = _mm256_sub_pd(r, _mm256_and_pd(_mm256_cmp_pd(r, safe, _CMP_GT_OQ), _mm256_set1_pd(1.0)));
    const __m256d y = _mm256_add_pd(x, r);  // exact, both below 2^31
    good = _mm256_and_pd(good, in_range(y, -2147483648.0, 2147483648.0));
    return y;
  }

  [[gnu::target("avx2")]] static __m256d sum(__m256d a, __m256d xa, __m256d b, __m256d xb) {
    return _mm256_add_pd(_mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(a, xa)), _mm256_mul_pd(b, xb));
  }

  [[gnu::target("avx2")]] static __m256d load(const int32_t* p) {
    return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }

  // Pixels x .. x + 4 Quads - 1 of the plane rows p0, p1, p2, interleaved
  // into out[3 x ..]; false, with nothing written, unless all of them pass.
  template <int Quads>
  [[gnu::target("avx2")]] bool apply(const int32_t* p0, const int32_t* p1, const int32_t* p2, int x,
                                     int32_t* out) const {
    __m256d x0[Quads], x1[Quads], x2[Quads], good[Quads];
    __m256d within = _mm256_castsi256_pd(_mm256_set1_epi32(-1));
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFF));
    for (int q = 0; q < Quads; ++q) {
      x0[q] = load(p0 + x + 4 * q);
      x1[q] = load(p1 + x + 4 * q);
      x2[q] = load(p2 + x + 4 * q);
      const __m256d largest =
          _mm256_max_pd(_mm256_and_pd(x0[q], magnitude),
                        _mm256_max_pd(_mm256_and_pd(x1[q], magnitude), _mm256_and_pd(x2[q], magnitude)));
      within = _mm256_and_pd(within, _mm256_cmp_pd(largest, bounded, _CMP_LE_OQ));
    }
    if (_mm256_movemask_pd(within) == 15) {
      // No step can leave its range: floor(s + 0.5) directly, no checks.
      for (int q = 0; q < Quads; ++q) {
        x2[q] = _mm256_round_pd(_mm256_mul_pd(x2[q], m[8]), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        x2[q] = quick_lift(x2[q], sum(m[0], x0[q], m[4], x1[q]));
        x0[q] = quick_lift(x0[q], sum(m[1], x1[q], m[2], x2[q]));
        x1[q] = quick_lift(x1[q], sum(m[3], x0[q], m[5], x2[q]));
        x2[q] = quick_lift(x2[q], sum(m[6], x0[q], m[7], x1[q]));
      }
      store<Quads>(x0, x1, x2, x, out);
      return true;
    }
    for (int q = 0; q < Quads; ++q) {
      const __m256d scaled = _mm256_mul_pd(x2[q], m[8]);
      good[q] = in_range(scaled, -2147483648.0, 2147483648.0);
      x2[q] = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(_mm256_and_pd(scaled, good[q])));
    }
    for (int q = 0; q < Quads; ++q) x2[q] = lift(x2[q], sum(m[0], x0[q], m[4], x1[q]), good[q]);
    for (int q = 0; q < Quads; ++q) x0[q] = lift(x0[q], sum(m[1], x1[q], m[2], x2[q]), good[q]);
    for (int q = 0; q < Quads; ++q) x1[q] = lift(x1[q], sum(m[3], x0[q], m[5], x2[q]), good[q]);
    for (int q = 0; q < Quads; ++q) x2[q] = lift(x2[q], sum(m[6], x0[q], m[7], x1[q]), good[q]);
    __m256d all = good[0];
    for (int q = 1; q < Quads; ++q) all = _mm256_and_pd(all, good[q]);
    if (_mm256_movemask_pd(all) != 15) return false;
    store<Quads>(x0, x1, x2, x, out);
    return true;
  }

  [[gnu::target("avx2")]] static __m256d quick_lift(__m256d x, __m256d s) {
    return _mm256_add_pd(x, _mm256_round_pd(_mm256_add_pd(s, _mm256_set1_pd(0.5)),
                                            _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
  }

  // The lifted channels of pixels x .. x + 4 Quads - 1, interleaved into out[3 x ..].
  template <int Quads>
  [[gnu::target("avx2")]] void store(const __m256d* x0, const __m256d* x1, const __m256d* x2, int x,
                                     int32_t* out) const {
    for (int q = 0; q < Quads; ++q) {
      alignas(16) int32_t lifted[3][4];
      _mm_store_si128(reinterpret_cast<__m128i*>(lifted[0]), _mm256_cvttpd_epi32(x0[q]));
      _mm_store_si128(reinterpret_cast<__m128i*>(lifted[1]), _mm256_cvttpd_epi32(x1[q]));
      _mm_store_si128(reinterpret_cast<__m128i*>(lifted[2]), _mm256_cvttpd_epi32(x2[q]));
      int32_t* target = out + 3 * (x + 4 * q);
      for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 3; ++j) target[3 * i + j] = lifted[source[j]][i];
    }
  }
};
#endif

}  // namespace

namespace {

// The inverse of `pixels` interleaved three-channel pixels in place. A pixel
// the unchecked inverse cannot take goes the checked way, which fails with
// its message.
void inverse_pixels3(const double* factors, const int32_t* permutation, int32_t* samples, int64_t pixels) {
  int64_t p = 0;
#if defined(__SSE2__)
  const PairInverse pair(factors, permutation);
  for (; p + 7 < pixels; p += 8) {
    if (pair.apply<4>(samples + p * 3)) continue;
    for (int64_t q = p; q < p + 8; ++q) inverse_pixel3_or_fail(factors, permutation, samples + q * 3);
  }
  for (; p + 1 < pixels; p += 2) {
    if (pair.apply<1>(samples + p * 3)) continue;
    inverse_pixel3_or_fail(factors, permutation, samples + p * 3);
    inverse_pixel3_or_fail(factors, permutation, samples + (p + 1) * 3);
  }
#endif
  for (; p < pixels; ++p) inverse_pixel3_or_fail(factors, permutation, samples + p * 3);
}

}  // namespace

void apply_colour_transform(CodingState& state, std::vector<double> matrix, bool forward) {
  apply_colour_transform(state, std::move(matrix), forward, 0, int64_t{state.width} * state.height);
}

void apply_colour_transform(CodingState& state, std::vector<double> matrix, bool forward, int64_t first,
                            int64_t end) {
  const int n = state.channels;
  const std::vector<int32_t> permutation = factorise_or_fail(n, matrix);
  const int64_t pixels = end - first;
  int32_t* samples = state.image.data() + first * n;
  if (n == 3 && !forward) {
    inverse_pixels3(matrix.data(), permutation.data(), samples, pixels);
  } else if (n == 3) {
    // Each pixel the branch-free way, or the checked way where that would
    // fail, with its message.
    for (int64_t p = 0; p < pixels; ++p)
      if (!forward_pixel3(matrix.data(), permutation.data(), samples + p * n))
        transform_pixel_impl<3>(n, matrix.data(), permutation.data(), samples + p * n, forward);
  } else {
    for (int64_t p = 0; p < pixels; ++p) transform_pixel(n, matrix.data(), permutation.data(), samples + p * n, forward);
  }
}

namespace {

// The rows one at a time: interleaved, then transformed in place.
void inverse_from_plane_rows_portable(CodingState& state, const std::vector<double>& matrix,
                                      const std::vector<int32_t>& permutation, int y0, int y1) {
  const int n = state.channels, w = state.width;
  std::vector<int32_t> row(static_cast<size_t>(n) * static_cast<size_t>(w));
  for (int y = y0; y < y1; ++y) {
    int32_t* samples = state.image.data() + static_cast<ptrdiff_t>(y) * n * w;
    interleave_row(samples, n, w, row.data());
    if (n == 3) {
      inverse_pixels3(matrix.data(), permutation.data(), samples, w);
      continue;
    }
    for (int x = 0; x < w; ++x)
      transform_pixel(n, matrix.data(), permutation.data(), samples + static_cast<ptrdiff_t>(x) * n, false);
  }
}

#if KV_COLOUR_VECTORS
// Three channels: eight or four pixels at a time straight from the plane
// rows into the interleaved row; a group with a pixel the vectors cannot
// take is interleaved as it stands and goes the checked way, pixel by pixel
// in order, as the rest of the row.
[[gnu::target("avx2")]] void inverse_from_plane_rows_wide(CodingState& state, const std::vector<double>& matrix,
                                                          const std::vector<int32_t>& permutation, int y0, int y1) {
  const int n = state.channels, w = state.width;
  const QuadInverse quad(matrix.data(), permutation.data());
  std::vector<int32_t> row(static_cast<size_t>(n) * static_cast<size_t>(w));
  int32_t* out = row.data();
  for (int y = y0; y < y1; ++y) {
    int32_t* samples = state.image.data() + static_cast<ptrdiff_t>(y) * n * w;
    const int32_t *p0 = samples, *p1 = samples + w, *p2 = samples + 2 * w;
    auto checked = [&](int from, int to) {
      for (int x = from; x < to; ++x) {
        int32_t* pixel = out + 3 * x;
        pixel[0] = p0[x];
        pixel[1] = p1[x];
        pixel[2] = p2[x];
        inverse_pixel3_or_fail(matrix.data(), permutation.data(), pixel);
      }
    };
    int x = 0;
    for (; x + 8 <= w; x += 8)
      if (!quad.apply<2>(p0, p1, p2, x, out)) checked(x, x + 8);
    for (; x + 4 <= w; x += 4)
      if (!quad.apply<1>(p0, p1, p2, x, out)) checked(x, x + 4);
    checked(x, w);
    std::copy(row.begin(), row.end(), samples);
  }
}
#endif

}  // namespace

void inverse_colour_from_plane_rows(CodingState& state, std::vector<double> matrix) {
  inverse_colour_from_plane_rows(state, std::move(matrix), 0, state.height);
}

void inverse_colour_from_plane_rows(CodingState& state, std::vector<double> matrix, int y0, int y1) {
  const std::vector<int32_t> permutation = factorise_or_fail(state.channels, matrix);
  // Chosen by a plain test and call: GCC's call through a function's
  // per-processor versions leaves the caller's destructors out when a
  // failure is thrown through it (seen as leaks under the sanitizers).
#if KV_COLOUR_VECTORS
  if (state.channels == 3 && __builtin_cpu_supports("avx2"))
    return inverse_from_plane_rows_wide(state, matrix, permutation, y0, y1);
#endif
  inverse_from_plane_rows_portable(state, matrix, permutation, y0, y1);
}

}  // namespace kv
