// The band items (band_items.h) built for processors with AVX2
// (src/CMakeLists.txt).
#include <immintrin.h>

#include <bit>
#include <cstdint>

#include "dsp/band_items.h"

namespace kv::dsp_avx2 {

namespace {

// Per lane mask: the indices of its set lanes, in order, one per byte.
constexpr struct CompressOrder {
  uint64_t of[256];
  constexpr CompressOrder() : of() {
    for (int mask = 0; mask < 256; ++mask) {
      int k = 0;
      for (int lane = 0; lane < 8; ++lane)
        if (mask >> lane & 1) of[mask] |= uint64_t(lane) << (8 * k++);
    }
  }
} kCompressOrder;

// Eight ones then eight zeros: a load at 8 - k gives the mask of the first k lanes.
constexpr int32_t kFirstLanes[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};

// A lane is listed when its magnitude reaches `least`; its quotient indexes
// the bin table and gives the rebuilt value. The quotient is a double
// division: for steps from 1 to 2^24 and quotients up to 1024, the distance
// of |v| / step from the next integer (at least 2^-24) is far above the
// division's error (below 2^-42), so it truncates to the exact quotient. The
// listed lanes' positions and bins are packed to the front with one
// permutation, and their runs follow from the positions.
struct VectorBand {
  __m256i least, past_limit, magnitude_item, run_item;
  __m256d step;
  __m256i bins_low, bins_high;  // small_bin[0..7] and [8..15]
  __m256i signs_first, signs_second;  // the sign items where the shuffles below leave gaps for them
  const int32_t* small_bin;
};

// small_bin[index] for each lane: from two registers where the lanes that
// matter (`relevant`) all index below 16, the common case; else gathered.
[[gnu::always_inline]] inline __m256i small_bins(const VectorBand& c, __m256i index, __m256i relevant) {
  const __m256i beyond = _mm256_cmpgt_epi32(index, _mm256_set1_epi32(15));
  if (_mm256_testz_si256(beyond, relevant)) [[likely]] {
    const __m256i high = _mm256_cmpgt_epi32(index, _mm256_set1_epi32(7));
    return _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(c.bins_low, index),
                              _mm256_permutevar8x32_epi32(c.bins_high, index), high);
  }
  return _mm256_i32gather_epi32(c.small_bin, index, 4);
}

// One group of `lanes` (8 unless kPartial); false, with nothing written,
// where a listed lane is beyond the tables.
template <bool kExact, bool kPartial>
[[gnu::always_inline]] inline bool vector_chunk(const VectorBand& c, int32_t* values, int p, int lanes, int& previous,
                                                uint16_t*& out) {
  __m256i lane_mask = _mm256_set1_epi32(-1);
  int32_t* at = values + p;
  __m256i v;
  if constexpr (kPartial) {
    lane_mask = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kFirstLanes + 8 - lanes));
    v = _mm256_maskload_epi32(at, lane_mask);
  } else {
    v = _mm256_loadu_si256(reinterpret_cast<__m256i*>(at));
  }
  const __m256i a = _mm256_abs_epi32(v);
  const __m256i listed = _mm256_cmpeq_epi32(_mm256_max_epu32(a, c.least), a);
  // Lanes past a partial chunk's end were loaded as 0 and are not listed.
  const unsigned bits = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(listed)));
  if (bits == 0) {  // common in the fine bands
    if constexpr (!kExact) {
      if constexpr (kPartial) {
        _mm256_maskstore_epi32(at, lane_mask, _mm256_setzero_si256());
      } else {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), _mm256_setzero_si256());
      }
    }
    return true;
  }
  __m256i q = a;
  __m256d q_low, q_high;  // the quotients as doubles
  if constexpr (!kExact) {
    q_low = _mm256_round_pd(_mm256_div_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(a)), c.step),
                            _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    q_high = _mm256_round_pd(_mm256_div_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(a, 1)), c.step),
                             _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    q = _mm256_set_m128i(_mm256_cvttpd_epi32(q_high), _mm256_cvttpd_epi32(q_low));
  }
  // -2^31 (the magnitude 2^31) compares as past every limit.
  const __m256i beyond = _mm256_cmpeq_epi32(_mm256_max_epu32(q, c.past_limit), q);
  if (!_mm256_testz_si256(beyond, listed)) [[unlikely]]
    return false;
  const __m256i bins = small_bins(c, q, listed);
  if constexpr (!kExact) {
    // (q + 0.35) * step truncated; 0 where not listed.
    const __m256d third = _mm256_set1_pd(0.35);
    const __m128i r_low = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_add_pd(q_low, third), c.step));
    const __m128i r_high = _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_add_pd(q_high, third), c.step));
    const __m256i rebuilt = _mm256_sign_epi32(_mm256_and_si256(_mm256_set_m128i(r_high, r_low), listed), v);
    if constexpr (kPartial) {
      _mm256_maskstore_epi32(at, lane_mask, rebuilt);
    } else {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), rebuilt);
    }
  }
  const __m256i order =
      _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kCompressOrder.of[bits])));
  const __m256i positions =
      _mm256_permutevar8x32_epi32(_mm256_add_epi32(_mm256_set1_epi32(p), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)), order);
  // Each listed position's predecessor: the one before it, the first one's from earlier.
  const __m256i before = _mm256_blend_epi32(
      _mm256_permutevar8x32_epi32(positions, _mm256_setr_epi32(0, 0, 1, 2, 3, 4, 5, 6)),
      _mm256_castsi128_si256(_mm_cvtsi32_si128(previous)), 1);
  // Lanes past the listed ones hold any position: the mask keeps them within the table.
  const __m256i runs = _mm256_and_si256(_mm256_sub_epi32(_mm256_sub_epi32(positions, before), _mm256_set1_epi32(1)),
                                        _mm256_set1_epi32(1023));
  const __m256i magnitude_items = _mm256_add_epi32(_mm256_permutevar8x32_epi32(bins, order), c.magnitude_item);
  const __m256i first_listed =
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kFirstLanes + 8 - std::popcount(bits)));
  const __m256i run_items = _mm256_add_epi32(small_bins(c, runs, first_listed), c.run_item);
  // Per 128-bit half: four magnitude items, four run items, as 16 bits;
  // then interleaved with the sign item as magnitude, sign, run.
  const __m256i packed = _mm256_packus_epi32(magnitude_items, run_items);
  const __m256i first = _mm256_or_si256(
      _mm256_shuffle_epi8(packed, _mm256_setr_epi8(0, 1, -128, -128, 8, 9, 2, 3, -128, -128, 10, 11, 4, 5, -128, -128,
                                                   0, 1, -128, -128, 8, 9, 2, 3, -128, -128, 10, 11, 4, 5, -128, -128)),
      c.signs_first);
  const __m256i second = _mm256_or_si256(
      _mm256_shuffle_epi8(packed, _mm256_setr_epi8(12, 13, 6, 7, -128, -128, 14, 15, -128, -128, -128, -128, -128, -128,
                                                   -128, -128, 12, 13, 6, 7, -128, -128, 14, 15, -128, -128, -128, -128,
                                                   -128, -128, -128, -128)),
      c.signs_second);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(first));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8), _mm256_castsi256_si128(second));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm256_extracti128_si256(first, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 20), _mm256_extracti128_si256(second, 1));
  previous = p + 31 - std::countl_zero(bits);
  out += 3 * std::popcount(bits);
  return true;
}

