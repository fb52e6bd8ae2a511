// The three-channel colour inverse built for processors with SSE2 (src/CMakeLists.txt).
#include <emmintrin.h>

#include <cstdint>
#include <utility>

#include "dsp/colour_kernels.h"

namespace kv::dsp_sse2 {

namespace {

// inverse_pixel3 for two pixels at once, one per lane, the samples held as
// doubles (exact: every one is an int32). Narrower ranges than the checked
// path's keep every conversion within 32 bits; a pixel pair outside them, or
// one the checked path would refuse, is left to inverse_pixel3.
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

}  // namespace

// Eight pixels, then pairs, side by side; a group the vectors refuse goes
// pixel by pixel through inverse_pixel3.
int64_t inverse_colour3(const double* factors, const int32_t* permutation, int32_t* samples, int64_t from,
                        int64_t pixels) {
  const PairInverse pair(factors, permutation);
  int64_t p = from;
  auto one_by_one = [&](int64_t end) {
    for (; p < end; ++p)
      if (!inverse_pixel3(factors, permutation, samples + p * 3)) return false;
    return true;
  };
  while (p + 7 < pixels) {
    if (pair.apply<4>(samples + p * 3)) {
      p += 8;
    } else if (!one_by_one(p + 8)) {
      return p;
    }
  }
  while (p + 1 < pixels) {
    if (pair.apply<1>(samples + p * 3)) {
      p += 2;
    } else if (!one_by_one(p + 2)) {
      return p;
    }
  }
  return one_by_one(pixels) ? pixels : p;
}

}  // namespace kv::dsp_sse2
