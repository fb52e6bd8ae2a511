// The decoder's interval and code bits copied into locals while a run of
// items is read (a leaf block's coefficients), and written back at its end:
// kept in the Decoder, every store of a coefficient or a count could alias
// them and force them through memory. The interval arithmetic is the
// Decoder's (coder/decoder.h) operation for operation; only the divisions by
// the model total and the bin width become multiplications by reciprocals.
#pragma once

#include <bit>
#include <cstdint>

#include "adaptive_model.h"
#include "bin_model.h"
#include "decoder.h"

namespace kv {

// floor(x r / total) from x and r total_reciprocal(total), x r < 2^32.
inline uint32_t scaled_quotient(uint32_t x, uint64_t scaled_reciprocal) {
  return static_cast<uint32_t>((static_cast<unsigned __int128>(x) * scaled_reciprocal) >> 48);
}

// The interval is held as its low end, its length and the code value's
// distance from the low end: renormalisation doubles the last two (the
// encoder's decisions keep value - low and high - low + 1 as they are, only
// shifted), so the next read needs neither subtraction.
// The position of the highest set bit of v != 0 (one instruction, where
// countl_zero must also handle 0).
inline int highest_bit(uint32_t v) { return 31 ^ __builtin_clz(v); }

struct SymbolReader {
  Decoder& decoder;
  uint32_t low;
  uint32_t range;  // high - low + 1
  uint32_t delta;  // value - low, out of range exactly where value is
  uint64_t reservoir;
  int reservoir_bits;
  // consumed_bits + reservoir_bits, which only refills change: one register
  // less to update per read.
  uint64_t fetched_bits;

  explicit SymbolReader(Decoder& d)
      : decoder(d),
        low(d.low),
        range(d.high - d.low + 1),
        delta(d.value - d.low),
        reservoir(d.reservoir),
        reservoir_bits(d.reservoir_bits),
        fetched_bits(d.consumed_bits + static_cast<uint64_t>(d.reservoir_bits)) {}
  SymbolReader(const SymbolReader&) = delete;
  SymbolReader& operator=(const SymbolReader&) = delete;

  void store() {
    decoder.value = low + delta;
    decoder.low = low;
    decoder.high = low + range - 1;
    decoder.reservoir = reservoir;
    decoder.reservoir_bits = reservoir_bits;
    decoder.consumed_bits = fetched_bits - static_cast<uint64_t>(reservoir_bits);
  }

  uint32_t take_bits(int n) {
    if (reservoir_bits < n) [[unlikely]] {
      decoder.reservoir = reservoir;
      decoder.reservoir_bits = reservoir_bits;
      decoder_detail::refill(decoder, n);
      fetched_bits += static_cast<uint64_t>(decoder.reservoir_bits - reservoir_bits);
      reservoir = decoder.reservoir;
      reservoir_bits = decoder.reservoir_bits;
    }
    uint32_t bits = static_cast<uint32_t>((reservoir >> 1) >> (63 - n));
    reservoir <<= n;
    reservoir_bits -= n;
    return bits;
  }

  // The Decoder's narrowing and renormalisation; the shift count comes from
  // the new ends, and length and distance follow it.
  void narrow(uint32_t low_offset, uint32_t high_offset) {
    const uint32_t l = low + low_offset, h = low + high_offset - 1;
    const uint32_t length = high_offset - low_offset, distance = delta - low_offset;
    // n leading bits on which the ends agree, then k underflow steps: the
    // bits below them where low has 1 and high 0.
    const int n = 16 - highest_bit(2 * (l ^ h) + 1);  // countl_zero(l ^ h) - 16, 16 when l == h
    const uint32_t underflow = ((l & ~h) << n) << 17;  // its low 17 bits are 0
    const uint32_t flip = (underflow >> 31) << 15;      // k != 0
    const int shift = (n + 31) - highest_bit(~underflow);  // n + countl_one(underflow)
    low = ((l << shift) ^ flip) & 0xFFFF;
    range = length << shift;
    delta = (distance << shift) | take_bits(shift);
  }

