// A model of the bank as the decoder keeps it: the counts of a 32-symbol
// AdaptiveModel (same increment, limit and halving), held as running sums.
// Finding a symbol is then a count of the sums not above the target, with no
// chain of dependent, mispredicted branches down a tree, and an update adds
// the increment to the sums above the symbol.
#pragma once

#include <bit>
#include <cstdint>

#include "entropy/adaptive_model.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kv {

inline constexpr int kBinSymbols = 32;

// A reciprocal plus 4: a read's factor (length * this) >> (16 - shift) then
// lands at or above range 2^32 / total and less than 5 above it (the range
// being above 2^14), as its ends need, with no addition after the shift.
inline uint64_t factor_of(uint64_t reciprocal) { return reciprocal + 4; }
inline uint64_t read_factor(uint32_t total) { return factor_of(total_reciprocal(total)); }

struct alignas(64) BinModel {
  // read_factor of the total, kept by every change of the counts: the
  // reader's division by the total is then a multiplication whose factor was
  // ready long before the read.
  uint64_t factor;
  int16_t lead[27];  // places sum + 1, all that a search reads, on one cache line
  // sum[s] = f(0) + ... + f(s - 1): sum[0] = 0, sum[32] the total. Totals stay
  // at most limit + increment (16704), so 16 signed bits hold them and keep
  // the counts apart from the coder's 32-bit registers for the optimiser.
  int16_t sum[kBinSymbols + 1];
};

inline uint32_t bin_total(const BinModel& model) { return static_cast<uint32_t>(model.sum[kBinSymbols]); }

inline void reset_bin_model(BinModel& model) {
  for (int s = 0; s <= kBinSymbols; ++s) model.sum[s] = static_cast<int16_t>(s);
  model.factor = read_factor(bin_total(model));
}

// The symbol s with sum[s] <= target < sum[s + 1], for target < total: the
// number of sums above sum[0] that are not above the target.
inline uint32_t find_bin_plain(const BinModel& model, uint32_t target) {
  const int16_t* above = model.sum + 1;
  uint32_t count = 0;
  for (int s = 0; s < kBinSymbols; ++s) count += static_cast<uint32_t>(above[s]) <= target ? 1 : 0;
  return count;
}

inline uint32_t find_bin(const BinModel& model, uint32_t target) {
#if defined(__SSE2__)
  // The sums grow with s, so the comparisons hold for a leading run of
  // symbols: the count is the number of trailing ones of their mask, and
  // bit 31 (the total) is always clear.
  const __m128i t = _mm_set1_epi16(static_cast<int16_t>(target));
  const __m128i* above = reinterpret_cast<const __m128i*>(model.sum + 1);
  const __m128i m0 = _mm_cmpgt_epi16(_mm_loadu_si128(above), t);
  const __m128i m1 = _mm_cmpgt_epi16(_mm_loadu_si128(above + 1), t);
  const __m128i m2 = _mm_cmpgt_epi16(_mm_loadu_si128(above + 2), t);
  const __m128i m3 = _mm_cmpgt_epi16(_mm_loadu_si128(above + 3), t);
  const uint32_t greater = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(m0, m1))) |
                           static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(m2, m3))) << 16;
  return static_cast<uint32_t>(std::countr_zero(greater | 0x80000000u));
#else
  return find_bin_plain(model, target);
#endif
}

// find_bin(model, x / r) for x < 2^31 and r < 2^16, without the division:
// sum[s] <= x / r exactly when sum[s] r <= x, and those products stay below 2^31.
inline uint32_t find_bin_scaled(const BinModel& model, uint32_t x, uint32_t r) {
#if defined(__SSE2__)
  const __m128i factor = _mm_set1_epi16(static_cast<int16_t>(r));
  const __m128i bound = _mm_set1_epi32(static_cast<int32_t>(x));
  const __m128i* above = reinterpret_cast<const __m128i*>(model.sum + 1);
  // 0xFFFF for each of 8 sums whose product exceeds x.
  auto greater = [&](int i) {
    const __m128i sums = _mm_loadu_si128(above + i);
    const __m128i low = _mm_mullo_epi16(sums, factor), high = _mm_mulhi_epu16(sums, factor);
    return _mm_packs_epi32(_mm_cmpgt_epi32(_mm_unpacklo_epi16(low, high), bound),
                           _mm_cmpgt_epi32(_mm_unpackhi_epi16(low, high), bound));
  };
  const uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(greater(0), greater(1)))) |
                        static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(greater(2), greater(3)))) << 16;
  return static_cast<uint32_t>(std::countr_zero(mask | 0x80000000u));
#else
  return find_bin(model, x / r);
#endif
}

// Every count halved, rounding up (a count never falls to 0); the
// reciprocal follows. Inline: it runs inside the decoder's coefficient loop.
inline void halve_bin_model(BinModel& model) {
  int16_t* sum = model.sum;
#if defined(__SSE2__)
  // Eight counts at a time: (f + 1) >> 1, then running sums within the
  // vector by three shifted additions, carried on from the vector before.
  __m128i carry = _mm_setzero_si128();
  const __m128i one = _mm_set1_epi16(1);
  __m128i halves[4];
  // The sums below come from the vectors above, shifted by one lane: loads
  // across the vectors the last update stored would wait for the stores.
  __m128i previous = _mm_setzero_si128();  // sum[0] = 0 in its top lane's place
  for (int i = 0; i < 4; ++i) {
    const __m128i upper = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sum + 1 + 8 * i));
    const __m128i lower = _mm_or_si128(_mm_slli_si128(upper, 2), _mm_srli_si128(previous, 14));
    halves[i] = _mm_srai_epi16(_mm_add_epi16(_mm_sub_epi16(upper, lower), one), 1);
    previous = upper;
  }
  for (int i = 0; i < 4; ++i) {
    __m128i v = halves[i];
    v = _mm_add_epi16(v, _mm_slli_si128(v, 2));
    v = _mm_add_epi16(v, _mm_slli_si128(v, 4));
    v = _mm_add_epi16(v, _mm_slli_si128(v, 8));
    v = _mm_add_epi16(v, carry);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sum + 1 + 8 * i), v);
    carry = _mm_shufflehi_epi16(_mm_unpackhi_epi64(v, v), 0xFF);
    carry = _mm_unpackhi_epi64(carry, carry);
  }
#else
  int16_t previous = 0;  // the old sum[s]
  for (int s = 0; s < kBinSymbols; ++s) {
    const int16_t next = sum[s + 1];
    sum[s + 1] = static_cast<int16_t>(sum[s] + ((next - previous + 1) >> 1));
    previous = next;
  }
#endif
  model.factor = read_factor(bin_total(model));
}

// After an increment that made the total `total`: halving once if it
// exceeds the limit, else the factor of the new total.
inline void settle_bin_model(BinModel& model, uint32_t total, uint32_t limit) {
  if (total > limit)
    halve_bin_model(model);
  else
    model.factor = read_factor(total);
}

}  // namespace kv
