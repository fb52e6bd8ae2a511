#include "dec/dec_state.h"

#include "common/block_geometry.h"

namespace kv {

static_assert(kModelSymbols == kBinSymbols, "the decoder's bank mirrors the encoder's models");

void prepare_decoder(DecoderState& state) {
  if (!state.geometry) state.geometry = std::make_shared<GeometryCache>(ChunkPages::small_first, false);
  for (BinModel& model : state.models) reset_bin_model(model);
}

}  // namespace kv
