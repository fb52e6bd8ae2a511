#include "bin_model.h"

namespace kv {

void halve_bin_model(BinModel& model) {
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

}  // namespace kv
