#include "enc/enc_state.h"

#include <algorithm>
#include <bit>

#include "common/block_geometry.h"
#include "enc/direction_search.h"
#include "enc/enc_scratch.h"
#include "util/thread_pool.h"

namespace kv {

void create_models(EncoderState& state) {
  for (AdaptiveModel& model : state.models) new_context(model, kModelSymbols, kModelLimit, nullptr);
}

void release_models(EncoderState& state) {
  for (AdaptiveModel& model : state.models) kill_context(model);
}

void prepare_encoder(EncoderState& state) {
  // A cache left by a decode has no band gains, which an encode needs.
  if (!state.geometry || !state.geometry->has_band_gains())
    state.geometry = std::make_shared<GeometryCache>(ChunkPages::huge);
  if (!state.pool) {
    int threads = state.threads > 0 ? state.threads : default_thread_count();
    state.pool = std::make_shared<ThreadPool>(threads);
  }
}

void write_magnitude(EncoderState& state, int model, int32_t v) {
  write_magnitude(state.encoder, state.models[model], state.bins, v);
  state.dirty_models |= uint64_t{1} << model;
  ++state.model_version;
}

void show_progress(EncoderState& state, int32_t count) {
  state.coded_samples += count;
  const double total = static_cast<double>(state.width) * state.height * state.channels;
  // At most 256 calls an image, whatever the number of leaves.
  if (state.progress) {
    const double fraction = std::min(1.0, static_cast<double>(state.coded_samples) / total);
    const auto step = static_cast<int32_t>(fraction * 256);
    if (step > state.progress_step) {
      state.progress_step = step;
      state.progress(fraction);
    }
  }
  if (!state.console) return;
  uint32_t bytes = encoder_bytes(state.encoder);
  std::fprintf(state.console, "\r%6.2f%% done, %d > %d (%5.3f bpp) ",
               100.0 * static_cast<double>(state.coded_samples) / total, static_cast<int32_t>(state.coded_samples),
               static_cast<int32_t>(bytes),
               static_cast<double>(uint64_t{bytes} * 8 * static_cast<uint64_t>(state.channels)) /
                   static_cast<double>(state.coded_samples));
}

void refresh_rate_table(EncoderState& state) {
  const double* log2_of = log2_table();
  for (uint64_t dirty = state.dirty_models; dirty; dirty &= dirty - 1) {
    const int model = std::countr_zero(dirty);
    const AdaptiveModel& context = state.models[model];
    const double total = log2_of[model_total(context)];
    for (int bin = 0; bin < kModelSymbols; ++bin) {
      const int32_t width = state.bins.bin_start[bin + 1] - state.bins.bin_start[bin];
      state.rate_bits[model][bin] =
          total - log2_of[get_frequency(context, static_cast<uint32_t>(bin))] + log2_of[width];
    }
    state.rate_bits[model][kModelSymbols] = kProhibitiveBits;
    std::copy(std::begin(state.rate_bits[model]), std::end(state.rate_bits[model]),
              state.item_bits + model * (kModelSymbols + 1));
  }
  state.item_bits[kModelCount * (kModelSymbols + 1)] = 1.0;
  state.dirty_models = 0;
}

}  // namespace kv
