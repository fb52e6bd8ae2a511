// A detail subband's quadtree as the decoder reads it (common/quadtree.h).
#pragma once

#include "common/quadtree.h"
#include "dec/dec_state.h"

namespace kv {

// Reads the block's split flag and then its quadrants or its leaf: direction,
// then each band's magnitudes, signs and zero runs, coarsest band first,
// dequantised with the steps of subband `level` and placed into the block.
void decode_block(DecoderState& state, const Block& block, int level);

}  // namespace kv
