#include "common/codec_state.h"

#include "common/block_geometry.h"
#include "util/thread_pool.h"

namespace kv {

static_assert(kModelSymbols == kBinSymbols, "the decoder's bank mirrors the models");

void create_models(CodecState& state) {
  for (AdaptiveModel& model : state.models) new_context(model, kModelSymbols, kModelLimit, nullptr);
  for (BinModel& model : state.decoding_models) reset_bin_model(model);
}

void create_decoding_models(CodecState& state) {
  for (BinModel& model : state.decoding_models) reset_bin_model(model);
}

void release_models(CodecState& state) {
  for (AdaptiveModel& model : state.models) kill_context(model);
}

void build_quantizer_table(float base_q, float quant[64]) {
  const double root2 = 1.4142135623730951;
  float q = base_q;
  for (int i = 0; i < 64; ++i) {
    quant[i] = q > 1.0f ? q : 1.0f;  // a NaN fails the comparison and gives 1.0 too
    q = static_cast<float>(static_cast<double>(q) / root2);
  }
}

void prepare_run(CodecState& state, bool encode) {
  // A cache left by a decode has no band gains, which an encode needs.
  if (!state.geometry || (encode && !state.geometry->has_band_gains()))
    state.geometry = encode ? std::make_shared<GeometryCache>(ChunkPages::huge)
                            : std::make_shared<GeometryCache>(ChunkPages::small_first, false);
  if (encode && !state.pool) {
    int threads = state.threads > 0 ? state.threads : default_thread_count();
    state.pool = std::make_shared<ThreadPool>(threads);
  }
}

}  // namespace kv
