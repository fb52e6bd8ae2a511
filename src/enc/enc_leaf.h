// The one writer of a quadtree leaf, whatever search chose it: split flag 1,
// direction, bands; then the encoder's own bookkeeping of the leaf (the
// rebuilt image, the diagnostic picture, progress).
#pragma once

#include <cstdint>

#include "common/quadtree.h"
#include "enc/enc_state.h"

namespace kv {

// A leaf's bands, coarsest first: magnitudes, signs, zero runs and the 0 that
// ends a band early, with the models of subband `level`.
void write_bands(EncoderState& state, int level, const BandLayout& layout, const int32_t* coefficients);

// Codes `block` of subband `level` as a leaf in direction `direction_index`
// with the quantised coefficients `values` (scan positions; overwritten when
// the encoder rebuilds). `samples` are the block's samples, row-major.
void write_leaf(EncoderState& state, int level, const Block& block, const BlockGeometry& g, int direction_index,
                int32_t* values, const int32_t* samples);

}  // namespace kv
