// Binary arithmetic encoder with 16-bit low/high registers. Code bits are
// decided several at a time, collected in a machine word and written as whole
// bytes through a buffer of the encoder's own, to a file or to memory.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "entropy/adaptive_model.h"

namespace kv {

struct Encoder {
  std::FILE* file = nullptr;               // the output file, or null when coding to memory
  std::vector<uint8_t>* memory = nullptr;  // the output vector when coding to memory
  uint64_t flushed = 0;                    // bytes handed on before those in `buffer`
  std::unique_ptr<uint8_t[]> buffer;
  size_t buffered = 0;
  uint64_t bit_buffer = 0;  // bits enter at the low end
  int bit_count = 0;        // bits in bit_buffer not yet part of a byte, 0..7
  uint64_t pending = 0;     // deferred bits, each the opposite of the next decided bit
  uint32_t low = 0;
  uint32_t high = 0xFFFF;

  Encoder() = default;
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
  ~Encoder();
};

void new_encoder(Encoder& encoder, const char* path);
void new_memory_encoder(Encoder& encoder, std::vector<uint8_t>& output);
// Bytes written so far: every byte counts as soon as its eighth bit is put.
uint32_t encoder_bytes(const Encoder& encoder);

void put_bit(Encoder& encoder, uint32_t bit);
inline void write_symbol(Encoder& encoder, const AdaptiveModel& model, uint32_t symbol);
void write_bits(Encoder& encoder, int n, uint32_t value);
void write_fraction(Encoder& encoder, uint32_t n, uint32_t value);
void write_float(Encoder& encoder, uint32_t word);
uint32_t kill_encoder(Encoder& encoder);

// The coding step itself is inline: it runs once per symbol.
namespace encoder_detail {

// Whole bytes collect in `buffer` and are handed on once it holds this many;
// past its end there is room for one more machine word.
constexpr size_t kBufferSize = 1 << 16;
constexpr size_t kBufferSlack = 8;
// Pending runs up to this long go out with the decided bits in one word.
constexpr uint64_t kShortRun = 40;

// Hands the buffered bytes on; fails on a write error.
void hand_on_full(Encoder& e);
// Emits `n` (1..16) decided bits after a long pending run.
void emit_after_long_run(Encoder& e, uint32_t bits, int n);
[[noreturn]] void invalid_symbol(uint32_t symbol);

// Appends the low `count` (0..56) bits of `bits`, most significant first. The
// bytes they complete are stored at once, as one big-endian word of which
// only the complete bytes count.
inline void put_bits(Encoder& e, uint64_t bits, int count) {
  e.bit_buffer = (e.bit_buffer << count) | bits;
  int total = e.bit_count + count;
  uint64_t aligned = (e.bit_buffer << 1) << (63 - total);
  aligned = __builtin_bswap64(aligned);
  std::memcpy(e.buffer.get() + e.buffered, &aligned, sizeof aligned);
  e.buffered += static_cast<size_t>(total >> 3);
  e.bit_count = total & 7;
  if (e.buffered >= kBufferSize) hand_on_full(e);
}

// Renormalises the interval. The leading bits on which low and high agree are
// decided and leave together, the first of them followed by the pending bits;
// after them only underflow steps can follow (low 01..., high 10...), each
// one deferring a bit. This takes exactly the decisions of the bit-by-bit
// loop, in its order.
inline void renormalise(Encoder& e) {
  uint32_t low = e.low, high = e.high;
  int n = std::countl_zero(low ^ high) - 16;  // 16 when low == high
  uint32_t bits = low >> (16 - n);
  if (e.pending > kShortRun && n != 0) {
    emit_after_long_run(e, bits, n);
  } else {
    // The first decided bit, the pending bits (its opposite), the other
    // decided bits; with n = 0 nothing is decided and the count is 0.
    // Masks rather than conditions: these are not worth a branch.
    uint32_t decided = static_cast<uint32_t>(n != 0);
    int m = n - static_cast<int>(decided);  // decided bits after the first
    uint64_t run = e.pending & (0 - uint64_t{decided});
    uint64_t first = bits >> m;
    uint64_t opposite = ((uint64_t{1} << run) - 1) & (first - 1);
    uint64_t value = (first << (m + run)) | (opposite << m) | (bits & ((1u << m) - 1));
    int count = n + static_cast<int>(run);
    put_bits(e, value & ((uint64_t{1} << count) - 1), count);
    e.pending -= run;
  }
  low = (low << n) & 0xFFFF;
  high = ((high << n) | ((1u << n) - 1)) & 0xFFFF;
  // Now low < 0x8000 <= high; each underflow step takes 0x4000 off both and
  // doubles them.
  int k = std::countl_one((low & ~high) << 17);
  uint32_t flip = k != 0 ? 0x8000 : 0;
  e.pending += static_cast<uint64_t>(k);
  e.low = ((low << k) ^ flip) & 0xFFFF;
  e.high = (((high << k) | ((1u << k) - 1)) ^ flip) & 0xFFFF;
}

// Sets the interval to [low + low_offset, low + high_offset - 1] and renormalises.
inline void narrow(Encoder& e, uint32_t low_offset, uint32_t high_offset) {
  uint32_t low = e.low;
  e.high = low + high_offset - 1;
  e.low = low + low_offset;
  renormalise(e);
}

}  // namespace encoder_detail

inline void write_symbol(Encoder& encoder, const AdaptiveModel& model, uint32_t symbol) {
  if (static_cast<int32_t>(symbol) < 0 || symbol >= model.symbols) encoder_detail::invalid_symbol(symbol);
  SymbolInterval interval = symbol_interval(model, symbol);
  uint32_t total = model_total(model);
  uint32_t r = encoder.high - encoder.low + 1;
  uint32_t a = interval.cumulative, b = interval.cumulative + interval.frequency;
  if (total <= 0xFFFF) {
    // r <= 2^16 and b <= total < 2^16: the products fit in 32 bits.
    uint64_t reciprocal = total_reciprocal(total);
    encoder_detail::narrow(encoder, divide_by_total(r * a, reciprocal), divide_by_total(r * b, reciprocal));
  } else {
    encoder_detail::narrow(encoder, static_cast<uint32_t>(uint64_t{r} * a / total),
                           static_cast<uint32_t>(uint64_t{r} * b / total));
  }
}

}  // namespace kv
