// The public library over the codec's own steps: one state per call; only
// an allocation failure needs turning into kelvane::Error here.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "util/error.h"
#include "dec/decode.h"
#include "enc/encode.h"
#include "kelvane/kelvane.h"
#include "entropy/magnitude.h"
#include "io/png.h"
#include "io/pnm.h"
#include "kelvane/veluna.h"
#include "veluna/veluna.h"

namespace kelvane {

namespace {

// Runs `work`, giving every failure the public form.
template <typename Work>
auto guarded(Work&& work) -> decltype(work()) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    throw Error(ErrorCode::kOutOfMemory, "Not enough memory.");
  }
}

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void start_state(kv::EncoderState& state, const EncodeOptions& options) {
  state.console = options.console;
  state.threads = options.threads;
  state.rdo = options.rate_distortion;
  state.rebuild = options.report != nullptr;
  state.paint = options.direction_picture != nullptr;
  state.progress = options.progress;
}

void start_state(kv::DecoderState& state, const DecodeOptions& options) {
  state.console = options.console;
  state.threads = options.threads;
}

// The encoder leaves the diagnostic picture in its working image.
void take_picture(kv::EncoderState& state, const EncodeOptions& options) {
  if (options.direction_picture)
    *options.direction_picture = Image{state.width, state.height, state.channels, std::move(state.image)};
}

void fill_report(kv::EncoderState& state, const std::vector<int32_t>& input, EncodeReport& report) {
  double squares = 0;
  for (size_t i = 0; i < input.size(); ++i) {
    const double difference = static_cast<double>(input[i]) - state.rebuilt[i];
    squares += difference * difference;
  }
  report.psnr = squares == 0 ? std::numeric_limits<double>::infinity()
                             : 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(input.size()) / squares);
  report.rebuilt = Image{state.width, state.height, state.channels, std::move(state.rebuilt)};
}

void take_image(kv::EncoderState& state, kv::Image&& image) {
  state.width = image.width;
  state.height = image.height;
  state.channels = image.channels;
  state.image = std::move(image.samples);
}

void check_shape(const Image& image) {
  const bool sides = image.width >= 1 && image.width <= kv::kMaxDimension && image.height >= 1 &&
                     image.height <= kv::kMaxDimension && image.channels >= 1 && image.channels <= 255;
  if (!sides || image.samples.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height) *
                                            static_cast<size_t>(image.channels))
    kv::fail(ErrorCode::kInvalidImage, "Invalid image.");
}

bool load_image(const char* path, kv::Image& image) {
  return kv::file_has_png_signature(path) ? kv::read_png(path, image) : kv::read_pnm(path, image);
}

bool store_image(const char* path, int32_t width, int32_t height, int32_t channels, const int32_t* samples) {
  return kv::has_png_name(path) ? kv::write_png(path, width, height, channels, samples)
                                : kv::write_pnm(path, width, height, channels, samples);
}

}  // namespace

Image Image::from_8bit(std::span<const uint8_t> bytes, int32_t width, int32_t height, int32_t channels) {
  if (width < 0 || height < 0 || channels < 0 ||
      bytes.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(channels))
    throw Error(ErrorCode::kInvalidImage, "Invalid image.");
  return Image{width, height, channels, std::vector<int32_t>(bytes.begin(), bytes.end())};
}

std::vector<uint8_t> Image::to_8bit() const {
  std::vector<uint8_t> bytes(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) bytes[i] = static_cast<uint8_t>(std::clamp(samples[i], 0, 255));
  return bytes;
}

std::vector<uint8_t> encode(const Image& image, float quantization, const EncodeOptions& options) {
  return guarded([&] {
    check_shape(image);
    kv::EncoderState state;
    start_state(state, options);
    std::vector<uint8_t> stream = kv::encode_to_memory(
        state, kv::Image{image.width, image.height, image.channels, image.samples}, quantization);
    if (options.report) fill_report(state, image.samples, *options.report);
    take_picture(state, options);
    return stream;
  });
}

Image decode(std::span<const uint8_t> stream, const DecodeOptions& options) {
  return guarded([&] {
    kv::DecoderState state;
    start_state(state, options);
    kv::Image image = kv::decode_from_memory(state, stream.data(), stream.size(), options.memory_limit);
    return Image{image.width, image.height, image.channels, std::move(image.samples)};
  });
}

void encode_file(const std::string& image_path, const std::string& stream_path, float quantization,
                 const EncodeOptions& options) {
  guarded([&] {
    const char* image_name = image_path.c_str();
    const char* stream_name = stream_path.c_str();
    kv::EncoderState state;
    start_state(state, options);
    kv::build_bin_tables(state.bins);
    kv::Image image;
    if (!load_image(image_name, image)) kv::fail(ErrorCode::kImageRead, "Error reading file \"%s\".", image_name);
    // Coding onto the image's own file would destroy it before it is read.
    if (same_file(image_name, stream_name)) kv::fail(ErrorCode::kImageWrite, "Error writing file \"%s\".", stream_name);
    std::vector<int32_t> input;
    if (options.report) input = image.samples;
    take_image(state, std::move(image));
    kv::new_encoder(state.encoder, stream_name);
    kv::encode_image(state, quantization, image_name, stream_name);
    kv::kill_encoder(state.encoder);
    if (options.report) fill_report(state, input, *options.report);
    take_picture(state, options);
  });
}

void decode_file(const std::string& stream_path, const std::string& image_path, const DecodeOptions& options) {
  guarded([&] {
    const char* stream_name = stream_path.c_str();
    const char* image_name = image_path.c_str();
    if (same_file(stream_name, image_name)) kv::fail(ErrorCode::kImageWrite, "Error writing file \"%s\".", image_name);
    kv::DecoderState state;
    start_state(state, options);
    kv::build_decoding_bin_tables(state.bins);
    kv::new_decoder(state.decoder, stream_name);
    kv::decode_image(state, options.memory_limit, stream_name, image_name);
    if (!store_image(image_name, state.width, state.height, state.channels, state.image.data()))
      kv::fail(ErrorCode::kImageWrite, "Error writing file \"%s\".", image_name);
  });
}

Image read_image(const std::string& path) {
  return guarded([&] {
    kv::Image image;
    if (!load_image(path.c_str(), image)) kv::fail(ErrorCode::kImageRead, "Error reading file \"%s\".", path.c_str());
    return Image{image.width, image.height, image.channels, std::move(image.samples)};
  });
}

void write_image(const std::string& path, const Image& image) {
  guarded([&] {
    const size_t count = static_cast<size_t>(std::max(image.width, 0)) * static_cast<size_t>(std::max(image.height, 0)) *
                         static_cast<size_t>(std::max(image.channels, 0));
    if (image.samples.size() != count ||
        !store_image(path.c_str(), image.width, image.height, image.channels, image.samples.data()))
      kv::fail(ErrorCode::kImageWrite, "Error writing file \"%s\".", path.c_str());
  });
}

std::vector<uint8_t> veluna_compress(std::span<const uint8_t> input) {
  return guarded([&] { return kv::veluna_compress(input); });
}

std::vector<uint8_t> veluna_expand(std::span<const uint8_t> compressed) {
  return guarded([&] { return kv::veluna_expand(compressed); });
}

void veluna_compress_file(const std::string& input_path, const std::string& compressed_path) {
  guarded([&] { kv::veluna_compress_file(input_path.c_str(), compressed_path.c_str()); });
}

void veluna_expand_file(const std::string& compressed_path, const std::string& output_path) {
  guarded([&] { kv::veluna_expand_file(compressed_path.c_str(), output_path.c_str()); });
}

}  // namespace kelvane
