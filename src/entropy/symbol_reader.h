// The decoder's interval and code bits copied into locals while a run of
// items is read (a leaf block's coefficients), and written back at its end:
// kept in the Decoder, every store of a coefficient or a count could alias
// them and force them through memory. Every narrowing and renormalisation
// gives what the Decoder's (entropy/range_decoder.h) would; the divisions by the
// model total and the bin width become multiplications by reciprocals, and
// some tests are made on other terms that decide them equally (see read_bit
// and renormalisation_shift).
#pragma once

#include <bit>
#include <cstdint>

#include "entropy/adaptive_model.h"
#include "entropy/bin_model.h"
#include "entropy/range_decoder.h"

namespace kv {

// The interval is held as its low end, its range (the last narrowing's
// length and shift) and the code value's distance from the low end:
// renormalisation doubles the last two (the encoder's decisions keep value -
// low and high - low + 1 as they are, only shifted), so the next read needs
// neither subtraction.
// The position of the highest set bit of v != 0 (one instruction, where
// countl_zero must also handle 0).
inline int highest_bit(uint32_t v) { return 31 ^ __builtin_clz(v); }

struct SymbolReader {
  Decoder& decoder;
  uint32_t low;
  uint32_t delta;  // value - low, out of range exactly where value is
  // The range high - low + 1 is length << shift, from the last narrowing: a
  // product with the range is then taken from length before the shift is
  // known (see scaled). The range itself is not kept: one register less.
  uint32_t length;
  int shift;
  // value - low before that renormalisation: delta = distance << shift | the
  // code bits taken. Known before the shift, like length (see read_bit).
  uint32_t distance;
  // The Decoder's reservoir followed by a single 1 bit: the number of code
  // bits is where that bit sits, so taking bits shifts one register and needs
  // no count beside it.
  uint64_t marked;
  // consumed_bits + reservoir_bits, which only refills change: one register
  // less to update per read.
  uint64_t fetched_bits;

  explicit SymbolReader(Decoder& d)
      : decoder(d),
        low(d.low),
        delta(d.value - d.low),
        length(d.high - d.low + 1),
        shift(0),
        distance(delta),
        marked(mark(d)),
        fetched_bits(d.consumed_bits + static_cast<uint64_t>(d.reservoir_bits)) {}
  SymbolReader(const SymbolReader&) = delete;
  SymbolReader& operator=(const SymbolReader&) = delete;

  uint32_t range() const { return length << shift; }

  // The decoder's reservoir (at most 63 bits, the rest 0) and its end mark.
  static uint64_t mark(const Decoder& d) { return d.reservoir | (uint64_t{1} << (63 - d.reservoir_bits)); }

  // Hands the reservoir back to the decoder.
  void unmark() {
    decoder.reservoir_bits = 63 - std::countr_zero(marked);
    decoder.reservoir = marked & (marked - 1);
  }

  void store() {
    decoder.value = low + delta;
    decoder.low = low;
    decoder.high = low + range() - 1;
    unmark();
    decoder.consumed_bits = fetched_bits - static_cast<uint64_t>(decoder.reservoir_bits);
  }

  uint32_t take_bits(int n) {
    // The mark survives the shift exactly when n code bits are there.
    uint64_t rest = marked << n;
    if (rest == 0) [[unlikely]] {
      unmark();
      const int before = decoder.reservoir_bits;
      decoder_detail::refill(decoder, n);
      fetched_bits += static_cast<uint64_t>(decoder.reservoir_bits - before);
      marked = mark(decoder);
      rest = marked << n;
    }
    const uint32_t bits = static_cast<uint32_t>((marked >> 1) >> (63 - n));
    marked = rest;
    return bits;
  }

  // The shift of the renormalisation after narrowing to [l, h]. The ends
  // agree on n leading bits; then low has 0 and high 1, and k underflow
  // steps follow, bits where low has 1 and high 0. The shift n + k is the
  // position of the last of those steps, or of the first difference where
  // there is none: the first bit where the ends differ and the next bit is
  // no underflow step (l == h shifts by 16). That bit is the highest of
  // last = (l ^ h) & ~((l & ~h) << 1), taken as that of 2 last + 1, which is
  // 0 only at l == h. With ~((l & ~h) << 1) = ((~l | h) << 1) | 1, 2 last + 1
  // = (2 (l ^ h) + 1) & (4 (~l | h) + 3), whose two factors are computed
  // independently: the chain from one read to the next stays short.
  static int renormalisation_shift(uint32_t l, uint32_t h) {
    return 16 - highest_bit((2 * (l ^ h) + 1) & (4 * (~l | h) + 3));
  }

