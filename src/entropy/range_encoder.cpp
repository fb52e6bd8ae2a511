#include "entropy/range_encoder.h"

#include <bit>

#include "util/error.h"

namespace kv {

namespace encoder_detail {

namespace {

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

}  // namespace

void hand_on_full(Encoder& e) {
  if (!hand_on(e)) fail(ErrorCode::kStreamFile, "put_bit: write error");
}

void invalid_symbol(uint32_t symbol) {
  fail(ErrorCode::kEncodeFailed, "write_symbol: invalid symbol (%d)", static_cast<int32_t>(symbol));
}

namespace {

void put_run(Encoder& e, uint32_t bit, uint64_t count) {
  while (count > 0) {
    int chunk = count > 32 ? 32 : static_cast<int>(count);
    put_bits(e, bit ? (uint64_t{1} << chunk) - 1 : 0, chunk);
    count -= static_cast<uint64_t>(chunk);
  }
}

// Writes a decided bit followed by the pending opposite bits.
void emit(Encoder& e, uint32_t bit) {
  put_bits(e, bit, 1);
  put_run(e, bit ^ 1, e.pending);
  e.pending = 0;
}

}  // namespace

void emit_after_long_run(Encoder& e, uint32_t bits, int n) {
  emit(e, bits >> (n - 1));
  put_bits(e, bits & ((1u << (n - 1)) - 1), n - 1);
}

}  // namespace encoder_detail

using namespace encoder_detail;

namespace {

void start(Encoder& e) {
  e.buffer = std::make_unique<uint8_t[]>(kBufferSize + kBufferSlack);
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
  if (!file) fail(ErrorCode::kStreamFile, "new_encoder: cannot open \"%s\"", path);
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

void write_bits(Encoder& encoder, int n, uint32_t value) {
  if (n <= 0) return;
  uint64_t v = value & ((uint64_t{1} << n) - 1);
  uint64_t r = encoder.high - encoder.low + 1;
  uint64_t t = v * r;
  narrow(encoder, static_cast<uint32_t>(t >> n), static_cast<uint32_t>((t + r) >> n));
}

void write_fraction(Encoder& encoder, uint32_t n, uint32_t value) {
  if (value >= n) fail(ErrorCode::kEncodeFailed, "write_fraction: nominator out of range (%u/%u)", value, n);
  if (n == 1) return;
  uint64_t r = encoder.high - encoder.low + 1;
  uint64_t t = value * r;
  narrow(encoder, static_cast<uint32_t>(t / n), static_cast<uint32_t>((t + r) / n));
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
  if (!ok) fail(ErrorCode::kStreamFile, "kill_encoder: cannot close file");
  return static_cast<uint32_t>(encoder.flushed);
}

}  // namespace kv
