// Subbands coded through a quadtree of blocks: each block is either split
// into four quadrants or coded whole as a leaf, with a direction and its
// quantised band coefficients as magnitudes, signs and zero runs.
#pragma once

#include <cstdint>

#include "common/block_transform.h"
#include "common/codec_state.h"

namespace kv {

// A block of the plane being coded, at the state's pixel and row steps.
struct Block {
  int32_t* origin;
  int width;
  int height;
};

// Estimated cost in bits of coding the block at state.level; with `write`
// the block is also coded.
double code_block(CodecState& state, const Block& block, bool write);
double split_block(CodecState& state, const Block& block, bool write);
void code_leaf(CodecState& state, const Block& block, int direction_index);
void decode_block(CodecState& state, const Block& block);
// A leaf's bands, coarsest first: magnitudes, signs, zero runs and the 0 that
// ends a band early, at state.level.
void write_bands(CodecState& state, const BandLayout& layout, const int32_t* coefficients);

BlockView view_of(const CodecState& state, const Block& block);
// The same block in state.rebuilt.
BlockView rebuilt_view_of(CodecState& state, const Block& block);

struct BlockGeometry;
// A leaf's dequantised coefficients (scan positions) lifted back and written
// into the block `target`.
void place_leaf(const CodecState& state, const BlockGeometry& g, int direction_index, const int32_t* values,
                const BlockView& target);
// A leaf as the decoder rebuilds it from its quantised coefficients: dequantised, then placed.
void rebuild_leaf(const CodecState& state, const BlockGeometry& g, int direction_index, int32_t* coefficients,
                  const BlockView& target);

}  // namespace kv
