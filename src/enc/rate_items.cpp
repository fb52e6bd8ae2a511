#include "enc/rate_items.h"

#include <array>
#include <bit>
#include <cmath>

#include "enc/estimates.h"

// On x86-64 the writer is built twice, once for processors with 256-bit
// integer vectors, chosen at load time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KV_BAND_VECTORS 1
#include <immintrin.h>
#else
#define KV_BAND_VECTORS 0
#endif

namespace kv {

void prepare_step_tables(const float quant[64], EstimateTree& tree, int first_row, int last_row) {
  if (!std::equal(quant, quant + 64, tree.steps) || tree.rebuilt.empty()) {
    std::copy(quant, quant + 64, tree.steps);
    tree.rows_made = 0;
    for (int i = 0; i < 64; ++i) {
      const double step = quant[i];
      BandQuantiser& band = tree.bands[i];
      band.divider = StepDivider(step);
      // Magnitudes below the step quantise to 0.
      band.least = static_cast<uint32_t>(std::min(std::ceil(step), 4294967295.0));
      band.limit = 0;
      band.rebuilt_row = 0;
      band.magnitude_item = static_cast<uint16_t>(i * kRateRow);
      band.run_item = static_cast<uint16_t>((63 - i) * kRateRow);
      band.exact = step == 1.0;
      band.double_quotient = band.divider.integer_path && step >= 1.0;
    }
    // Row 0 of the table, for entries without a row of their own: every
    // magnitude from 1 on goes past its limit of 0 to rebuilt_beyond.
    tree.rebuilt.clear();
    tree.rebuilt.reserve(65 * (kRebuiltTable + 1));  // rows never move, nor are copied
    tree.rebuilt.resize(kRebuiltTable + 1, 0);
  }
  // Rows are made for the entries a tree uses (a few of 64: 4 KiB each, whose
  // pages would otherwise be touched for nothing).
  for (int i = std::max(first_row, 0); i <= std::min(last_row, 63); ++i) {
    if (tree.rows_made >> i & 1) continue;
    tree.rows_made |= uint64_t{1} << i;
    const double step = quant[i];
    BandQuantiser& band = tree.bands[i];
    band.rebuilt_row = static_cast<uint32_t>(tree.rebuilt.size());
    // Entry 0 of a row stays 0: what a coefficient quantised to 0 rebuilds as.
    tree.rebuilt.resize(tree.rebuilt.size() + kRebuiltTable + 1, 0);
    int32_t* row = tree.rebuilt.data() + band.rebuilt_row;
    // Up to the first magnitude dequantised() refuses: that one and the
    // larger ones go to it.
    int a = 1;
    for (; a <= kRebuiltTable && (a + 0.35) * step < 2147483648.0; ++a) row[a] = dequantised(a, step);
    band.limit = static_cast<uint32_t>(a - 1);
  }
}

int32_t rebuilt_beyond(int32_t a, double step) { return dequantised(a, step); }

uint16_t* write_exact_band_items(const EncoderState& state, const int32_t* values, int begin, int end, int model,
                                 uint16_t* out, bool& all_zero) {
  const uint16_t magnitude_item = static_cast<uint16_t>(model * kRateRow);
  const uint16_t run_item = static_cast<uint16_t>((63 - model) * kRateRow);
  int32_t run = 0;
  for (int p = begin; p < end; ++p) {
    const int32_t e = values[p];
    const int nonzero = e != 0;
    out[0] = static_cast<uint16_t>(magnitude_item + item_bin(state.bins, magnitude_of(e)));
    out[1] = kSignItem;
    out[2] = static_cast<uint16_t>(run_item + state.bins.small_bin[run]);
    out += 3 * nonzero;
    run = (run + 1) & (nonzero - 1);  // 0 after a nonzero coefficient
  }
  all_zero = all_zero && run == end - begin;
  if (run > 0) *out++ = magnitude_item;
  return out;
}

namespace {

// The items of a band with a step: a first pass lists the coefficients that
// are not 0 after quantising (those of at least the step), without a branch
// per coefficient; items and values follow from the list alone.
uint16_t* listed_band_items(const EncoderState& state, const BandQuantiser& band, const int32_t* rebuilt,
                            int32_t* values, int begin, int end, uint16_t* out, bool& all_zero) {
  int32_t positions[kSplitMaxArea], listed[kSplitMaxArea];
  int count = 0;
  for (int p = begin; p < end; ++p) {
    const int32_t v = values[p];
    positions[count] = p;
    listed[count] = v;
    count += magnitude_of(v) >= band.least;
  }
  std::fill(values + begin, values + end, 0);
  int32_t previous = begin - 1;
  for (int i = 0; i < count; ++i) {
    const int p = positions[i];
    const int32_t sign = listed[i] >> 31;
    const uint32_t a = band.divider.magnitude_quotient(magnitude_of(listed[i]));
    out[0] = static_cast<uint16_t>(band.magnitude_item + item_bin(state.bins, a));
    out[1] = kSignItem;
    out[2] = static_cast<uint16_t>(band.run_item + state.bins.small_bin[p - previous - 1]);
    out += 3;
    previous = p;
    // Rebuilding is odd in the value: the table holds it by magnitude.
    int32_t r;
    if (a <= band.limit) [[likely]] {
      r = rebuilt[a];
    } else {
      r = rebuilt_beyond(static_cast<int32_t>(a), band.divider.step);
    }
    values[p] = (r ^ sign) - sign;
  }
  all_zero = all_zero && count == 0;
  if (previous < end - 1) *out++ = band.magnitude_item;
  return out;
}

#if KV_BAND_VECTORS

// Items and rebuilt values of positions [p, end) of a band, one coefficient
// at a time; `previous` is the last nonzero position before p.
inline uint16_t* scalar_items(const EncoderState& state, const BandQuantiser& band, const int32_t* rebuilt,
                              int32_t* values, int p, int end, int& previous, uint16_t* out) {
  for (; p < end; ++p) {
    const int32_t v = values[p];
    const uint32_t a = magnitude_of(v);
    if (a < band.least) {
      if (!band.exact) values[p] = 0;
      continue;
    }
    const uint32_t q = band.exact ? a : band.divider.magnitude_quotient(a);
    out[0] = static_cast<uint16_t>(band.magnitude_item + item_bin(state.bins, q));
    out[1] = kSignItem;
    out[2] = static_cast<uint16_t>(band.run_item + state.bins.small_bin[p - previous - 1]);
    out += 3;
    previous = p;
    if (!band.exact) {
      const int32_t r = q <= band.limit ? rebuilt[q] : rebuilt_beyond(static_cast<int32_t>(q), band.divider.step);
      values[p] = v < 0 ? -r : r;
    }
  }
  return out;
}

// Per lane mask: the indices of its set lanes, in order, one per byte.
constexpr std::array<uint64_t, 256> kCompressOrder = [] {
  std::array<uint64_t, 256> table{};
  for (int mask = 0; mask < 256; ++mask) {
    int k = 0;
    for (int lane = 0; lane < 8; ++lane)
      if (mask >> lane & 1) table[static_cast<size_t>(mask)] |= uint64_t(lane) << (8 * k++);
  }
  return table;
}();

// Eight ones then eight zeros: a load at 8 - k gives the mask of the first k lanes.
constexpr int32_t kFirstLanes[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};

// Items of eight coefficients at a time. A lane is listed when its
// magnitude reaches `least`; its quotient indexes the bin table and gives
// the rebuilt value. The quotient is a double division: for steps from 1 to
// 2^24 and quotients up to 1024, the distance of |v| / step from the next
// integer (at least 2^-24) is far above the division's error (below
// 2^-42), so it truncates to the exact quotient. The listed lanes'
// positions and bins are packed to the front with one permutation, and
// their runs follow from the positions. Chunks with a listed lane past the
// tables (a quotient beyond 1024 or the rebuilt limit, or 2^31) go the
// scalar way.
struct VectorBand {
  __m256i least, past_limit, magnitude_item, run_item;
  __m256d step;
  __m256i bins_low, bins_high;  // small_bin[0..7] and [8..15]
};

// small_bin[index] for each lane: from two registers where the lanes that
// matter (`relevant`) all index below 16, the common case; else gathered.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i small_bins(const EncoderState& state, const VectorBand& c,
                                                                       __m256i index, __m256i relevant) {
  const __m256i beyond = _mm256_cmpgt_epi32(index, _mm256_set1_epi32(15));
  if (_mm256_testz_si256(beyond, relevant)) [[likely]] {
    const __m256i high = _mm256_cmpgt_epi32(index, _mm256_set1_epi32(7));
    return _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(c.bins_low, index),
                              _mm256_permutevar8x32_epi32(c.bins_high, index), high);
  }
  return _mm256_i32gather_epi32(state.bins.small_bin, index, 4);
}

