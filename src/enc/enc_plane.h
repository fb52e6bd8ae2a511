// A plane as the encoder codes it: one depth of the wavelet, the low
// quadrant coded first (recursively, down to a single DC value), then the
// detail subbands top-right, bottom-left (level + 1) and bottom-right (level).
#pragma once

#include <cstdint>

#include "common/quadtree.h"
#include "enc/enc_state.h"

namespace kv {

// Transforms and codes the w x h region at origin; `level` grows by 2 per depth.
void encode_plane(EncoderState& state, int32_t* origin, int w, int h, int level);

// A detail subband's block: split while above kSplitMaxArea samples, below
// that searched and coded by state.search.
void encode_subband_block(EncoderState& state, const Block& block, int level);

}  // namespace kv
