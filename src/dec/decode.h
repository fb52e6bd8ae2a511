// The decoder's entry: the stream header, the colour matrix and the planes,
// in the order the encoder wrote them (enc/encode.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dec/dec_state.h"
#include "common/image.h"

namespace kv {

// Reads a stream through state.decoder, which is open, into state.image,
// clamped to 0..255. Refuses ("Not enough memory.") an image whose buffer
// would exceed `memory_limit` bytes (0: the machine's physical memory). A
// stream shorter than its shape's least length (common/stream_bound.h) is
// read through without the image (nothing in proportion to its declared
// shape) and ends with the error its whole decode would have met.
void decode_image(DecoderState& state, uint64_t memory_limit, const char* input_name, const char* output_name);

// The colour matrix as the stream carries it after the header:
// channels^2 float32, row-major.
std::vector<double> read_colour_matrix(DecoderState& state);

// The whole decode in memory; `state` is fresh but for its console.
Image decode_from_memory(DecoderState& state, const uint8_t* data, size_t size, uint64_t memory_limit);

}  // namespace kv
