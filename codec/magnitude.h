// Every non-negative integer of the plane data travels as a logarithmic bin
// (base 1.36, 32 bins) coded with one adaptive model, plus a flat offset
// inside the bin.
#pragma once

#include <cstdint>

#include "codec_state.h"

namespace kv {

inline constexpr int32_t kLargestMagnitude = 13794;  // last magnitude of bin 31

void build_bin_tables(CodecState& state);
// The bin of |v|; above 31 for magnitudes that cannot be coded.
int32_t large_magnitude_bin(const CodecState& state, int32_t v);
inline int32_t magnitude_bin(const CodecState& state, int32_t v) {
  if (v >= -255 && v <= 255) return state.bin_of[v < 0 ? -v : v];
  return large_magnitude_bin(state, v);
}
void write_magnitude(CodecState& state, int model, int32_t v);
int32_t read_magnitude(CodecState& state, int model);
void show_progress(CodecState& state, int32_t count);

}  // namespace kv