template <bool kExact>
int vector_band_items(const BandItemTables& t, const int32_t* small_bin, int32_t* values, int p, int end, int& previous,
                      uint16_t*& out) {
  const __m256i sign = _mm256_set1_epi16(static_cast<int16_t>(t.sign_item));
  const VectorBand c = {
      _mm256_set1_epi32(static_cast<int32_t>(t.least)),
      _mm256_set1_epi32(static_cast<int32_t>(t.past_limit)),
      _mm256_set1_epi32(t.magnitude_item),
      _mm256_set1_epi32(t.run_item),
      _mm256_set1_pd(t.step),
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(small_bin)),
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(small_bin + 8)),
      _mm256_and_si256(sign, _mm256_setr_epi16(0, -1, 0, 0, -1, 0, 0, -1, 0, -1, 0, 0, -1, 0, 0, -1)),
      _mm256_and_si256(sign, _mm256_setr_epi16(0, 0, -1, 0, 0, 0, 0, 0, 0, 0, -1, 0, 0, 0, 0, 0)),
      small_bin};
  // Locals while the values are written: `previous` could alias them.
  int last = previous;
  uint16_t* items = out;
  for (; end - p >= 8; p += 8)
    if (!vector_chunk<kExact, false>(c, values, p, 8, last, items)) break;
  if (p < end && end - p < 8 && vector_chunk<kExact, true>(c, values, p, end - p, last, items)) p = end;
  previous = last;
  out = items;
  return p < end ? p : end;
}

}  // namespace

int band_items(const BandItemTables& tables, const int32_t* small_bin, int32_t* values, int p, int end, int& previous,
               uint16_t*& out) {
  return tables.exact ? vector_band_items<true>(tables, small_bin, values, p, end, previous, out)
                      : vector_band_items<false>(tables, small_bin, values, p, end, previous, out);
}

}  // namespace kv::dsp_avx2
