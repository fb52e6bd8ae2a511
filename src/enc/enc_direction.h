// The direction search of one quadtree node on cached evaluations: each
// direction's quantised values, distortion and rate items are computed once
// per node (they do not depend on the models) and only the rates summed
// again with the models as they stand.
#pragma once

#include "enc/direction_search.h"
#include "enc/enc_state.h"
#include "enc/estimates.h"

namespace kv {

// The direction the plain search would choose for the node's block, with its cost.
DirectionChoice choose_node_direction(EncoderState& state, const EstimateTree& tree, EstimateNode& node);

}  // namespace kv