  // Narrows to the `new_length` values from `low_offset` on, whose
  // renormalisation shifts by `new_shift`.
  void narrow_shifted(uint32_t low_offset, uint32_t new_length, int new_shift) {
    const uint32_t l = low + low_offset;
    distance = delta - low_offset;
    length = new_length;
    shift = new_shift;
    // The new low's first bit is 0 either way: the first difference of low,
    // or its last underflow bit flipped.
    low = (l << shift) & 0x7FFF;
    delta = (distance << shift) | take_bits(shift);
  }

  // The Decoder's narrowing and renormalisation; the shift count comes from
  // the new ends, and length and distance follow it.
  void narrow(uint32_t low_offset, uint32_t high_offset) {
    narrow_shifted(low_offset, high_offset - low_offset,
                   renormalisation_shift(low + low_offset, low + high_offset - 1));
  }

  // (range * factor) >> 16, the factor of a read's ends. With range =
  // length << shift and shift <= 16 it equals (length * factor) >> (16 -
  // shift), whose product needs only the new length: it runs while the
  // shift is still being found, off the chain from one read to the next.
  uint64_t scaled(uint64_t factor) const { return (uint64_t{length} * factor) >> (16 - shift); }

  void check(const char* operation) const {
    // delta >= range, told before the shift as distance >= length.
    if (distance >= length) [[unlikely]] decoder_detail::out_of_range(operation);
  }

  // The number of ends[1..N-1] not above delta: the symbol (or value) whose
  // ends pick_ends gives, counted from ends[0].
  template <uint32_t N>
  uint32_t count_ends(const uint32_t* ends) const {
    uint32_t count = 0;
    for (uint32_t s = 1; s < N; ++s) count += ends[s] <= delta ? 1 : 0;
    return count;
  }

  // The ends around delta among ends[0..N] (ascending, ends[0] <= delta <
  // ends[N]), N = 4, 6 or 8: picked by the comparisons themselves, in a
  // short tree of selections, rather than loaded back by their count from
  // where they were just stored, which waits for the stores.
  template <uint32_t N>
  void pick_ends(const uint32_t* ends, uint32_t& a, uint32_t& b) const {
    static_assert(N == 4 || N == 6 || N == 8);
    // The pair above position `base` for the comparisons of its next three.
    auto pick_four = [&](uint32_t base, uint32_t& lower, uint32_t& upper) {
      const bool c1 = ends[base + 1] <= delta, c2 = ends[base + 2] <= delta, c3 = ends[base + 3] <= delta;
      const uint32_t a1 = c1 ? ends[base + 1] : ends[base], b1 = c1 ? ends[base + 2] : ends[base + 1];
      const uint32_t a2 = c2 ? ends[base + 2] : a1, b2 = c2 ? ends[base + 3] : b1;
      lower = c3 ? ends[base + 3] : a2;
      upper = c3 ? ends[base + 4] : b2;
    };
    pick_four(0, a, b);
    if constexpr (N == 6) {
      const bool c4 = ends[4] <= delta, c5 = ends[5] <= delta;
      const uint32_t a4 = c5 ? ends[5] : ends[4], b4 = c5 ? ends[6] : ends[5];
      a = c4 ? a4 : a;
      b = c4 ? b4 : b;
    }
    if constexpr (N == 8) {
      uint32_t a4, b4;
      pick_four(4, a4, b4);
      const bool c4 = ends[4] <= delta;
      a = c4 ? a4 : a;
      b = c4 ? b4 : b;
    }
  }

  // The lower end of `symbol`, (sum[symbol] g) >> 32 for a read's factor g.
  static uint32_t end_of(const BinModel& model, uint32_t symbol, uint64_t g) {
    return static_cast<uint32_t>((uint64_t{static_cast<uint16_t>(model.sum[symbol])} * g) >> 32);
  }

