// Binary arithmetic decoder: repeats the encoder's interval arithmetic bit for
// bit. Bytes come from a window over the file (or the caller's memory); past
// the end two fetches of all-one bits are allowed, a third is a read error.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "entropy/adaptive_model.h"

namespace kv {

struct Decoder {
  std::FILE* file = nullptr;  // null when decoding from memory
  std::vector<uint8_t> window;
  const uint8_t* data = nullptr;  // bytes not yet taken into `reservoir`
  size_t size = 0;
  size_t position = 0;
  uint64_t reservoir = 0;  // upcoming code bits, left-aligned, the rest 0
  int reservoir_bits = 0;  // at most 63
  uint64_t consumed_bits = 0;  // code bits taken so far, padding included
  uint32_t pad_bits = 0;       // 8 for every fetch past the end: 0, 8 or 16
  uint32_t value = 0;          // the 16 code bits under the interval
  uint32_t low = 0;
  uint32_t high = 0xFFFF;

  Decoder() = default;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder();
};

void new_decoder(Decoder& decoder, const char* path);
// Decodes `size` bytes at `data`, which must outlive the decoder.
void new_memory_decoder(Decoder& decoder, const uint8_t* data, size_t size);
// Whether the stream holds at least `bytes` bytes from its start: the
// buffer's length, or a regular file's size. Other files (pipes) are read
// ahead into the window until it holds that many or the input ends, so the
// window grows to at most `bytes`.
bool stream_holds(Decoder& decoder, uint64_t bytes);
// Byte fetches so far, fetches past the end included.
uint32_t decoder_bytes(const Decoder& decoder);

uint32_t get_bit(Decoder& decoder);
inline uint32_t read_symbol(Decoder& decoder, const AdaptiveModel& model);
uint32_t read_bits(Decoder& decoder, int n);
uint32_t read_fraction(Decoder& decoder, uint32_t n);
uint32_t read_float(Decoder& decoder);
uint32_t kill_decoder(Decoder& decoder);

// The decoding step itself is inline: it runs once per symbol.
namespace decoder_detail {

// Tops the reservoir up to at least `n` bits, past the end with padding, or
// fails with a read error.
void refill(Decoder& d, int n);
[[noreturn]] void out_of_range(const char* operation);

// Takes the next `n` (0..16) code bits.
inline uint32_t take_bits(Decoder& d, int n) {
  if (d.reservoir_bits < n) refill(d, n);
  // Two shifts, so that n = 0 takes nothing.
  uint32_t bits = static_cast<uint32_t>((d.reservoir >> 1) >> (63 - n));
  d.reservoir <<= n;
  d.reservoir_bits -= n;
  d.consumed_bits += static_cast<uint64_t>(n);
  return bits;
}

// The encoder's renormalisation decisions (see the encoder): the n leading
// bits on which low and high agree, then k underflow steps. value follows
// low and high, reading one code bit per shift.
inline void renormalise(Decoder& d) {
  uint32_t low = d.low, high = d.high;
  int n = std::countl_zero(low ^ high) - 16;  // 16 when low == high
  low = (low << n) & 0xFFFF;
  high = ((high << n) | ((1u << n) - 1)) & 0xFFFF;
  int k = std::countl_one((low & ~high) << 17);
  uint32_t flip = k != 0 ? 0x8000 : 0;
  d.low = ((low << k) ^ flip) & 0xFFFF;
  d.high = (((high << k) | ((1u << k) - 1)) ^ flip) & 0xFFFF;
  int shift = n + k;  // at most 16: every shift doubles the range
  d.value = (((d.value << shift) | take_bits(d, shift)) ^ flip) & 0xFFFF;
}

inline void narrow(Decoder& d, uint32_t low_offset, uint32_t high_offset) {
  uint32_t low = d.low;
  d.high = low + high_offset - 1;
  d.low = low + low_offset;
  renormalise(d);
}

}  // namespace decoder_detail

inline uint32_t read_symbol(Decoder& decoder, const AdaptiveModel& model) {
  if (decoder.value < decoder.low || decoder.value > decoder.high) decoder_detail::out_of_range("read_symbol");
  uint32_t r = decoder.high - decoder.low + 1;
  uint32_t total = model_total(model);
  uint32_t offset = decoder.value - decoder.low + 1;
  SymbolInterval interval;
  uint32_t symbol;
  if (total <= 0xFFFF) {
    // offset <= r <= 2^16 and every count <= total < 2^16: the products fit in 32 bits.
    symbol = find_symbol_interval(model, (offset * total - 1) / r, interval);
    uint32_t a = interval.cumulative, b = interval.cumulative + interval.frequency;
    uint64_t reciprocal = total_reciprocal(total);
    decoder_detail::narrow(decoder, divide_by_total(r * a, reciprocal), divide_by_total(r * b, reciprocal));
  } else {
    uint64_t target = (uint64_t{offset} * total - 1) / r;
    symbol = find_symbol_interval(model, static_cast<uint32_t>(target), interval);
    uint64_t a = interval.cumulative, b = uint64_t{interval.cumulative} + interval.frequency;
    decoder_detail::narrow(decoder, static_cast<uint32_t>(r * a / total), static_cast<uint32_t>(r * b / total));
  }
  return symbol;
}

}  // namespace kv