  void check(const char* operation) const {
    if (delta >= range) [[unlikely]] decoder_detail::out_of_range(operation);
  }

  // read_symbol on a model of the bank, then update_bin_model with the
  // symbol read. total <= 16704 and r <= 2^16 keep every product in 32 bits.
  uint32_t read_symbol(BinModel& model, uint32_t increment, uint32_t limit) {
    check("read_symbol");
    const uint32_t r = range;
    const uint32_t total = bin_total(model);
    // (r a) m = a (r m): r m is ready while the symbol is being found.
    const uint64_t scaled_reciprocal = total_reciprocal(total) * r;
    const uint32_t x = delta * total + (total - 1);  // (delta + 1) total - 1; the target is x / r
#if defined(__SSE2__)
    if (r < 0x10000) [[likely]] {
      // find_bin_scaled, keeping the sums and the comparisons: the sums
      // above the target are the ones the increment goes to, and the total
      // that decides on halving is known.
      const __m128i factor = _mm_set1_epi16(static_cast<int16_t>(r));
      const __m128i bound = _mm_set1_epi32(static_cast<int32_t>(x));
      __m128i* above = reinterpret_cast<__m128i*>(model.sum + 1);
      __m128i sums[4], greater[4];
      for (int i = 0; i < 4; ++i) {
        sums[i] = _mm_loadu_si128(above + i);
        const __m128i low_half = _mm_mullo_epi16(sums[i], factor), high_half = _mm_mulhi_epu16(sums[i], factor);
        greater[i] = _mm_packs_epi32(_mm_cmpgt_epi32(_mm_unpacklo_epi16(low_half, high_half), bound),
                                     _mm_cmpgt_epi32(_mm_unpackhi_epi16(low_half, high_half), bound));
      }
      const uint32_t mask =
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(greater[0], greater[1]))) |
          static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(greater[2], greater[3]))) << 16;
      // Never 0: delta < r makes x / r < total, and the last sum is the total.
      const uint32_t symbol = static_cast<uint32_t>(__builtin_ctz(mask));
      const uint32_t a = static_cast<uint32_t>(model.sum[symbol]), b = static_cast<uint32_t>(model.sum[symbol + 1]);
      const __m128i add = _mm_set1_epi16(static_cast<int16_t>(increment));
      for (int i = 0; i < 4; ++i) _mm_storeu_si128(above + i, _mm_add_epi16(sums[i], _mm_and_si128(greater[i], add)));
      if (total + increment > limit) halve_bin_model(model);
      narrow(scaled_quotient(a, scaled_reciprocal), scaled_quotient(b, scaled_reciprocal));
      return symbol;
    }
#endif
    const uint32_t symbol = r < 0x10000 ? find_bin_scaled(model, x, r) : find_bin(model, x >> 16);
    const uint32_t a = static_cast<uint32_t>(model.sum[symbol]), b = static_cast<uint32_t>(model.sum[symbol + 1]);
    update_bin_model(model, symbol, increment, limit);
    narrow(scaled_quotient(a, scaled_reciprocal), scaled_quotient(b, scaled_reciprocal));
    return symbol;
  }

  // read_bits with n = 1: the quotient (2 (value - low + 1) - 1) / r is 0 or 1.
  uint32_t read_bit() {
    check("read_bits");
    const uint32_t r = range;
    const uint32_t v = 2 * (delta + 1) > r ? 1 : 0;
    const uint32_t t = v ? r : 0;
    narrow(t >> 1, (t + r) >> 1);
    return v;
  }

  // read_fraction for a count n below 2^16 with reciprocal total_reciprocal(n);
  // n r stays below 2^32.
  uint32_t read_fraction(uint32_t n, uint64_t reciprocal) {
    if (n <= 1) return 0;
    check("read_fraction");
    const uint32_t r = range;
    const uint32_t v = (delta * n + (n - 1)) / r;  // ((delta + 1) n - 1) / r
    const uint32_t t = v * r;
    narrow(divide_by_total(t, reciprocal), divide_by_total(t + r, reciprocal));
    return v;
  }
};

}  // namespace kv
