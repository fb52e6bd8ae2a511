#include "encoder.h"

#include <bit>

#include "failure.h"

namespace kv {

namespace {

constexpr size_t kBufferSize = 1 << 16;

bool hand_on(Encoder& e) {
  bool ok = true;
  if (e.file) {
    ok = std::fwrite(e.buffer.get(), 1, e.buffered, e.file) == e.buffered;
  } else if (e.memory) {
    e.memory->insert(e.memory->end(), e.buffer.get(), e.buffer.get() + e.buffered);
  }
  e.flushed += e.buffered;
  e.buffered = 0;
  return ok;
}

inline void put_byte(Encoder& e, uint8_t byte) {
  e.buffer[e.buffered++] = byte;
  if (e.buffered == kBufferSize && !hand_on(e)) fail(1, "put_bit: write error");
}

// Appends `count` (0..32) bits, most significant first.
inline void put_bits(Encoder& e, uint64_t bits, int count) {
  e.bit_buffer = (e.bit_buffer << count) | bits;
  e.bit_count += count;
  while (e.bit_count >= 8) {
    e.bit_count -= 8;
    put_byte(e, static_cast<uint8_t>(e.bit_buffer >> e.bit_count));
  }
}

void put_run(Encoder& e, uint32_t bit, uint64_t count) {
  while (count > 0) {
    int chunk = count > 32 ? 32 : static_cast<int>(count);
    put_bits(e, bit ? (uint64_t{1} << chunk) - 1 : 0, chunk);
    count -= static_cast<uint64_t>(chunk);
  }
}

// Writes a decided bit followed by the pending opposite bits.
inline void emit(Encoder& e, uint32_t bit) {
  put_bits(e, bit, 1);
  if (e.pending) {
    put_run(e, bit ^ 1, e.pending);
    e.pending = 0;
  }
}

// Renormalises the interval. The leading bits on which low and high agree are
// decided and leave together; after them only underflow steps can follow (low
// 01..., high 10...), each one deferring a bit. This takes exactly the
// decisions of the bit-by-bit loop, in its order.
inline void renormalise(Encoder& e) {
  uint32_t differ = e.low ^ e.high;
  int n = differ ? std::countl_zero(differ) - 16 : 16;
  if (n) {
    uint32_t bits = e.low >> (16 - n);
    emit(e, bits >> (n - 1));
    if (n > 1) put_bits(e, bits & ((1u << (n - 1)) - 1), n - 1);
    e.low = (e.low << n) & 0xFFFF;
    e.high = ((e.high << n) | ((1u << n) - 1)) & 0xFFFF;
  }
  int k = std::countl_one((e.low & ~e.high) << 17);
  if (k) {
    e.pending += static_cast<uint64_t>(k);
    e.low = ((e.low << k) ^ 0x8000) & 0xFFFF;
    e.high = (((e.high << k) | ((1u << k) - 1)) ^ 0x8000) & 0xFFFF;
  }
}

void start(Encoder& e) {
  e.buffer = std::make_unique<uint8_t[]>(kBufferSize);
  e.flushed = 0;
  e.buffered = 0;
  e.bit_buffer = 0;
  e.bit_count = 0;
  e.pending = 0;
  e.low = 0;
  e.high = 0xFFFF;
}

}  // namespace

Encoder::~Encoder() {
  if (file) std::fclose(file);
}

void new_encoder(Encoder& encoder, const char* path) {
  std::FILE* file = std::fopen(path, "wb");
  if (!file) fail(1, "new_encoder: cannot open \"%s\"", path);
  if (encoder.file) std::fclose(encoder.file);
  encoder.file = file;
  encoder.memory = nullptr;
  start(encoder);
}

void new_memory_encoder(Encoder& encoder, std::vector<uint8_t>& output) {
  if (encoder.file) std::fclose(encoder.file);
  encoder.file = nullptr;
  encoder.memory = &output;
  start(encoder);
}

uint32_t encoder_bytes(const Encoder& encoder) {
  return static_cast<uint32_t>(encoder.flushed + encoder.buffered);
}

void put_bit(Encoder& encoder, uint32_t bit) { put_bits(encoder, bit & 1, 1); }

void write_symbol(Encoder& encoder, const AdaptiveModel& model, uint32_t symbol) {
  if (static_cast<int32_t>(symbol) < 0 || symbol >= model.symbols)
    fail(1, "write_symbol: invalid symbol (%d)", static_cast<int32_t>(symbol));
  SymbolInterval interval = symbol_interval(model, symbol);
  uint64_t total = model_total(model);
  uint64_t r = encoder.high - encoder.low + 1;
  uint64_t low = encoder.low;
  encoder.high = static_cast<uint32_t>(low + r * (interval.cumulative + interval.frequency) / total - 1);
  encoder.low = static_cast<uint32_t>(low + r * interval.cumulative / total);
  renormalise(encoder);
}

void write_bits(Encoder& encoder, int n, uint32_t value) {
  if (n <= 0) return;
  uint64_t v = value & ((uint64_t{1} << n) - 1);
  uint64_t r = encoder.high - encoder.low + 1;
  uint64_t t = v * r;
  uint64_t low = encoder.low;
  encoder.high = static_cast<uint32_t>(low + ((t + r) >> n) - 1);
  encoder.low = static_cast<uint32_t>(low + (t >> n));
  renormalise(encoder);
}

void write_fraction(Encoder& encoder, uint32_t n, uint32_t value) {
  if (value >= n) fail(1, "write_fraction: nominator out of range (%u/%u)", value, n);
  if (n == 1) return;
  uint64_t r = encoder.high - encoder.low + 1;
  uint64_t t = value * r;
  uint64_t low = encoder.low;
  encoder.high = static_cast<uint32_t>(low + (t + r) / n - 1);
  encoder.low = static_cast<uint32_t>(low + t / n);
  renormalise(encoder);
}

void write_float(Encoder& encoder, uint32_t word) {
  write_bits(encoder, 8, word);
  write_bits(encoder, 8, word >> 8);
  write_bits(encoder, 8, word >> 16);
  write_bits(encoder, 8, word >> 24);
}

uint32_t kill_encoder(Encoder& encoder) {
  encoder.pending += 1;
  emit(encoder, encoder.low < 0x4000 ? 0 : 1);
  // Zeros complete a partial last byte; bits that do not fill one are never written.
  if (encoder.bit_count) put_bits(encoder, 0, 8 - encoder.bit_count);
  bool ok = hand_on(encoder);
  if (encoder.file) {
    ok = (std::fclose(encoder.file) == 0) && ok;
    encoder.file = nullptr;
  }
  encoder.memory = nullptr;
  if (!ok) fail(1, "kill_encoder: cannot close file");
  return static_cast<uint32_t>(encoder.flushed);
}

}  // namespace kv
