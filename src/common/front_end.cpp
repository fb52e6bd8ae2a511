#include "common/front_end.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <new>

#include "util/chunk_arena.h"
#include "common/colour.h"
#include "enc/estimates.h"
#include "util/error.h"
#include "entropy/magnitude.h"
#include "common/plane.h"
#include "common/stream_bound.h"
#include "io/pnm.h"

namespace kv {

namespace {

// The encoder codes the planes where the pixels' samples lie, interleaved.
void set_plane_steps(CodecState& state) {
  state.pixel_step = state.channels;
  state.row_step = state.channels * state.width;
}

// Plane c starts `plane_offset` * c samples into the image.
void code_planes(CodecState& state, bool encode, ptrdiff_t plane_offset) {
  for (int c = 0; c < state.channels; ++c)
    code_plane(state, state.image.data() + c * plane_offset, state.width, state.height, encode, 0);
}

// The decoder rebuilds each image row as the rows of plane 0, 1, ... one
// after the other, so that every plane is read and written with a unit step
// (which the inverse transforms run much faster on); the colour transform
// then reads the planes' rows and leaves the pixels interleaved.
void set_decoding_plane_steps(CodecState& state) {
  state.pixel_step = 1;
  state.row_step = state.channels * state.width;
}

}  // namespace

void encode_image(CodecState& state, float base_q, const char* input_name, const char* output_name) {
  if (state.width > kMaxDimension || state.height > kMaxDimension)
    fail(ErrorCode::kImageRead, "Error reading file \"%s\".", input_name);
  prepare_run(state, true);
  // At q <= 1 every step is 1.0 and the mode has nothing to trade: it stays off,
  // and the stream is the default one, exact.
  if (state.rdo && !(base_q > 1.0f)) state.rdo = false;
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
    code_colour_matrix(state, matrix, true);
    apply_colour_transform(state, matrix, true);
  }
  if (state.rebuild) assign_zeroed_in_big_pages(state.rebuilt, state.image.size());
  code_planes(state, true, 1);
  release_models(state);
  if (state.rebuild) {
    // The decoder's last steps, on the values the encoder chose.
    for (int c = 0; c < state.channels; ++c) invert_plane(state, state.rebuilt.data() + c, state.width, state.height);
    std::swap(state.image, state.rebuilt);
    if (state.channels != 1) apply_colour_transform(state, std::move(matrix), false);
    for (int32_t& sample : state.image) sample = std::clamp(sample, 0, 255);
    std::swap(state.image, state.rebuilt);
  }
}

void decode_image(CodecState& state, uint64_t memory_limit, const char* input_name, const char* output_name) {
  prepare_run(state, false);
  create_decoding_models(state);
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
    std::vector<double> matrix;
    if (state.channels != 1) code_colour_matrix(state, matrix, false);
    code_planes(state, false, 0);
    fail(ErrorCode::kTruncatedStream, "get_bit: read error");  // not reached: the bound holds for every stream
  }
  try {
    assign_zeroed_in_big_pages(state.image, samples);
  } catch (const std::bad_alloc&) {
    fail(ErrorCode::kOutOfMemory, "Not enough memory.");
  }

  std::vector<double> matrix;
  if (state.channels != 1) code_colour_matrix(state, matrix, false);
  code_planes(state, false, state.width);
  if (state.channels != 1) inverse_colour_from_plane_rows(state, std::move(matrix));
  for (int32_t& sample : state.image) sample = std::clamp(sample, 0, 255);
  release_models(state);
  kill_decoder(decoder);
}

std::vector<uint8_t> encode_to_memory(CodecState& state, Image image, float base_q) {
  std::vector<uint8_t> stream;
  build_bin_tables(state);
  state.width = image.width;
  state.height = image.height;
  state.channels = image.channels;
  state.image = std::move(image.samples);
  new_memory_encoder(state.encoder, stream);
  encode_image(state, base_q, "", "");
  kill_encoder(state.encoder);
  return stream;
}

Image decode_from_memory(CodecState& state, const uint8_t* data, size_t size, uint64_t memory_limit) {
  build_decoding_bin_tables(state);
  new_memory_decoder(state.decoder, data, size);
  decode_image(state, memory_limit, "", "");
  return Image{state.width, state.height, state.channels, std::move(state.image)};
}

}  // namespace kv
