// The rate-distortion-optimising mode's own parts: lambda and the weight of
// each subband level, and the quantiser that chooses a block's values for
// least distortion plus lambda times bits rather than nearest.
#pragma once

#include <cstdint>

#include "enc/enc_state.h"
#include "enc/estimates.h"

namespace kv {

// The pixel-domain energy of a unit coefficient at every subband level of a
// plane of the state's size, and lambda for base_q (with state.floor_q).
void prepare_rate_distortion(EncoderState& state, float base_q);

// The mean distance of a sample from the mean of its four neighbours, over
// every channel's samples with four neighbours (0 for an image without
// any): how much fine detail `samples` (interleaved, `channels` per pixel)
// hold. A function of the samples alone, the same on any machine.
double fine_detail(const int32_t* samples, int width, int height, int channels);

// lambda's floor for an image of fine_detail `detail`: kSmoothFloorQ up to a
// detail of kSmoothDetail, kLambdaFloorQ from kTexturedDetail on, linear in
// between. Smooth photographs spend the bits of small baseQ on noise-level
// detail in the finest bands, which a larger lambda keeps out; on detailed
// images the same lambda would drop real edges.
inline constexpr double kSmoothDetail = 1.5;
inline constexpr double kTexturedDetail = 2.5;
double lambda_floor_q(double detail);

// The split flag: one bit, weighed as bits or, in the rate-distortion mode, as lambda.
inline double split_flag_cost(const EncoderState& state) { return state.rdo ? state.rdo_lambda : 1; }


// Rate-distortion-optimised quantisation of a block's lifted coefficients, in
// place, one coefficient at a time in scan order, each choice made with the
// runs as the earlier choices left them. A magnitude n of 2 or more (the
// truncated quotient) becomes n + 1 where that rebuilds nearer; a 1 may
// become 2 or 0 and a 0 may become 1, whichever lowers J. The rate side
// counts magnitude, sign and runs, the run a dropped value merges into and
// the band terminator; the distortion side the error times the band's
// synthesis gain and the level's weight. The chosen values go to `quantised`; like
// write_rate_items, it writes the rate items from `out` on (returning their
// end) and leaves the rebuilt values in `values`, ready for the inverse.
uint16_t* quantise_optimised(const EncoderState& state, const EstimateTree& tree, const BlockGeometry& g, int level,
                             int32_t* values, int32_t* quantised, uint16_t* out, bool& all_zero);

}  // namespace kv
