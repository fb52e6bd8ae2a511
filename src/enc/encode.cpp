#include "enc/encode.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <new>

#include "common/colour.h"
#include "common/plane.h"
#include "enc/enc_colour.h"
#include "enc/enc_plane.h"
#include "enc/enc_rdo.h"
#include "util/chunk_arena.h"
#include "util/error.h"
#include "util/thread_pool.h"

namespace kv {

namespace {

// The encoder codes the planes where the pixels' samples lie, interleaved.
void set_plane_steps(EncoderState& state) {
  state.pixel_step = state.channels;
  state.row_step = state.channels * state.width;
}

// Squared error + `lambda` * bits of coding state.image at `q` with lambda
// scaled by `scale`, on a copy of the state's settings.
double trial_cost(const EncoderState& state, float q, double scale, double lambda) {
  EncoderState trial;
  trial.width = state.width;
  trial.height = state.height;
  trial.channels = state.channels;
  trial.image = state.image;
  trial.bins = state.bins;
  trial.geometry = state.geometry;
  trial.threads = state.threads;
  trial.pool = state.pool;
  trial.search = state.search;
  trial.rdo = true;
  trial.rdo_lambda_factor = state.rdo_lambda_factor;
  trial.lambda_scale = scale;
  trial.rebuild = true;
  std::vector<uint8_t> stream;
  new_memory_encoder(trial.encoder, stream);
  encode_image(trial, q, "", "");
  kill_encoder(trial.encoder);
  double sse = 0;
  for (size_t i = 0; i < state.image.size(); ++i) {
    const double d = static_cast<double>(state.image[i]) - trial.rebuilt[i];
    sse += d * d;
  }
  return sse + lambda * 8.0 * static_cast<double>(stream.size());
}

// lambda's rule (prepare_rate_distortion) without its factor, for an image of floor `floor_q`.
double lambda_base(double q, double floor_q) { return q * q + floor_q * floor_q; }

// Effort 2: the quantization value to code with, keeping base_q's lambda:
// quarter octaves down from base_q while J falls, else up while it falls
// (at most three steps either way). Multiplies state.lambda_scale (the
// tuning's, which every trial keeps) by the ratio that keeps lambda.
float search_quantization(EncoderState& state, float base_q) {
  const double tuned = state.lambda_scale;
  const double floor_q = state.floor_q;
  const double lambda = state.rdo_lambda_factor * lambda_base(base_q, floor_q) * tuned;
  const double ratio = 1.189207115002721;  // 2^(1/4)
  float best_q = base_q;
  double best = trial_cost(state, base_q, tuned, lambda);
  for (double step : {1.0 / ratio, ratio}) {
    bool moved = false;
    for (int k = 1; k <= 3; ++k) {
      const float q = static_cast<float>(base_q * std::pow(step, k));
      if (!(q > 1.0f)) break;
      const double cost = trial_cost(state, q, tuned * (lambda_base(base_q, floor_q) / lambda_base(q, floor_q)), lambda);
      if (!(cost < best)) break;
      best = cost;
      best_q = q;
      moved = true;
    }
    if (moved) break;
  }
  state.lambda_scale = tuned * (lambda_base(base_q, floor_q) / lambda_base(best_q, floor_q));
  return best_q;
}

// The colour transform of every pixel, the pixels shared between the
// threads in a large image.
void colour_transform_shared(EncoderState& state, const std::vector<double>& matrix, bool forward) {
  const int64_t pixels = int64_t{state.width} * state.height;
  ThreadPool* pool = state.pool.get();
  if (!pool || pool->threads() == 1 || pixels < (int64_t{1} << 16)) {
    apply_colour_transform(state, matrix, forward);
    return;
  }
  pool->parallel_ranges(pixels, [&](int64_t first, int64_t end) {
    apply_colour_transform(state, matrix, forward, first, end);
  });
}

}  // namespace

void encode_image(EncoderState& state, float base_q, const char* input_name, const char* output_name) {
  if (state.width > kMaxDimension || state.height > kMaxDimension)
    fail(ErrorCode::kImageRead, "Error reading file \"%s\".", input_name);
  prepare_encoder(state);
  // At q <= 1 every step is 1.0 and the mode has nothing to trade: it stays off,
  // and the stream is the default one, exact.
  if (state.rdo && !(base_q > 1.0f)) state.rdo = false;
  // lambda's floor follows the image's fine detail, measured before the
  // colour transform: effort 2's trials measure the same samples.
  if (state.rdo)
    state.floor_q = lambda_floor_q(fine_detail(state.image.data(), state.width, state.height, state.channels));
  if (state.rdo && state.effort >= 2) base_q = search_quantization(state, base_q);
  state.coded_q = base_q;
  if (state.rdo) prepare_rate_distortion(state, base_q);
  create_models(state);
  Encoder& encoder = state.encoder;
  write_bits(encoder, 8, kMagicFirst);
  write_bits(encoder, 8, kMagicSecond);
  write_bits(encoder, 16, static_cast<uint32_t>(state.width));
  write_bits(encoder, 16, static_cast<uint32_t>(state.height));
  write_bits(encoder, 8, static_cast<uint32_t>(state.channels));
  write_float(encoder, std::bit_cast<uint32_t>(base_q));
  build_quantizer_table(base_q, state.quant);
  set_plane_steps(state);
  if (state.console)
    std::fprintf(state.console, "Encoding \"%s\" to \"%s\" (%dx%d, %d channels), baseQ = %.1f\n", input_name,
                 output_name, state.width, state.height, state.channels, static_cast<double>(base_q));
  std::vector<double> matrix;
  if (state.channels != 1) {
    write_colour_matrix(state, matrix);
    colour_transform_shared(state, matrix, true);
  }
  if (state.rebuild) assign_zeroed_in_big_pages(state.rebuilt, state.image.size());
  for (int c = 0; c < state.channels; ++c) encode_plane(state, state.image.data() + c, state.width, state.height, 0);
  release_models(state);
  if (state.rebuild) {
    // The decoder's last steps, on the values the encoder chose.
    for (int c = 0; c < state.channels; ++c) invert_plane(state, state.rebuilt.data() + c, state.width, state.height);
    std::swap(state.image, state.rebuilt);
    if (state.channels != 1) colour_transform_shared(state, matrix, false);
    for (int32_t& sample : state.image) sample = std::clamp(sample, 0, 255);
    std::swap(state.image, state.rebuilt);
  }
}

std::vector<uint8_t> encode_to_memory(EncoderState& state, Image image, float base_q) {
  std::vector<uint8_t> stream;
  build_bin_tables(state.bins);
  state.width = image.width;
  state.height = image.height;
  state.channels = image.channels;
  state.image = std::move(image.samples);
  new_memory_encoder(state.encoder, stream);
  encode_image(state, base_q, "", "");
  kill_encoder(state.encoder);
  return stream;
}

}  // namespace kv
