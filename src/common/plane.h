// One channel plane: the dyadic wavelet decomposition down to a single DC
// value, then the detail subbands from the coarsest level to the finest.
#pragma once

#include <cstdint>

#include "common/codec_state.h"

namespace kv {

// Codes (or decodes) the w x h region at origin; `level` grows by 2 per depth.
void code_plane(CodecState& state, int32_t* origin, int w, int h, bool encode, int level);
// The inverse of every depth of the decomposition of the w x h region at
// origin, deepest first: what the decoder does once a plane's values are in.
void invert_plane(const CodecState& state, int32_t* origin, int w, int h);

}  // namespace kv