template <bool kExact, bool kPartial>
[[gnu::target("avx2"), gnu::always_inline]] inline uint16_t* vector_chunk(const EncoderState& state,
                                                                           const BandQuantiser& band,
                                                                           const int32_t* rebuilt_row,
                                                                           const VectorBand& c, int32_t* values,
                                                                           int p, int lanes, int& previous,
                                                                           uint16_t* out) {
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
    return out;
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
    return scalar_items(state, band, rebuilt_row, values, p, p + lanes, previous, out);
  const __m256i bins = small_bins(state, c, q, listed);
  if constexpr (!kExact) {
    // dequantised(q, step) as it computes it, (q + 0.35) * step truncated
    // (the table's values, quicker than gathering them); 0 where not listed.
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
  const __m256i order = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&kCompressOrder[bits])));
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
  const __m256i run_items = _mm256_add_epi32(small_bins(state, c, runs, first_listed), c.run_item);
  // Per 128-bit half: four magnitude items, four run items, as 16 bits;
  // then interleaved with the sign item as magnitude, sign, run.
  const __m256i packed = _mm256_packus_epi32(magnitude_items, run_items);
  const __m256i first = _mm256_or_si256(
      _mm256_shuffle_epi8(packed, _mm256_setr_epi8(0, 1, -128, -128, 8, 9, 2, 3, -128, -128, 10, 11, 4, 5, -128, -128,
                                                   0, 1, -128, -128, 8, 9, 2, 3, -128, -128, 10, 11, 4, 5, -128, -128)),
      _mm256_setr_epi16(0, kSignItem, 0, 0, kSignItem, 0, 0, kSignItem, 0, kSignItem, 0, 0, kSignItem, 0, 0, kSignItem));
  const __m256i second = _mm256_or_si256(
      _mm256_shuffle_epi8(packed, _mm256_setr_epi8(12, 13, 6, 7, -128, -128, 14, 15, -128, -128, -128, -128, -128, -128,
                                                   -128, -128, 12, 13, 6, 7, -128, -128, 14, 15, -128, -128, -128, -128,
                                                   -128, -128, -128, -128)),
      _mm256_setr_epi16(0, 0, kSignItem, 0, 0, 0, 0, 0, 0, 0, kSignItem, 0, 0, 0, 0, 0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(first));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8), _mm256_castsi256_si128(second));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm256_extracti128_si256(first, 1));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 20), _mm256_extracti128_si256(second, 1));
  previous = p + 31 - std::countl_zero(bits);
  return out + 3 * std::popcount(bits);
}

