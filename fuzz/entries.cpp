#include "entries.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "enc/enc_state.h"
#include "common/colour.h"
#include "common/trailer.h"
#include "util/error.h"
#include "dec/decode.h"
#include "enc/encode.h"
#include "common/stream_bound.h"
#include "entropy/magnitude.h"
#include "io/png.h"
#include "io/pnm.h"
#include "veluna/veluna.h"

namespace kv {

namespace {

// veluna's failures are all the coder's and its files' (status 1).
void check_coder_status(const Error& failure) {
  if (classic_status(failure.code()) != 1) fuzz_finding("failure with a status other than 1");
}

Image decode_quietly(const uint8_t* data, size_t size) {
  DecoderState state;
  return decode_from_memory(state, data, size, kFuzzDecodeMemory);
}

// A stream the encoder wrote, decoded; its decoder failing on it is a finding.
Image decode_own_stream(const std::vector<uint8_t>& stream) {
  try {
    return decode_quietly(stream.data(), stream.size());
  } catch (const Error& failure) {
    std::fprintf(stderr, "decoding: %s\n", failure.message().c_str());
    fuzz_finding("the encoder's own stream does not decode");
  }
}

// The stream, and in `rebuilt` the image the encoder says it decodes to.
std::vector<uint8_t> encode_quietly(const Image& image, float base_q, bool rdo, std::vector<int32_t>& rebuilt) {
  EncoderState state;
  state.console = nullptr;
  state.threads = 1;
  state.rdo = rdo;
  state.rebuild = true;
  std::vector<uint8_t> stream = encode_to_memory(state, image, base_q);
  rebuilt = std::move(state.rebuilt);
  return stream;
}

// Quantizations a user can reach through the command line's number parsing,
// the odd ones included.
float pick_quantization(uint8_t byte) {
  static const float choices[16] = {
      1.0f,  0.0f,  0.5f,   -3.0f,   2.0f,   4.0f,
      8.0f,  16.0f, 30.0f,  64.0f,   1000.0f, 1e30f,
      std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
      1.5f,  std::numeric_limits<float>::denorm_min()};
  return choices[byte % 16];
}

bool samples_fit_bytes(const std::vector<int32_t>& samples) {
  for (int32_t s : samples)
    if (s < 0 || s > 255) return false;
  return true;
}

}  // namespace

void fuzz_finding(const char* what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

namespace {

// The reader's promises on any bytes: the image ends where the trailer
// starts, inside the input, and every chunk kept lies inside the trailer.
TrailerView checked_trailer(const uint8_t* data, size_t size) {
  TrailerView view = read_trailer(data, size);
  if (view.image_bytes > size) fuzz_finding("the trailer's image ends beyond the input");
  uint64_t carried = 0;
  for (const TrailerChunk& chunk : view.chunks) carried += kChunkHeaderBytes + chunk.payload.size();
  if (!view.chunks.empty() && carried + kFooterBytes > size - view.image_bytes)
    fuzz_finding("trailer chunks larger than the trailer");
  if (!view.present && (view.image_bytes != size || !view.warnings.empty()))
    fuzz_finding("bytes without a footer read as a trailer");
  return view;
}

}  // namespace

void fuzz_trailer(const uint8_t* data, size_t size) {
  const TrailerView view = checked_trailer(data, size);
  // What the reader kept, written again, reads back the same and clean.
  const std::vector<uint8_t> again = format_trailer(view.chunks);
  const TrailerView back = read_trailer(again.data(), again.size());
  if (!back.warnings.empty() || back.image_bytes != 0 || back.chunks.size() != view.chunks.size())
    fuzz_finding("a written trailer does not read back");
  for (size_t i = 0; i < view.chunks.size(); ++i)
    if (back.chunks[i].type != view.chunks[i].type || back.chunks[i].payload != view.chunks[i].payload)
      fuzz_finding("a written trailer's chunk changed");
}

namespace {

void check_decoded(const Image& image) {
  if (image.samples.size() != uint64_t{static_cast<uint32_t>(image.width)} * static_cast<uint32_t>(image.height) *
                                  static_cast<uint32_t>(image.channels))
    fuzz_finding("decoded buffer does not match the header");
  if (!samples_fit_bytes(image.samples)) fuzz_finding("decoded sample outside 0..255");
}

// The shape a stream's header declares (its first 11 bytes are the header's
// values as they are: the coder reads them at its full range), and whether
// the decoder would allocate its image: checks that this allocation stays
// within kDecodeBytesPerInputByte of the input, whatever the shape.
bool check_decode_allocation(const uint8_t* data, size_t size, uint64_t& least_bytes) {
  least_bytes = 0;
  if (size < 7 || data[0] != kMagicFirst || data[1] != kMagicSecond) return false;
  const uint32_t width = uint32_t{data[2]} << 8 | data[3], height = uint32_t{data[4]} << 8 | data[5];
  const uint32_t channels = data[6];
  if (width == 0 || height == 0 || channels == 0) return false;
  least_bytes = least_stream_bytes(width, height, channels);
  const uint64_t image_bytes = uint64_t{width} * height * channels * sizeof(int32_t);
  if (size >= least_bytes && image_bytes > kDecodeBytesPerInputByte * size)
    fuzz_finding("the decoder may allocate beyond its bound for the input's length");
  return true;
}

}  // namespace

void fuzz_kelvane_decode(const uint8_t* data, size_t size) {
  // The trailer is read first, as the library does; a damaged one never
  // stops the image, and its alpha plane is a stream like any other.
  const TrailerView view = checked_trailer(data, size);
  if (const std::vector<uint8_t>* alpha = view.find(kChunkAlpha)) {
    try {
      check_decoded(decode_quietly(alpha->data(), alpha->size()));
    } catch (const Error&) {
    }
  }
  uint64_t least_bytes = 0;
  const bool has_header = check_decode_allocation(data, size, least_bytes);
  try {
    Image image = decode_quietly(data, size);
    if (!has_header || size < least_bytes) fuzz_finding("a stream shorter than its least length decoded");
    check_decoded(image);
  } catch (const Error&) {
    // A defined failure is an answer.
  }
}

void fuzz_pnm_encode(const uint8_t* data, size_t size) {
  if (size < 1) return;
  const float base_q = pick_quantization(data[0]);
  const bool rdo = (data[0] & 16) != 0;
  Image image;
  ReadLimits limits;
  limits.max_dimension = kFuzzImageDimension;
  limits.max_bytes = kFuzzImageBytes;
  if (!read_pnm_memory(data + 1, size - 1, image, limits)) return;
  if (image.width <= 0 || image.height <= 0 || (image.channels != 1 && image.channels != 3) ||
      image.samples.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height) *
                                  static_cast<size_t>(image.channels))
    fuzz_finding("read_pnm_memory accepted an inconsistent image");
  // A raster may lack 64 KiB more than it holds; P4 packs 8 samples a byte.
  if (image.samples.size() > 8 * (2 * uint64_t{size} + 65536))
    fuzz_finding("read_pnm_memory allocated beyond what the file can fill");

  std::vector<uint8_t> stream;
  std::vector<int32_t> rebuilt;
  try {
    stream = encode_quietly(image, base_q, rdo, rebuilt);
  } catch (const Error&) {
    return;
  }
  const Image decoded = decode_own_stream(stream);
  if (decoded.width != image.width || decoded.height != image.height || decoded.channels != image.channels)
    fuzz_finding("decoded shape differs from the image");
  if (!samples_fit_bytes(decoded.samples)) fuzz_finding("decoded sample outside 0..255");
  if (decoded.samples != rebuilt) fuzz_finding("the decoded image differs from the one the encoder rebuilt");
  if (base_q <= 1.0f && samples_fit_bytes(image.samples) && decoded.samples != image.samples)
    fuzz_finding("lossless round trip changed the image");
}

namespace {

// The bytes with the checksum of every whole chunk after the signature
// recomputed; the bytes as they are when they are not a PNG.
std::vector<uint8_t> with_chunk_checksums(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (!has_png_signature(data, size)) return bytes;
  size_t at = 8;
  while (size - at >= 12) {
    const uint64_t length = uint64_t{data[at]} << 24 | uint32_t{data[at + 1]} << 16 | uint32_t{data[at + 2]} << 8 |
                            data[at + 3];
    if (length > size - at - 12) break;
    const uint32_t crc = crc32(data + at + 4, length + 4);  // PNG chunks carry the same CRC-32
    uint8_t* out = bytes.data() + at + 8 + length;
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    at += 12 + length;
  }
  return bytes;
}

void check_png_read(const uint8_t* data, size_t size) {
  ReadLimits limits;
  limits.max_dimension = kFuzzImageDimension;
  limits.max_bytes = kFuzzReadBytes;
  Image image;
  image.width = -1;
  PngMetadata metadata;
  if (!read_png_memory(data, size, image, limits, &metadata)) {
    if (image.width != -1 || !image.samples.empty()) fuzz_finding("a refused PNG changed the image");
    return;
  }
  const uint64_t samples = uint64_t{static_cast<uint32_t>(image.width)} * static_cast<uint32_t>(image.height) *
                           static_cast<uint32_t>(image.channels);
  if (image.width <= 0 || image.height <= 0 || image.width > kFuzzImageDimension ||
      image.height > kFuzzImageDimension || image.channels < 1 || image.channels > 4 ||
      image.samples.size() != samples)
    fuzz_finding("read_png_memory accepted an inconsistent image");
  if (samples * sizeof(int32_t) > kFuzzReadBytes) fuzz_finding("read_png_memory allocated beyond its limit");
  if (!samples_fit_bytes(image.samples) || (image.source_maxval != 255 && image.source_maxval != 65535))
    fuzz_finding("PNG sample outside 0..255");
  if (samples * sizeof(int32_t) > kFuzzImageBytes) return;

  std::vector<int32_t> rebuilt;
  std::vector<uint8_t> stream;
  try {
    stream = encode_quietly(image, 1.0f, false, rebuilt);
  } catch (const Error& failure) {
    std::fprintf(stderr, "encoding: %s\n", failure.message().c_str());
    fuzz_finding("a PNG's image does not encode");
  }
  const Image decoded = decode_own_stream(stream);
  if (decoded.width != image.width || decoded.height != image.height || decoded.channels != image.channels ||
      decoded.samples != image.samples)
    fuzz_finding("lossless round trip changed a PNG's image");
}

}  // namespace

void fuzz_png(const uint8_t* data, size_t size) {
  check_png_read(data, size);
  const std::vector<uint8_t> fixed = with_chunk_checksums(data, size);
  if (size != 0 && std::memcmp(fixed.data(), data, size) != 0) check_png_read(fixed.data(), fixed.size());
}

void fuzz_veluna(const uint8_t* data, size_t size) {
  std::span<const uint8_t> input(data, size);
  try {
    veluna_expand(input);
  } catch (const Error& failure) {
    check_coder_status(failure);
  }
  std::vector<uint8_t> compressed = veluna_compress(input);
  std::vector<uint8_t> expanded;
  try {
    expanded = veluna_expand(compressed);
  } catch (const Error& failure) {
    std::fprintf(stderr, "expanding: %s\n", failure.message().c_str());
    fuzz_finding("compressed data does not expand");
  }
  if (expanded.size() != size || (size != 0 && std::memcmp(expanded.data(), data, size) != 0))
    fuzz_finding("veluna round trip changed the data");
}

void fuzz_colour(const uint8_t* data, size_t size) {
  if (size < 1) return;
  const int n = 2 + data[0] % 3;
  const size_t entries = static_cast<size_t>(n) * static_cast<size_t>(n);
  if (size < 1 + 4 * entries) return;
  std::vector<double> matrix(entries);
  for (size_t i = 0; i < entries; ++i) {
    uint32_t word;
    std::memcpy(&word, data + 1 + 4 * i, 4);
    matrix[i] = std::bit_cast<float>(word);  // what a stream carries
  }
  const uint8_t* rest = data + 1 + 4 * entries;
  const size_t pixels = (size - 1 - 4 * entries) / (4 * static_cast<size_t>(n));
  std::vector<int32_t> samples(pixels * static_cast<size_t>(n));
  if (!samples.empty()) std::memcpy(samples.data(), rest, samples.size() * 4);

  // The factorisation and the transform one pixel at a time.
  std::vector<double> factors = matrix;
  std::vector<int32_t> permutation(static_cast<size_t>(n), 0);
  bool factored = factor_colour_matrix(n, factors.data(), permutation.data());
  bool finite = true;
  for (double v : matrix) finite = finite && std::isfinite(v);
  for (double v : factors) finite = finite && std::isfinite(v);
  if (factored) {
    for (int i = 0; i + 1 < n; ++i)
      if (permutation[i] < i || permutation[i] >= n) fuzz_finding("permutation index out of range");
    for (size_t p = 0; p < pixels; ++p) {
      const int32_t* original = samples.data() + p * n;
      int32_t x[4];
      std::memcpy(x, original, sizeof(int32_t) * n);
      try {
        transform_pixel(n, factors.data(), permutation.data(), x, true);
        transform_pixel(n, factors.data(), permutation.data(), x, false);
      } catch (const Error& failure) {
        check_coder_status(failure);
        continue;
      }
      if (finite && std::memcmp(x, original, sizeof(int32_t) * n) != 0)
        fuzz_finding("colour transform does not invert");
    }
  }

  // The whole-image path, with its refusals of matrices that cannot be used.
  if (pixels == 0) return;
  CodingState state;
  state.width = static_cast<int32_t>(pixels);
  state.height = 1;
  state.channels = n;
  state.image = samples;
  // Where the matrix can be used, the whole-image forward transform (which
  // takes its pixels without branches) must equal the checked one pixel by
  // pixel, failures included.
  if (factored && finite) {
    std::vector<int32_t> expected = samples;
    std::string expected_failure, failure_seen;
    try {
      for (size_t p = 0; p < pixels; ++p)
        transform_pixel(n, factors.data(), permutation.data(), expected.data() + p * n, true);
    } catch (const Error& failure) {
      expected_failure = failure.message();
    }
    CodingState forward;
    forward.width = state.width;
    forward.height = 1;
    forward.channels = n;
    forward.image = samples;
    try {
      apply_colour_transform(forward, matrix, true);
    } catch (const Error& failure) {
      failure_seen = failure.message();
    }
    if (failure_seen != expected_failure) fuzz_finding("image forward transform fails unlike the pixel one");
    if (expected_failure.empty() && forward.image != expected)
      fuzz_finding("image forward transform differs from the pixel one");
  }
  try {
    apply_colour_transform(state, matrix, true);
    apply_colour_transform(state, matrix, false);
  } catch (const Error& failure) {
    check_coder_status(failure);
    return;
  }
  if (state.image != samples) fuzz_finding("image colour transform does not invert");
}

}  // namespace kv
