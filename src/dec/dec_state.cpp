#include "dec/dec_state.h"

#include "common/block_geometry.h"
#include "common/quadtree.h"
#include "util/thread_pool.h"

namespace kv {

static_assert(kModelSymbols == kBinSymbols, "the decoder's bank mirrors the encoder's models");

void prepare_decoder(DecoderState& state) {
  if (!state.geometry) state.geometry = std::make_shared<GeometryCache>(ChunkPages::small_first, false);
  for (BinModel& model : state.models) reset_bin_model(model);
}

void place_pending_leaves(DecoderState& state) {
  const std::vector<DecoderState::PendingLeaf>& leaves = state.pending_leaves;
  state.pool->parallel_ranges(static_cast<int64_t>(leaves.size()), [&](int64_t first, int64_t end) {
    for (int64_t i = first; i < end; ++i) {
      const DecoderState::PendingLeaf& leaf = leaves[static_cast<size_t>(i)];
      place_leaf(state, *leaf.geometry, leaf.direction_index, state.pending_values.data() + leaf.values_begin,
                 leaf.target);
    }
  });
  state.pending_leaves.clear();
  state.pending_values.clear();
}

}  // namespace kv
