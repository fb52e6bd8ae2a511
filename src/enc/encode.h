// The encoder's entry: the stream header, the colour matrix and the planes.
// The stream layout, in order: 'K' '$' (8 bits each), width and height (16
// bits each), channels (8 bits), the quantization value (float32 bits); for
// more than one channel the colour matrix (channels^2 float32, row-major);
// then each plane (enc/enc_plane.h); then the coder's final flush.
#pragma once

#include <cstdint>
#include <vector>

#include "enc/enc_state.h"
#include "common/image.h"

namespace kv {

// Codes state.image (width, height, channels set) through state.encoder,
// which is open: header, colour matrix, planes. Leaves the encoder open.
void encode_image(EncoderState& state, float base_q, const char* input_name, const char* output_name);

// The whole encode in memory. `state` is fresh but for its settings
// (console, threads, modes), and is used up.
std::vector<uint8_t> encode_to_memory(EncoderState& state, Image image, float base_q);

}  // namespace kv