  // read_symbol on a model of the bank, then the update AdaptiveModel's
  // update_context makes (increment, halving past the limit) for the
  // symbol read. The symbol's ends are floor(sum[s] r / total), which is
  // (sum[s] g) >> 32 for any g from r 2^32 / total to 15 above it (sum[s] and
  // the total are below 16705, and their product times 15 below 2^32); the
  // model's read_factor gives less than 5 above. The ends of the first
  // symbols come from r and the counts alone, while the previous read still
  // finishes; the symbol is then the number of them not above delta.
  // `First` (4, 6 or 8) suits the model: runs of zeros are mostly below 4,
  // and magnitudes from bin 6 on have offsets.
  // With `ZeroApart`, symbol 0 is told apart by its own end before the
  // others are counted: where it ends the caller's loop, that branch then
  // waits for nothing but the first end.
  template <uint32_t First = 8, bool ZeroApart = false>
  uint32_t read_symbol(BinModel& model, uint32_t increment, uint32_t limit) {
    static_assert(First == 4 || First == 6 || First == 8);
    check("read_symbol");
    const uint32_t total = bin_total(model);
    const uint64_t g = scaled(model.factor);
    auto lower_end = [&](uint32_t s) { return end_of(model, s, g); };
    uint32_t ends[First + 1];
    ends[0] = 0;
    for (uint32_t s = 1; s <= First; ++s) ends[s] = lower_end(s);
    uint32_t symbol, a, b;
    if (delta < ends[First]) [[likely]] {
      if constexpr (ZeroApart) {
        if (delta < ends[1]) return take_zero(model, total, increment, limit, ends[1]);
      }
      symbol = count_ends<First>(ends);
      pick_ends<First>(ends, a, b);
      add_from_first(model, symbol, increment);
    } else {
      // The next `First` symbols the same way (common in lossless coding),
      // then any symbol.
      uint32_t next[First + 1];
      next[0] = ends[First];
      for (uint32_t s = 1; s <= First; ++s) next[s] = lower_end(First + s);
      if (delta < next[First]) {
        symbol = First + count_ends<First>(next);
        pick_ends<First>(next, a, b);
      } else {
        symbol = find_symbol(model);
        a = lower_end(symbol);
        b = lower_end(symbol + 1);
      }
      add_from(model, symbol, increment);
    }
    settle_bin_model(model, total + increment, limit);
    narrow(a, b);
    return symbol;
  }

  // read_symbol<4> for a model whose symbol 0 is the usual one (the runs of
  // zeros between a band's coefficients, mostly none): the end of symbol 0
  // alone picks it, with no other end to compute and no selection; the
  // others are read as before.
  uint32_t read_symbol_zero_first(BinModel& model, uint32_t increment, uint32_t limit) {
    check("read_symbol");
    const uint64_t g = scaled(model.factor);
    const uint32_t first_end = end_of(model, 1, g);
    if (delta >= first_end) return read_symbol<4>(model, increment, limit);
    return take_zero(model, bin_total(model), increment, limit, first_end);
  }

  // Symbol 0, whose end is `first_end`, read from a model whose total was
  // `total`: the update and the narrowing of read_symbol for it.
  uint32_t take_zero(BinModel& model, uint32_t total, uint32_t increment, uint32_t limit, uint32_t first_end) {
    add_from_first(model, 0, increment);
    settle_bin_model(model, total + increment, limit);
    narrow(0, first_end);
    return 0;
  }

  static constexpr uint32_t kFirstSymbols = 8;

  // The increment on the counts of `symbol` < kFirstSymbols: on every sum above it.
  static void add_from_first(BinModel& model, uint32_t symbol, uint32_t increment) {
#if defined(__SSE2__)
    alignas(16) static constexpr int16_t kFrom[kFirstSymbols][8] = {
        {-1, -1, -1, -1, -1, -1, -1, -1}, {0, -1, -1, -1, -1, -1, -1, -1}, {0, 0, -1, -1, -1, -1, -1, -1},
        {0, 0, 0, -1, -1, -1, -1, -1},    {0, 0, 0, 0, -1, -1, -1, -1},    {0, 0, 0, 0, 0, -1, -1, -1},
        {0, 0, 0, 0, 0, 0, -1, -1},       {0, 0, 0, 0, 0, 0, 0, -1}};
    __m128i* above = reinterpret_cast<__m128i*>(model.sum + 1);
    const __m128i add = _mm_set1_epi16(static_cast<int16_t>(increment));
    const __m128i from = _mm_load_si128(reinterpret_cast<const __m128i*>(kFrom[symbol]));
    _mm_storeu_si128(above, _mm_add_epi16(_mm_loadu_si128(above), _mm_and_si128(from, add)));
    for (int i = 1; i < 4; ++i) _mm_storeu_si128(above + i, _mm_add_epi16(_mm_loadu_si128(above + i), add));
#else
    add_from(model, symbol, increment);
#endif
  }