template <bool kExact>
[[gnu::target("avx2")]] uint16_t* vector_band_items(const EncoderState& state, const BandQuantiser& band,
                                                    const int32_t* rebuilt, int32_t* values, int begin, int end,
                                                    int& previous, uint16_t* out) {
  const VectorBand c = {_mm256_set1_epi32(static_cast<int32_t>(band.least)),
                        _mm256_set1_epi32(static_cast<int32_t>(kExact ? 1025 : band.limit + 1)),
                        _mm256_set1_epi32(band.magnitude_item),
                        _mm256_set1_epi32(band.run_item),
                        _mm256_set1_pd(band.divider.step),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state.bins.small_bin)),
                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state.bins.small_bin + 8))};
  int p = begin;
  for (; end - p >= 8; p += 8) out = vector_chunk<kExact, false>(state, band, rebuilt, c, values, p, 8, previous, out);
  if (p < end) out = vector_chunk<kExact, true>(state, band, rebuilt, c, values, p, end - p, previous, out);
  return out;
}

#endif

}  // namespace

uint16_t* write_rate_items_portable(const EncoderState& state, const EstimateTree& tree, const BandLayout& layout,
                                    int32_t* values, uint16_t* out, bool& all_zero) {
  all_zero = true;
  for (int j = layout.levels + 1; j >= 1; --j) {
    const BandQuantiser& band = tree.bands[tree.level + j];
    const int begin = layout.end[j + 1], end = layout.end[j];
    if (band.exact) {
      out = write_exact_band_items(state, values, begin, end, tree.level + j, out, all_zero);
    } else {
      out = listed_band_items(state, band, tree.rebuilt.data() + band.rebuilt_row, values, begin, end, out, all_zero);
    }
  }
  return out;
}

