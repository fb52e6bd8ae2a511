// The encoder's entry: the stream header, the colour matrix and the planes.
// The stream layout, in order: 'K' '$' (8 bits each), width and height (16
// bits each), channels (8 bits), the quantization value (float32 bits); for
// more than one channel the colour matrix (channels^2 float32, row-major);
// then each plane (enc/enc_plane.h); then the coder's final flush.
#pragma once

#include <cstdint>
#include <vector>

#include "common/format.h"
#include "enc/enc_state.h"
#include "common/image.h"

namespace kv {

// What the target search alone sets, between two quantization values where
// no value lies between the streams: two continuous settings a stream at one
// value can move along. Defaults leave the encoder's stream as it is; with
// others, encoding at the same value without them gives another stream (the
// decoder reads both alike).
struct EncodeTuning {
  // Default mode: state.fill (enc/enc_state.h) towards the table of the
  // value fill_q (the other side of a step edge from the coded one). Near
  // 1, the stream's coefficients come close to fill_q's stream's: at one
  // float above a step edge with fill_q the edge, close to the stream just
  // below the edge; at the edge with fill_q the float above, close to that
  // one's.
  double fill = 0;
  float fill_q = 1.0f;
  // Rate-distortion mode: lambda's factor; below 1 spends bits on quality,
  // above 1 saves them.
  double lambda_scale = 1.0;
  bool plain() const { return fill == 0 && lambda_scale == 1.0; }
};

// Puts `tuning` into a fresh state's settings.
inline void apply_tuning(EncoderState& state, const EncodeTuning& tuning) {
  state.fill = tuning.fill;
  build_quantizer_table(tuning.fill_q, state.fill_quant);
  state.lambda_scale = tuning.lambda_scale;
}

// Codes state.image (width, height, channels set) through state.encoder,
// which is open: header, colour matrix, planes. Leaves the encoder open.
void encode_image(EncoderState& state, float base_q, const char* input_name, const char* output_name);

// The whole encode in memory. `state` is fresh but for its settings
// (console, threads, modes), and is used up.
std::vector<uint8_t> encode_to_memory(EncoderState& state, Image image, float base_q);

}  // namespace kv
