#include "dec/decode.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <new>

#include "common/colour.h"
#include "common/stream_bound.h"
#include "dec/dec_plane.h"
#include "util/chunk_arena.h"
#include "util/error.h"
#include "util/thread_pool.h"

namespace kv {

namespace {

constexpr int64_t kSharedDecodeArea = int64_t{1} << 20;

// The decoder rebuilds each image row as the rows of plane 0, 1, ... one
// after the other, so that every plane is read and written with a unit step
// (so that the inverse transforms run on contiguous rows); the colour transform
// then reads the planes' rows and leaves the pixels interleaved.
void set_decoding_plane_steps(DecoderState& state) {
  state.pixel_step = 1;
  state.row_step = state.channels * state.width;
}

}  // namespace

std::vector<double> read_colour_matrix(DecoderState& state) {
  std::vector<double> matrix(static_cast<size_t>(state.channels) * static_cast<size_t>(state.channels));
  for (double& entry : matrix) entry = std::bit_cast<float>(read_float(state.decoder));
  return matrix;
}

void decode_image(DecoderState& state, uint64_t memory_limit, const char* input_name, const char* output_name) {
  prepare_decoder(state);
  Decoder& decoder = state.decoder;
  if (read_bits(decoder, 8) != kMagicFirst || read_bits(decoder, 8) != kMagicSecond)
    fail(ErrorCode::kNotAStream, "Not a Kelvane 2.0 file.");
  state.width = static_cast<int32_t>(read_bits(decoder, 16));
  if (state.width == 0) fail(ErrorCode::kNotAStream, "Not a Kelvane 2.0 file.");
  state.height = static_cast<int32_t>(read_bits(decoder, 16));
  if (state.height == 0) fail(ErrorCode::kNotAStream, "Not a Kelvane 2.0 file.");
  state.channels = static_cast<int32_t>(read_bits(decoder, 8));
  if (state.channels == 0) fail(ErrorCode::kNotAStream, "Not a Kelvane 2.0 file.");
  const float base_q = std::bit_cast<float>(read_float(decoder));
  build_quantizer_table(base_q, state.quant);
  set_decoding_plane_steps(state);
  if (state.console)
    std::fprintf(state.console, "Decoding \"%s\" from \"%s\" (%dx%d, %d channels), baseQ = %.3f\n", output_name,
                 input_name, state.width, state.height, state.channels, static_cast<double>(base_q));

  // Refuse before touching memory: the header can ask for 65535 x 65535 x 255 samples.
  const uint64_t samples = uint64_t{static_cast<uint32_t>(state.width)} * static_cast<uint32_t>(state.height) *
                           static_cast<uint32_t>(state.channels);
  const uint64_t limit = memory_limit ? memory_limit : physical_memory_bytes();
  if (samples > limit / sizeof(int32_t)) fail(ErrorCode::kOutOfMemory, "Not enough memory.");
  // A stream too short for its shape fails before its end: read it through
  // without samples (every block at one scratch sample), for its own error.
  if (!stream_holds(decoder, least_stream_bytes(state.width, state.height, state.channels))) {
    state.parse_only = true;
    state.image.assign(1, 0);
    state.pixel_step = state.row_step = 0;
    if (state.channels != 1) read_colour_matrix(state);
    for (int c = 0; c < state.channels; ++c) decode_plane(state, state.image.data(), state.width, state.height, 0);
    fail(ErrorCode::kTruncatedStream, "get_bit: read error");  // not reached: the bound holds for every stream
  }
  try {
    assign_zeroed_in_big_pages(state.image, samples);
  } catch (const std::bad_alloc&) {
    fail(ErrorCode::kOutOfMemory, "Not enough memory.");
  }

  // Images of a megapixel and more are rebuilt by the other threads while
  // one reads the stream (dec/dec_rebuild.h). (The samples' pages are mapped
  // and zeroed above.)
  if (!state.pool && state.threads != 1 && int64_t{state.width} * state.height >= kSharedDecodeArea)
    state.pool = std::make_shared<ThreadPool>(state.threads > 0 ? state.threads : default_thread_count());
  std::vector<double> matrix;
  if (state.channels != 1) matrix = read_colour_matrix(state);
  const auto read_planes = [&] {
    for (int c = 0; c < state.channels; ++c)
      decode_plane(state, state.image.data() + c * state.width, state.width, state.height, 0);
  };
  const bool shared = state.pool && state.pool->threads() > 1;
  if (shared) {
    const int threads = state.pool->threads();
    RebuildQueue queue(state, threads);
    state.rebuild = &queue;
    state.pool->parallel_for(static_cast<size_t>(threads), [&](size_t task) {
      try {
        if (task == 0) {
          read_planes();
          queue.finish();
        }
        queue.work();
      } catch (const RebuildQueue::Abandoned&) {
      } catch (...) {
        queue.fail(std::current_exception());
      }
    });
    state.rebuild = nullptr;
    queue.rethrow();
  } else {
    read_planes();
  }
  // The colour transform undone and the samples clamped, a band of rows at a time.
  const auto finish_rows = [&](int64_t y0, int64_t y1) {
    if (state.channels != 1) inverse_colour_from_plane_rows(state, matrix, static_cast<int>(y0), static_cast<int>(y1));
    const int64_t row = int64_t{state.width} * state.channels;
    for (int32_t* sample = state.image.data() + y0 * row; sample != state.image.data() + y1 * row; ++sample)
      *sample = std::clamp(*sample, 0, 255);
  };
  if (shared)
    state.pool->parallel_ranges(state.height, finish_rows);
  else
    finish_rows(0, state.height);
  kill_decoder(decoder);
}

Image decode_from_memory(DecoderState& state, const uint8_t* data, size_t size, uint64_t memory_limit) {
  build_decoding_bin_tables(state.bins);
  new_memory_decoder(state.decoder, data, size);
  decode_image(state, memory_limit, "", "");
  return Image{state.width, state.height, state.channels, std::move(state.image)};
}

}  // namespace kv
