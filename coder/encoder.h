// Binary arithmetic encoder with 16-bit low/high registers. Code bits are
// decided several at a time, collected in a machine word and written as whole
// bytes through a buffer of the encoder's own, to a file or to memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "adaptive_model.h"

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
void write_symbol(Encoder& encoder, const AdaptiveModel& model, uint32_t symbol);
void write_bits(Encoder& encoder, int n, uint32_t value);
void write_fraction(Encoder& encoder, uint32_t n, uint32_t value);
void write_float(Encoder& encoder, uint32_t word);
uint32_t kill_encoder(Encoder& encoder);

}  // namespace kv
