#include "entropy/magnitude.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "util/error.h"

namespace kv {

namespace {

// ceil(base^(i - 1)), pinned to INT32_MAX beyond int32.
int32_t bin_start_of(double log_base, int i) {
  const double start = std::ceil(std::exp(log_base * (i - 1)));
  return start < 2147483647.0 ? static_cast<int32_t>(start) : INT32_MAX;
}

}  // namespace

void build_decoding_bin_tables(CodecState& state) {
  const double log_base = std::log(static_cast<double>(kBinBase));
  state.bin_start[0] = 0;
  for (int i = 1; i <= 32; ++i) state.bin_start[i] = bin_start_of(log_base, i);
  for (int b = 0; b < 32; ++b) {
    state.bin_width[b] = static_cast<uint32_t>(state.bin_start[b + 1] - state.bin_start[b]);
    state.bin_reciprocal[b] = state.bin_width[b] >= 2 ? total_reciprocal(state.bin_width[b]) : 0;
  }
}

void build_bin_tables(CodecState& state) {
  build_decoding_bin_tables(state);
  const double log_base = std::log(static_cast<double>(kBinBase));
  state.inv_log_base = static_cast<float>(1.0 / log_base);
  // Only bins 0..32 are ever read; the starts beyond serve the encoder's
  // bin arithmetic on magnitudes it then refuses.
  for (int i = 33; i < 256; ++i) state.bin_start[i] = bin_start_of(log_base, i);
  state.bin_of[0] = 0;
  for (int j = 1; j < 256; ++j)
    state.bin_of[j] = static_cast<int32_t>(std::log(static_cast<double>(j)) * state.inv_log_base + 1.0);
  for (int m = 0; m <= 1024; ++m) state.small_bin[m] = magnitude_bin(state, m);
}

int32_t large_magnitude_bin(const CodecState& state, int32_t v) {
  int64_t m = std::llabs(static_cast<int64_t>(v));
  return static_cast<int32_t>(std::log(static_cast<double>(m)) * state.inv_log_base + 1.0);
}

void write_magnitude(CodecState& state, int model, int32_t v) {
  int64_t m = std::llabs(static_cast<int64_t>(v));
  int32_t bin = magnitude_bin(state, v);
  AdaptiveModel& context = state.models[model];
  write_symbol(state.encoder, context, static_cast<uint32_t>(bin));  // refuses bins beyond 31
  write_fraction(state.encoder, static_cast<uint32_t>(state.bin_start[bin + 1] - state.bin_start[bin]),
                 static_cast<uint32_t>(m - state.bin_start[bin]));
  update_context(context, static_cast<uint32_t>(bin), kModelIncrement);
  state.dirty_models |= uint64_t{1} << model;
  ++state.model_version;
}

int32_t read_magnitude(CodecState& state, int model) {
  SymbolReader reader(state.decoder);
  const int32_t magnitude = read_magnitude(reader, state, model);
  reader.store();
  return magnitude;
}

void show_progress(CodecState& state, int32_t count) {
  state.coded_samples += count;
  double total = static_cast<double>(state.width) * state.height * state.channels;
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

}  // namespace kv
