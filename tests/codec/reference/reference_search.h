// The plain search, without caches, estimates or threads: the encoder's
// decisions written out directly, against which the tests check the
// encoder's own search (enc/estimates.h) block by block and stream by stream.
#pragma once

#include <cstdint>
#include <vector>

#include "common/block_transform.h"
#include "common/quadtree.h"
#include "enc/direction_search.h"
#include "enc/enc_state.h"

namespace kv {

// Estimated bits of write_magnitude(model, v) with the model as it stands.
double value_bits(const EncoderState& state, int model, int32_t v);

// Cost of coding `block` (a region of the image) with table entry `index`.
double direction_cost(const EncoderState& state, int level, const BlockView& block, const BandLayout& layout,
                      const std::vector<ScanDirection>& table, int index);

// Whole-table search for tables of up to 8 entries; beyond, 8 samples refined
// around the 3 best with steps falling by a third.
DirectionChoice choose_direction(const EncoderState& state, int level, const BlockView& block);

// Estimated cost in bits of coding the block at subband `level`; with
// `write` the block is also coded.
double code_block(EncoderState& state, const Block& block, int level, bool write);
double split_block(EncoderState& state, const Block& block, int level, bool write);
void code_leaf(EncoderState& state, const Block& block, int level, int direction_index);
// The plain search as the encoder's SubbandSearch.
double search_plainly(EncoderState& state, const Block& block, int level);

}  // namespace kv
