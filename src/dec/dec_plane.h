// A plane as the decoder reads it, in the encoder's order (enc/enc_plane.h),
// each depth's inverse wavelet applied once its four parts are in.
#pragma once

#include <cstdint>

#include "dec/dec_state.h"

namespace kv {

// Decodes the w x h region at origin; `level` grows by 2 per depth.
void decode_plane(DecoderState& state, int32_t* origin, int w, int h, int level);

}  // namespace kv
