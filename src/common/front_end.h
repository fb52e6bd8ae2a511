// The stream header and the order in which an image is coded or decoded.
// The files and the command line are the library's (kelvane/kelvane.h).
#pragma once

#include <cstdint>

#include "common/codec_state.h"
#include "io/pnm.h"

namespace kv {

// Codes state.image (width, height, channels set) through state.encoder,
// which is open: header, colour matrix, planes. Leaves the encoder open.
void encode_image(CodecState& state, float base_q, const char* input_name, const char* output_name);

// Reads a stream through state.decoder, which is open, into state.image,
// clamped to 0..255. Refuses ("Not enough memory.") an image whose buffer
// would exceed `memory_limit` bytes (0: the machine's physical memory). A
// stream shorter than its shape's least length (common/stream_bound.h) is
// read through without the image (nothing in proportion to its declared
// shape) and ends with the error its whole decode would have met.
void decode_image(CodecState& state, uint64_t memory_limit, const char* input_name, const char* output_name);

// The whole encode and decode in memory. `state` is fresh but for its
// settings (console, threads, modes), and is used up.
std::vector<uint8_t> encode_to_memory(CodecState& state, Image image, float base_q);
Image decode_from_memory(CodecState& state, const uint8_t* data, size_t size, uint64_t memory_limit);

}  // namespace kv
