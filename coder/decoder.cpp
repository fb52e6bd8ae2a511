#include "decoder.h"

#include <bit>

#include "failure.h"

namespace kv {

namespace {

constexpr size_t kWindowSize = 1 << 16;

// Moves real bytes into the reservoir while there is room and input; returns
// false once the input is exhausted.
bool fill(Decoder& d) {
  while (d.reservoir_bits <= 56) {
    if (d.position == d.size) {
      if (!d.file) return false;
      size_t got = std::fread(d.window.data(), 1, d.window.size(), d.file);
      if (got == 0) {
        if (std::ferror(d.file)) fail(1, "get_bit: read error");
        return false;
      }
      d.data = d.window.data();
      d.size = got;
      d.position = 0;
    }
    d.reservoir |= uint64_t{d.data[d.position++]} << (56 - d.reservoir_bits);
    d.reservoir_bits += 8;
  }
  return true;
}

// Takes the next `n` (1..16) code bits.
inline uint32_t take_bits(Decoder& d, int n) {
  if (d.reservoir_bits < n && !fill(d)) {
    while (d.reservoir_bits < n) {
      // Past the end: two fetches of all-one bits, then a read error.
      if (d.pad_bits > 13) fail(1, "get_bit: read error");
      d.pad_bits += 8;
      d.reservoir |= uint64_t{0xFF} << (56 - d.reservoir_bits);
      d.reservoir_bits += 8;
    }
  }
  uint32_t bits = static_cast<uint32_t>(d.reservoir >> (64 - n));
  d.reservoir <<= n;
  d.reservoir_bits -= n;
  d.consumed_bits += static_cast<uint64_t>(n);
  return bits;
}

// The encoder's renormalisation decisions, taken several bits at a time (see
// the encoder); value follows low and high, reading one code bit per shift.
inline void renormalise(Decoder& d) {
  uint32_t differ = d.low ^ d.high;
  int n = differ ? std::countl_zero(differ) - 16 : 16;
  if (n) {
    d.low = (d.low << n) & 0xFFFF;
    d.high = ((d.high << n) | ((1u << n) - 1)) & 0xFFFF;
    d.value = ((d.value << n) | take_bits(d, n)) & 0xFFFF;
  }
  int k = std::countl_one((d.low & ~d.high) << 17);
  if (k) {
    d.low = ((d.low << k) ^ 0x8000) & 0xFFFF;
    d.high = (((d.high << k) | ((1u << k) - 1)) ^ 0x8000) & 0xFFFF;
    d.value = (((d.value << k) | take_bits(d, k)) ^ 0x8000) & 0xFFFF;
  }
}

void start(Decoder& d) {
  d.reservoir = 0;
  d.reservoir_bits = 0;
  d.consumed_bits = 0;
  d.pad_bits = 0;
  d.low = 0;
  d.high = 0xFFFF;
  d.value = take_bits(d, 16);
}

inline void narrow(Decoder& d, uint64_t new_low_offset, uint64_t new_high_offset) {
  uint32_t low = d.low;
  d.high = static_cast<uint32_t>(low + new_high_offset - 1);
  d.low = static_cast<uint32_t>(low + new_low_offset);
  renormalise(d);
}

}  // namespace

Decoder::~Decoder() {
  if (file) std::fclose(file);
}

void new_decoder(Decoder& decoder, const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) fail(1, "new_decoder: cannot open \"%s\"", path);
  if (decoder.file) std::fclose(decoder.file);
  decoder.file = file;
  decoder.window.resize(kWindowSize);
  decoder.data = decoder.window.data();
  decoder.size = 0;
  decoder.position = 0;
  start(decoder);
}

void new_memory_decoder(Decoder& decoder, const uint8_t* data, size_t size) {
  if (decoder.file) std::fclose(decoder.file);
  decoder.file = nullptr;
  decoder.data = data;
  decoder.size = size;
  decoder.position = 0;
  start(decoder);
}

uint32_t decoder_bytes(const Decoder& decoder) {
  return static_cast<uint32_t>((decoder.consumed_bits + 7) / 8);
}

uint32_t get_bit(Decoder& decoder) { return take_bits(decoder, 1); }

uint32_t read_symbol(Decoder& decoder, const AdaptiveModel& model) {
  if (decoder.value < decoder.low || decoder.value > decoder.high) fail(1, "read_symbol: out of range");
  uint64_t r = decoder.high - decoder.low + 1;
  uint64_t total = model_total(model);
  uint64_t target = ((decoder.value - decoder.low + 1) * total - 1) / r;
  SymbolInterval interval;
  uint32_t symbol = find_symbol_interval(model, static_cast<uint32_t>(target), interval);
  narrow(decoder, r * interval.cumulative / total, r * (interval.cumulative + interval.frequency) / total);
  return symbol;
}

uint32_t read_bits(Decoder& decoder, int n) {
  if (n <= 0) return 0;
  if (decoder.value < decoder.low || decoder.value > decoder.high) fail(1, "read_bits: out of range");
  uint64_t r = decoder.high - decoder.low + 1;
  uint64_t v = (((uint64_t{decoder.value} - decoder.low + 1) << n) - 1) / r;
  uint64_t t = v * r;
  narrow(decoder, t >> n, (t + r) >> n);
  return static_cast<uint32_t>(v);
}

uint32_t read_fraction(Decoder& decoder, uint32_t n) {
  if (n <= 1) return 0;
  if (decoder.value < decoder.low || decoder.value > decoder.high) fail(1, "read_fraction: out of range");
  uint64_t r = decoder.high - decoder.low + 1;
  uint64_t v = ((uint64_t{decoder.value} - decoder.low + 1) * n - 1) / r;
  uint64_t t = v * r;
  narrow(decoder, t / n, (t + r) / n);
  return static_cast<uint32_t>(v);
}

uint32_t read_float(Decoder& decoder) {
  uint32_t b0 = read_bits(decoder, 8);
  uint32_t b1 = read_bits(decoder, 8);
  uint32_t b2 = read_bits(decoder, 8);
  uint32_t b3 = read_bits(decoder, 8);
  return b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

uint32_t kill_decoder(Decoder& decoder) {
  if (decoder.file) {
    int status = std::fclose(decoder.file);
    decoder.file = nullptr;
    if (status != 0) fail(1, "kill_decoder: cannot close file");
  }
  return decoder_bytes(decoder);
}

}  // namespace kv
