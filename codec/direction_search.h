// The encoder's choice of a leaf block's direction: estimated bits of
// everything the leaf writes (but its split flag) plus a weighted measure of
// the error quantisation leaves. Estimates read the models, never change them.
#pragma once

#include <cstdint>
#include <vector>

#include "block_transform.h"
#include "codec_state.h"

namespace kv {

// Cost of a value no magnitude bin can hold: prohibitive, yet finite so that
// cost differences stay well defined.
inline constexpr double kProhibitiveBits = 1.0e12;

// Estimated bits of write_magnitude(model, v) with the model as it stands.
double value_bits(const CodecState& state, int model, int32_t v);

// Cost of coding `block` (a region of the image) with table entry `index`.
double direction_cost(const CodecState& state, int level, const BlockView& block, const BandLayout& layout,
                      const std::vector<ScanDirection>& table, int index);

struct DirectionChoice {
  double cost;
  int32_t index;
};

// Whole-table search for tables of up to 8 entries; beyond, 8 samples refined
// around the 3 best with steps falling by a third.
DirectionChoice choose_direction(const CodecState& state, int level, const BlockView& block);

// Candidate order of the refinement: costs less than one bit apart rank by index.
bool ranks_before(const DirectionChoice& u, const DirectionChoice& v);
// The insertion sort the refinement uses: which candidates survive depends on it,
// since the order above is not transitive.
void sort_candidates(DirectionChoice* candidates, int count);

}  // namespace kv