#if KV_BAND_VECTORS

namespace {

// The plain copies go unused where the whole build targets AVX2.
[[gnu::target("default"), maybe_unused]] uint16_t* band_items(const EncoderState& state, const EstimateTree& tree,
                                                              const BandLayout& layout, int32_t* values,
                                                              uint16_t* out, bool& all_zero, uint32_t) {
  return write_rate_items_portable(state, tree, layout, values, out, all_zero);
}

[[gnu::target("avx2")]] uint16_t* band_items(const EncoderState& state, const EstimateTree& tree,
                                             const BandLayout& layout, int32_t* values, uint16_t* out,
                                             bool& all_zero, uint32_t bands) {
  bool listed = false;
  for (int j = layout.levels + 1; j >= 1; --j) {
    const BandQuantiser& band = tree.bands[tree.level + j];
    if (!(bands >> j & 1)) {  // every value 0 already: only the terminator
      *out++ = band.magnitude_item;
      continue;
    }
    const int32_t* rebuilt = tree.rebuilt.data() + band.rebuilt_row;
    const int begin = layout.end[j + 1], end = layout.end[j];
    int previous = begin - 1;
    // Every block has two or three bands of one to three coefficients: one
    // at a time, as the steps the double quotient does not cover.
    if (end - begin < 4 || !band.double_quotient) {
      out = scalar_items(state, band, rebuilt, values, begin, end, previous, out);
    } else if (band.exact) {
      out = vector_band_items<true>(state, band, rebuilt, values, begin, end, previous, out);
    } else {
      out = vector_band_items<false>(state, band, rebuilt, values, begin, end, previous, out);
    }
    listed = listed || previous >= begin;
    if (previous < end - 1) *out++ = band.magnitude_item;
  }
  all_zero = !listed;
  return out;
}

[[gnu::target("default"), maybe_unused]] uint16_t* exact_items(const EncoderState& state, const EstimateTree&,
                                                               int entry, int32_t* values, int begin, int end,
                                                               uint16_t* out, bool& all_zero) {
  return write_exact_band_items(state, values, begin, end, entry, out, all_zero);
}

[[gnu::target("avx2")]] uint16_t* exact_items(const EncoderState& state, const EstimateTree& tree, int entry,
                                              int32_t* values, int begin, int end, uint16_t* out,
                                              bool& all_zero) {
  if (end - begin < 8) return write_exact_band_items(state, values, begin, end, entry, out, all_zero);
  const BandQuantiser& band = tree.bands[entry];
  int previous = begin - 1;
  out = vector_band_items<true>(state, band, nullptr, values, begin, end, previous, out);
  all_zero = all_zero && previous < begin;
  if (previous < end - 1) *out++ = band.magnitude_item;
  return out;
}

}  // namespace

uint16_t* write_rate_items(const EncoderState& state, const EstimateTree& tree, const BandLayout& layout,
                           int32_t* values, uint16_t* out, bool& all_zero, uint32_t bands) {
  return band_items(state, tree, layout, values, out, all_zero, bands);
}

uint16_t* write_exact_items(const EncoderState& state, const EstimateTree& tree, int entry, int32_t* values, int begin,
                            int end, uint16_t* out, bool& all_zero) {
  return exact_items(state, tree, entry, values, begin, end, out, all_zero);
}

#else

uint16_t* write_rate_items(const EncoderState& state, const EstimateTree& tree, const BandLayout& layout,
                           int32_t* values, uint16_t* out, bool& all_zero, uint32_t) {
  return write_rate_items_portable(state, tree, layout, values, out, all_zero);
}

uint16_t* write_exact_items(const EncoderState& state, const EstimateTree&, int entry, int32_t* values, int begin,
                            int end, uint16_t* out, bool& all_zero) {
  return write_exact_band_items(state, values, begin, end, entry, out, all_zero);
}

#endif

}  // namespace kv
