#include "dec/dec_state.h"

#include <utility>

#include "common/block_geometry.h"

namespace kv {

static_assert(kModelSymbols == kBinSymbols, "the decoder's bank mirrors the encoder's models");

void prepare_decoder(DecoderState& state) {
  if (!state.geometry) state.geometry = std::make_shared<GeometryCache>(ChunkPages::small_first, false);
  for (BinModel& model : state.models) reset_bin_model(model);
}

void hand_over_leaves(DecoderState& state) {
  if (state.pending_leaves.empty()) return;
  state.rebuild->add_leaves(std::exchange(state.pending_leaves, {}), std::exchange(state.pending_values, {}));
}

}  // namespace kv
