// Binary arithmetic decoder: repeats the encoder's interval arithmetic bit for
// bit. Bytes come from a window over the file (or the caller's memory); past
// the end two fetches of all-one bits are allowed, a third is a read error.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "adaptive_model.h"

namespace kv {

struct Decoder {
  std::FILE* file = nullptr;  // null when decoding from memory
  std::vector<uint8_t> window;
  const uint8_t* data = nullptr;  // bytes not yet taken into `reservoir`
  size_t size = 0;
  size_t position = 0;
  uint64_t reservoir = 0;  // upcoming code bits, left-aligned
  int reservoir_bits = 0;
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
// Byte fetches so far, fetches past the end included.
uint32_t decoder_bytes(const Decoder& decoder);

uint32_t get_bit(Decoder& decoder);
uint32_t read_symbol(Decoder& decoder, const AdaptiveModel& model);
uint32_t read_bits(Decoder& decoder, int n);
uint32_t read_fraction(Decoder& decoder, uint32_t n);
uint32_t read_float(Decoder& decoder);
uint32_t kill_decoder(Decoder& decoder);

}  // namespace kv
