// The three-channel colour inverse built for processors with AVX2 (src/CMakeLists.txt).
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <utility>

#include "dsp/colour_kernels.h"

namespace kv::dsp_avx2 {

namespace {

// PairInverse with four pixels to a vector, read from the three planes' rows
// (where they lie side by side) and written interleaved; the same
// operations in the same order, lane by lane.
struct QuadInverse {
  __m256d m[9];
  int source[3];
  // Samples up to this magnitude keep every step's sum and result far inside
  // 32 bits (0 where the factors allow no such bound).
  __m256d bounded;

  QuadInverse(const double* factors, const int32_t* permutation) {
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
    auto larger = [](double a, double b) { return a < b ? b : a; };  // std::max, kept inside this file
    double factor = 0.0;
    for (int i = 0; i < 8; ++i) factor = larger(factor, std::fabs(f[i]));
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
    const double a = larger(larger(b0.a, b1.a), b2.a), c = larger(larger(b0.c, b1.c), b2.c);
    const double limit = 1073741824.0;  // 2^30
    if (!(a >= 1.0 && a < limit && c < limit / 2)) return 0.0;
    return std::floor((limit - c) / a);
  }

  static __m256d in_range(__m256d v, double lowest, double above) {
    return _mm256_and_pd(_mm256_cmp_pd(v, _mm256_set1_pd(lowest), _CMP_GE_OQ),
                         _mm256_cmp_pd(v, _mm256_set1_pd(above), _CMP_LT_OQ));
  }

  static __m256d lift(__m256d x, __m256d s, __m256d& good) {
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

  static __m256d sum(__m256d a, __m256d xa, __m256d b, __m256d xb) {
    return _mm256_add_pd(_mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(a, xa)), _mm256_mul_pd(b, xb));
  }

  static __m256d load(const int32_t* p) {
    return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }

  // Pixels x .. x + 4 Quads - 1 of the plane rows p0, p1, p2, interleaved
  // into out[3 x ..]; false, with nothing written, unless all of them pass.
  template <int Quads>
  bool apply(const int32_t* p0, const int32_t* p1, const int32_t* p2, int x,
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

  static __m256d quick_lift(__m256d x, __m256d s) {
    return _mm256_add_pd(x, _mm256_round_pd(_mm256_add_pd(s, _mm256_set1_pd(0.5)),
                                            _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
  }

  // The lifted channels of pixels x .. x + 4 Quads - 1, interleaved into out[3 x ..].
  template <int Quads>
  void store(const __m256d* x0, const __m256d* x1, const __m256d* x2, int x,
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

}  // namespace

// Eight or four pixels at a time straight from the plane rows into the
// interleaved row; a group the vectors refuse goes pixel by pixel through
// inverse_pixel3.
int inverse_colour3_planes(const double* factors, const int32_t* permutation, const int32_t* p0, const int32_t* p1,
                           const int32_t* p2, int from, int w, int32_t* out) {
  const QuadInverse quad(factors, permutation);
  int x = from;
  auto one_by_one = [&](int end) {
    for (; x < end; ++x) {
      int32_t* pixel = out + 3 * x;
      pixel[0] = p0[x];
      pixel[1] = p1[x];
      pixel[2] = p2[x];
      if (!inverse_pixel3(factors, permutation, pixel)) return false;
    }
    return true;
  };
  while (x + 8 <= w) {
    if (quad.apply<2>(p0, p1, p2, x, out)) {
      x += 8;
    } else if (!one_by_one(x + 8)) {
      return x;
    }
  }
  while (x + 4 <= w) {
    if (quad.apply<1>(p0, p1, p2, x, out)) {
      x += 4;
    } else if (!one_by_one(x + 4)) {
      return x;
    }
  }
  return one_by_one(w) ? w : x;
}

}  // namespace kv::dsp_avx2
