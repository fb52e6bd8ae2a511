// The direction search of one quadtree node on cached evaluations: each
// direction's quantised values, distortion and rate items are computed once
// per node (they do not depend on the models) and only the rates summed
// again with the models as they stand.
#pragma once

#include "enc/direction_search.h"
#include "enc/enc_state.h"
#include "enc/estimates.h"

namespace kv {

// The direction the mode's search (kDefaultSearch, or kRateDistortionSearch in the
// rate-distortion mode) chooses for the node's block, with its cost.
DirectionChoice choose_node_direction(EncoderState& state, const EstimateTree& tree, EstimateNode& node);

// Evaluates ahead of the coding the entries of the node's table its search
// is likely to weigh: the entries the search takes with the rates of `bits`
// (an earlier copy of state.item_bits). Evaluations do not depend on the
// models, so an entry the search then skips is work lost, never a different
// decision. Reads the state only; nodes of different trees may be evaluated
// on different threads at once.
void evaluate_ahead(EncoderState& state, const EstimateTree& tree, EstimateNode& node, const double* bits);

}  // namespace kv