  static void add_from(BinModel& model, uint32_t symbol, uint32_t increment) {
#if defined(__SSE2__)
    // Lane s of vector i stands for sum[8 i + s + 1], above the symbol where 8 i + s >= symbol.
    __m128i* above = reinterpret_cast<__m128i*>(model.sum + 1);
    const __m128i add = _mm_set1_epi16(static_cast<int16_t>(increment));
    const __m128i before = _mm_set1_epi16(static_cast<int16_t>(symbol - 1));
    __m128i index = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    for (int i = 0; i < 4; ++i) {
      const __m128i from = _mm_cmpgt_epi16(index, before);
      _mm_storeu_si128(above + i, _mm_add_epi16(_mm_loadu_si128(above + i), _mm_and_si128(from, add)));
      index = _mm_add_epi16(index, _mm_set1_epi16(8));
    }
#else
    int16_t* above = model.sum + 1;
    const int16_t add = static_cast<int16_t>(increment);
    for (int s = 0; s < kBinSymbols; ++s)
      above[s] = static_cast<int16_t>(above[s] + (s >= static_cast<int>(symbol) ? add : 0));
#endif
  }

  // Any symbol, by comparing sum[s] r with (delta + 1) total - 1: sum[s] is
  // at most the target x / r exactly where its product is at most x.
  uint32_t find_symbol(const BinModel& model) const {
    const uint32_t total = bin_total(model);
    const uint32_t x = delta * total + (total - 1);
    const uint32_t r = range();
    return r < 0x10000 ? find_bin_scaled(model, x, r) : find_bin(model, x >> 16);
  }

  // read_bits with n = 1: the quotient (2 (value - low + 1) - 1) / r is 0
  // or 1, the lower half [0, r/2) or the upper one [r/2, r), the upper where
  // delta >= half = floor(r / 2). Only the half taken has its shift worked
  // out.
  uint32_t read_bit() {
    check("read_bits");
    const uint32_t r = range(), half = r >> 1;
    // The half is told from the interval before the last renormalisation,
    // without waiting for its shift and code bits: with r = length << shift
    // and delta = distance << shift | bits (bits < 2^shift), delta >= half
    // holds where 2 distance >= length and fails where 2 distance + 2 <=
    // length. At 2 distance + 1 = length (one chance in length or so) the
    // first of the bits decides, and delta itself is tested. That case is
    // a branch, so that the others never wait for delta; between them the
    // half is selected, not branched on: a coefficient's sign is a coin toss.
    uint32_t upper;
    if (2 * distance + 1 == length) [[unlikely]]
      upper = delta >= half ? 1 : 0;
    else
      upper = 2 * distance >= length ? 1 : 0;
    const uint32_t mask = 0 - upper;
    narrow(half & mask, half + ((r - half) & mask));
    return upper;
  }

  // read_fraction for a count n below 2^16 with reciprocal total_reciprocal(n).
  // Up to 8 values the ends floor(k r / n) are (k g) >> 32, as for a symbol;
  // beyond, one division by r (n r stays below 2^32).
  uint32_t read_fraction(uint32_t n, uint64_t reciprocal) {
    if (n <= 1) return 0;
    return n <= 8 ? read_small_fraction(factor_of(reciprocal)) : read_large_fraction(n, reciprocal);
  }

  // read_fraction for 2 <= n <= 8 with factor factor_of(total_reciprocal(n)),
  // whose ends are (k g) >> 32 as a symbol's; those from k = n on are r or
  // more, above delta, so n itself is not needed.
  uint32_t read_small_fraction(uint64_t factor) {
    check("read_fraction");
    const uint64_t g = scaled(factor);
    uint32_t ends[9];
    for (uint32_t k = 0; k <= 8; ++k) ends[k] = static_cast<uint32_t>((k * g) >> 32);
    const uint32_t v = count_ends<8>(ends);
    uint32_t a, b;
    pick_ends<8>(ends, a, b);
    narrow(a, b);
    return v;
  }

  // read_fraction for 8 < n < 2^16: one division by r (n r stays below 2^32).
  uint32_t read_large_fraction(uint32_t n, uint64_t reciprocal) {
    check("read_fraction");
    const uint32_t r = range();
    const uint32_t v = (delta * n + (n - 1)) / r;  // ((delta + 1) n - 1) / r
    const uint32_t t = v * r;
    narrow(divide_by_total(t, reciprocal), divide_by_total(t + r, reciprocal));
    return v;
  }
};

}  // namespace kv
