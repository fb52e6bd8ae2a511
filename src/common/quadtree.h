// The quadtree both directions walk in every detail subband: a block is
// either split into four quadrants (a split flag of 0) or coded whole as a
// leaf (1), with a direction and its quantised band coefficients.
#pragma once

#include <cstdint>

#include "common/block_geometry.h"
#include "common/block_transform.h"
#include "common/coding_state.h"

namespace kv {

// A block of the plane being coded, at the state's pixel and row steps.
struct Block {
  int32_t* origin;
  int width;
  int height;
};

inline bool has_samples(const Block& b) { return b.width > 0 && b.height > 0; }

// Top-left, top-right, bottom-left, bottom-right: the left and upper halves
// take the odd sample. Quadrants of a one-sample side have no samples.
struct Quadrants {
  Block part[4];
};
Quadrants quadrants_of(const CodingState& state, const Block& b);

BlockView view_of(const CodingState& state, const Block& block);

// A leaf's dequantised coefficients (scan positions) lifted back and written
// into the block `target`.
void place_leaf(const CodingState& state, const BlockGeometry& g, int direction_index, const int32_t* values,
                const BlockView& target);

}  // namespace kv
