// The public library over the codec's own steps: one state per call; only
// an allocation failure needs turning into kelvane::Error here.
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <utility>

#include "common/trailer.h"
#include "util/error.h"
#include "api/target_search.h"
#include "dec/decode.h"
#include "enc/encode.h"
#include "kelvane/kelvane.h"
#include "entropy/magnitude.h"
#include "io/file_bytes.h"
#include "io/pam.h"
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
  state.effort = options.effort;
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

// `rebuilt` is what the decoder gives back for `input` (same shape). The
// PSNR leaves out the colour of fully transparent pixels when `free_under_clear`
// (alpha last of `channels`).
void fill_report(std::vector<int32_t>&& rebuilt, const Image& input, bool free_under_clear, EncodeReport& report) {
  double squares = 0;
  size_t counted = 0;
  const size_t channels = static_cast<size_t>(input.channels);
  for (size_t i = 0; i < input.samples.size(); ++i) {
    if (free_under_clear && i % channels != channels - 1 && input.samples[i - i % channels + channels - 1] == 0)
      continue;
    const double difference = static_cast<double>(input.samples[i]) - rebuilt[i];
    squares += difference * difference;
    ++counted;
  }
  report.psnr = squares == 0 ? std::numeric_limits<double>::infinity()
                             : 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(counted) / squares);
  report.rebuilt = Image{input.width, input.height, input.channels, std::move(rebuilt)};
}

// The stream's own figures: the quantization value it carries, its size, and
// its bits per pixel.
void report_stream(EncodeReport& report, float quantization, uint64_t bytes, const Image& image) {
  report.quantization = quantization;
  report.bytes = bytes;
  report.bits_per_pixel = 8.0 * static_cast<double>(bytes) / (static_cast<double>(image.width) * image.height);
  report.encodes = 1;
}

bool has_alpha(int32_t channels) { return channels == 2 || channels == 4; }

// The colour channels of an image whose last channel is alpha.
std::vector<int32_t> colour_part(const std::vector<int32_t>& samples, int32_t channels) {
  std::vector<int32_t> colour;
  colour.reserve(samples.size() / static_cast<size_t>(channels) * static_cast<size_t>(channels - 1));
  for (size_t i = 0; i < samples.size(); ++i)
    if (i % static_cast<size_t>(channels) != static_cast<size_t>(channels - 1)) colour.push_back(samples[i]);
  return colour;
}

std::vector<int32_t> alpha_part(const std::vector<int32_t>& samples, int32_t channels) {
  std::vector<int32_t> alpha;
  alpha.reserve(samples.size() / static_cast<size_t>(channels));
  for (size_t i = static_cast<size_t>(channels - 1); i < samples.size(); i += static_cast<size_t>(channels))
    alpha.push_back(samples[i]);
  return alpha;
}

// Colour samples (colour_channels per pixel) and one alpha sample per pixel, interleaved.
std::vector<int32_t> with_alpha(const std::vector<int32_t>& colour, int32_t colour_channels,
                                const std::vector<int32_t>& alpha) {
  std::vector<int32_t> samples;
  samples.reserve(colour.size() + alpha.size());
  for (size_t p = 0; p < alpha.size(); ++p) {
    const auto first = colour.begin() + static_cast<std::ptrdiff_t>(p * static_cast<size_t>(colour_channels));
    samples.insert(samples.end(), first, first + colour_channels);
    samples.push_back(alpha[p]);
  }
  return samples;
}

// Gives fully transparent pixels the colour that codes cheapest among those
// easily found: along each row, a straight line between the nearest visible
// pixels on either side (the nearer one's colour at the row's ends); rows
// with no visible pixel copy the nearest row above that has one (below for
// the top rows). An image with no visible pixel keeps its colour.
void fill_transparent(std::vector<int32_t>& colour, int32_t channels, const std::vector<int32_t>& alpha,
                      int32_t width, int32_t height) {
  const size_t w = static_cast<size_t>(width), c = static_cast<size_t>(channels);
  std::vector<char> filled_row(static_cast<size_t>(height), 0);
  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    const int32_t* a = alpha.data() + y * w;
    int32_t* row = colour.data() + y * w * c;
    ptrdiff_t previous = -1;  // last visible pixel
    for (size_t x = 0; x <= w; ++x) {
      if (x < w && a[x] == 0) continue;
      const size_t gap = x - static_cast<size_t>(previous + 1);
      if (gap > 0 && (previous >= 0 || x < w)) {
        for (size_t k = 0; k < c; ++k) {
          const int32_t left = previous >= 0 ? row[static_cast<size_t>(previous) * c + k] : row[x * c + k];
          const int32_t right = x < w ? row[x * c + k] : left;
          for (size_t g = 1; g <= gap; ++g)
            row[(static_cast<size_t>(previous + 1) + g - 1) * c + k] =
                left + static_cast<int32_t>((static_cast<int64_t>(right - left) * static_cast<int64_t>(g)) /
                                            static_cast<int64_t>(gap + 1));
        }
      }
      if (x < w) {
        previous = static_cast<ptrdiff_t>(x);
        filled_row[y] = 1;
      }
    }
  }
  const size_t row_size = w * c;
  ptrdiff_t source = -1;
  for (size_t y = 0; y < static_cast<size_t>(height); ++y) {
    if (filled_row[y]) {
      if (source < 0)  // the rows above the first visible one copy it
        for (size_t above = 0; above < y; ++above)
          std::copy_n(colour.begin() + static_cast<std::ptrdiff_t>(y * row_size), row_size,
                      colour.begin() + static_cast<std::ptrdiff_t>(above * row_size));
      source = static_cast<ptrdiff_t>(y);
    } else if (source >= 0) {
      std::copy_n(colour.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(source) * row_size), row_size,
                  colour.begin() + static_cast<std::ptrdiff_t>(y * row_size));
    }
  }
}

// What encode and encode_file code of an image: the colour part, and the
// alpha plane when there is one, its transparent pixels' colour replaced
// when allowed.
struct Parts {
  kv::Image colour;
  std::vector<int32_t> alpha;
  bool alpha_present = false;
  bool free_under_clear = false;
};

Parts split_image(int32_t width, int32_t height, int32_t channels, std::vector<int32_t>&& samples, float quantization,
                  const EncodeOptions& options) {
  Parts parts;
  if (!has_alpha(channels)) {
    parts.colour = kv::Image{width, height, channels, std::move(samples)};
    return parts;
  }
  parts.alpha_present = true;
  parts.alpha = alpha_part(samples, channels);
  parts.colour = kv::Image{width, height, channels - 1, colour_part(samples, channels)};
  parts.free_under_clear = !options.exact && quantization > 1.0f;
  if (parts.free_under_clear) fill_transparent(parts.colour.samples, channels - 1, parts.alpha, width, height);
  return parts;
}

// The trailer for the coded alpha plane (empty: none) and the metadata.
std::vector<uint8_t> make_trailer(std::vector<uint8_t>&& alpha_stream, const Metadata& metadata, bool strip) {
  std::vector<kv::TrailerChunk> chunks;
  if (!alpha_stream.empty()) chunks.push_back(kv::TrailerChunk{kv::kChunkAlpha, kv::kChunkVersion, std::move(alpha_stream)});
  if (!strip) {
    if (!metadata.icc.empty()) chunks.push_back(kv::TrailerChunk{kv::kChunkIcc, kv::kChunkVersion, metadata.icc});
    if (!metadata.exif.empty()) chunks.push_back(kv::TrailerChunk{kv::kChunkExif, kv::kChunkVersion, metadata.exif});
    if (!metadata.xmp.empty()) chunks.push_back(kv::TrailerChunk{kv::kChunkXmp, kv::kChunkVersion, metadata.xmp});
  }
  for (const kv::TrailerChunk& chunk : chunks)
    if (chunk.payload.size() > 0xFFFFFFF0u) kv::fail(ErrorCode::kInvalidImage, "Invalid image.");
  return kv::format_trailer(chunks);
}

// Codes the alpha plane as a one-channel stream; `rebuilt` receives what the
// decoder gives back when asked for.
std::vector<uint8_t> encode_alpha(const Parts& parts, const EncodeOptions& options, std::vector<int32_t>* rebuilt) {
  kv::EncoderState state;
  state.threads = options.threads;
  state.rdo = options.rate_distortion;
  state.rebuild = rebuilt != nullptr;
  std::vector<uint8_t> stream = kv::encode_to_memory(
      state, kv::Image{parts.colour.width, parts.colour.height, 1, parts.alpha}, options.alpha_quantization);
  if (rebuilt) *rebuilt = std::move(state.rebuilt);
  return stream;
}

// What follows the coded colour image in both entry points: the alpha plane
// and the metadata as the trailer to append, the report (when asked for; the
// stream is `image_bytes` plus the trailer) and the diagnostic picture.
std::vector<uint8_t> finish_encode(kv::EncoderState& state, const Parts& parts, const Image& input,
                                   const Metadata& metadata, uint64_t image_bytes, const EncodeOptions& options) {
  std::vector<int32_t> alpha_rebuilt;
  std::vector<uint8_t> alpha_stream;
  if (parts.alpha_present) alpha_stream = encode_alpha(parts, options, options.report ? &alpha_rebuilt : nullptr);
  std::vector<uint8_t> trailer = make_trailer(std::move(alpha_stream), metadata, options.strip_metadata);
  if (options.report) {
    std::vector<int32_t> rebuilt = parts.alpha_present
                                       ? with_alpha(state.rebuilt, input.channels - 1, alpha_rebuilt)
                                       : std::move(state.rebuilt);
    fill_report(std::move(rebuilt), input, parts.free_under_clear, *options.report);
    report_stream(*options.report, state.coded_q, image_bytes + trailer.size(), input);
  }
  take_picture(state, options);
  return trailer;
}

Metadata to_metadata(kv::PngMetadata&& found) {
  return Metadata{std::move(found.icc), std::move(found.exif), std::move(found.xmp), found.icc_invalid};
}

kv::PngMetadata to_png_metadata(const Metadata& metadata) {
  return kv::PngMetadata{metadata.icc, metadata.exif, metadata.xmp, false};
}

void add_warning(DecodeReport* report, std::string line) {
  if (report) report->warnings.push_back(std::move(line));
}

// Rebuilds the image's alpha from the trailer, when it has one, and takes
// its metadata. `image` holds the decoded colour (1 or 3 channels). True
// when the alpha was added as the image's last channel.
bool apply_trailer(const kv::TrailerView& view, kv::Image& image, Metadata& metadata, const DecodeOptions& options) {
  DecodeReport* report = options.report;
  if (report)
    for (const std::string& line : view.warnings) report->warnings.push_back(line);
  if (const auto* icc = view.find(kv::kChunkIcc)) metadata.icc = *icc;
  if (const auto* exif = view.find(kv::kChunkExif)) metadata.exif = *exif;
  if (const auto* xmp = view.find(kv::kChunkXmp)) metadata.xmp = *xmp;
  const std::vector<uint8_t>* alpha_stream = view.find(kv::kChunkAlpha);
  if (!alpha_stream) {
    // The warning above says so; the report tells the caller the alpha is gone.
    if (report && view.alpha_damaged) report->alpha = report->alpha_lost = true;
    return false;
  }
  if (report) report->alpha = true;
  std::string trouble;
  try {
    kv::DecoderState state;
    kv::Image alpha = kv::decode_from_memory(state, alpha_stream->data(), alpha_stream->size(), options.memory_limit);
    if (image.channels != 1 && image.channels != 3)
      trouble = "the image has neither one nor three channels";
    else if (alpha.width != image.width || alpha.height != image.height || alpha.channels != 1)
      trouble = "its plane's shape does not match the image's";
    else {
      image.samples = with_alpha(image.samples, image.channels, alpha.samples);
      image.channels += 1;
    }
  } catch (const Error& error) {
    trouble = error.message();
  } catch (const std::bad_alloc&) {
    trouble = "Not enough memory.";
  }
  if (!trouble.empty()) {
    if (report) report->alpha_lost = true;
    add_warning(report, "The alpha plane cannot be rebuilt (" + trouble + "); the image is given without it.");
    return false;
  }
  return true;
}

// A file that has bytes well beyond what its coded image took but no
// readable trailer most likely lost its trailer's end. `read(offset, count,
// out)` gives the file's bytes there (fewer at its end); when those where the
// trailer began hold an alpha chunk's header, the image lost its alpha.
template <typename Read>
void check_unclaimed(const kv::TrailerView& view, const kv::Decoder& decoder, uint64_t size, DecodeReport* report,
                     Read&& read) {
  const uint64_t used = kv::decoder_bytes(decoder);
  if (view.present || size <= used + 8) return;
  char line[160];
  std::snprintf(line, sizeof line, "%llu bytes follow the coded image but hold no readable trailer; ignored.",
                static_cast<unsigned long long>(size - used));
  add_warning(report, line);
  const uint64_t from = used > kv::kTrailerStartSlack ? used - kv::kTrailerStartSlack : 0;
  uint8_t near[2 * kv::kTrailerStartSlack + 8];
  if (report && kv::holds_alpha_chunk_header(near, read(from, sizeof near, near))) {
    report->alpha = report->alpha_lost = true;
    add_warning(report, "The alpha plane cannot be rebuilt (the trailer is cut short); the image is given without it.");
  }
}

// Up to `count` bytes of the file at `path` from `offset` into `out`; how many were read.
size_t read_file_part(const char* path, uint64_t offset, size_t count, uint8_t* out) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return 0;
  const size_t got = std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 ? std::fread(out, 1, count, file) : 0;
  std::fclose(file);
  return got;
}

// The trailer of the file at `path`, read from its end.
kv::TrailerView read_file_trailer(const char* path, uint64_t& size) {
  size = 0;
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return {};
  kv::TrailerView view;
  if (std::fseek(file, 0, SEEK_END) == 0) {
    const long end = std::ftell(file);
    size = end > 0 ? static_cast<uint64_t>(end) : 0;
    uint8_t footer[kv::kFooterBytes];
    if (size >= kv::kFooterBytes && std::fseek(file, end - static_cast<long>(kv::kFooterBytes), SEEK_SET) == 0 &&
        std::fread(footer, 1, sizeof footer, file) == sizeof footer) {
      const size_t wanted = kv::trailer_bytes_from_footer(footer, size);
      std::vector<uint8_t> tail(wanted);
      if (std::fseek(file, end - static_cast<long>(wanted), SEEK_SET) == 0 &&
          std::fread(tail.data(), 1, wanted, file) == wanted) {
        view = kv::read_trailer(tail.data(), tail.size());
        view.image_bytes += size - wanted;
      }
    }
  }
  std::fclose(file);
  return view;
}

void take_image(kv::EncoderState& state, kv::Image&& image) {
  state.width = image.width;
  state.height = image.height;
  state.channels = image.channels;
  state.image = std::move(image.samples);
}

// The shapes the format holds, with 8-bit samples: a sample outside 0..255
// would come back changed (clamped) from a "lossless" stream, or overflow
// the coder's magnitudes, so it is refused before any work.
void check_image(const Image& image) {
  const bool sides = image.width >= 1 && image.width <= kv::kMaxDimension && image.height >= 1 &&
                     image.height <= kv::kMaxDimension && image.channels >= 1 && image.channels <= 255;
  if (!sides || image.samples.size() != static_cast<size_t>(image.width) * static_cast<size_t>(image.height) *
                                            static_cast<size_t>(image.channels))
    kv::fail(ErrorCode::kInvalidImage, "Invalid image.");
  const auto [low, high] = std::minmax_element(image.samples.begin(), image.samples.end());
  if (*low < 0 || *high > 255)
    kv::fail(ErrorCode::kInvalidImage, "Invalid image: samples must lie in 0..255.");
}

// Whether a file's first bytes may begin a PNM, PAM or PNG.
bool image_file_start(const uint8_t* head, size_t size) {
  return kv::has_png_signature(head, size) || (size >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7');
}

bool load_image(const char* path, kv::Image& image, Metadata* metadata = nullptr) {
  struct stat status;
  if (::stat(path, &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
    // Read once, whole: the readers below would each open it again.
    std::vector<uint8_t> bytes;
    if (!kv::read_file_bytes(path, bytes, image_file_start)) return false;
    if (kv::has_pam_signature(bytes.data(), bytes.size())) return kv::read_pam_memory(bytes.data(), bytes.size(), image);
    if (!kv::has_png_signature(bytes.data(), bytes.size())) return kv::read_pnm_memory(bytes.data(), bytes.size(), image);
    kv::PngMetadata found;
    if (!kv::read_png_memory(bytes.data(), bytes.size(), image, {}, &found)) return false;
    if (metadata) *metadata = to_metadata(std::move(found));
    return true;
  }
  if (kv::file_has_pam_signature(path)) return kv::read_pam(path, image);
  if (!kv::file_has_png_signature(path)) return kv::read_pnm(path, image);
  kv::PngMetadata found;
  if (!kv::read_png(path, image, {}, &found)) return false;
  if (metadata) *metadata = to_metadata(std::move(found));
  return true;
}

bool store_image(const char* path, int32_t width, int32_t height, int32_t channels, const int32_t* samples,
                 const Metadata* metadata = nullptr) {
  if (kv::has_png_name(path)) {
    const kv::PngMetadata carried = metadata ? to_png_metadata(*metadata) : kv::PngMetadata{};
    return kv::write_png(path, width, height, channels, samples, &carried);
  }
  if (kv::has_pam_name(path)) return kv::write_pam(path, width, height, channels, samples);
  return kv::write_pnm(path, width, height, channels, samples);
}

// What the encoder's warnings speak of: the file by its quoted name, or
// "the image" for one given in memory (`image_name` null).
std::string warning_subject(const char* image_name) {
  if (!image_name) return "the image";
  std::string subject(1, '"');
  return subject.append(image_name).append(1, '"');
}

// The codec rebuilds 8-bit samples: a file with deeper ones cannot come back
// exactly, so a lossless encode of it is refused, and a lossy one is told
// (through options.warnings) that it loses depth.
// `image_name` is the file's, or null for an image given in memory.
void check_depth(int32_t maxval, float quantization, const char* image_name, const EncodeOptions& options) {
  if (maxval <= 255) return;
  // A target is met by a lossy value, or by the lossless stream only for an
  // infinite PSNR.
  if (options.target.kind != Target::Kind::kNone)
    quantization = options.target.kind == Target::Kind::kPsnr && !(options.target.value < INFINITY) ? 1.0f : 2.0f;
  if (!(quantization > 1.0f)) {
    if (!image_name)
      kv::fail(ErrorCode::kInvalidImage, "Invalid image: samples deeper than 8 bits cannot be coded losslessly.");
    kv::fail(ErrorCode::kImageRead, "Error reading file \"%s\": samples deeper than 8 bits cannot be coded losslessly.",
             image_name);
  }
  if (options.warnings)
    options.warnings->push_back("Warning: " + warning_subject(image_name) + " has samples up to " +
                                std::to_string(maxval) + "; they are coded reduced to 8 bits.");
}

// Tells options.warnings that the image's ICC profile, found invalid when
// its file was read, is not in the stream. `image_name` as for check_depth.
void check_profile(const Metadata& metadata, const char* image_name, const EncodeOptions& options) {
  if (!metadata.icc_invalid || options.strip_metadata || !options.warnings) return;
  options.warnings->push_back("Warning: " + warning_subject(image_name) +
                              " has an invalid ICC profile; it is left out.");
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
    check_image(image);
    check_depth(image.maxval, quantization, nullptr, options);
    check_profile(image.metadata, nullptr, options);
    if (options.target.kind != Target::Kind::kNone) return detail::encode_to_target(image, options);
    if (!std::isfinite(quantization)) kv::fail(ErrorCode::kEncodeFailed, "The quantization value is not a finite number.");
    return detail::encode_tuned(image, quantization, options, kv::EncodeTuning{});
  });
}

std::vector<uint8_t> detail::encode_tuned(const Image& image, float quantization, const EncodeOptions& options,
                                          const kv::EncodeTuning& tuning) {
  return guarded([&] {
    kv::EncoderState state;
    start_state(state, options);
    kv::apply_tuning(state, tuning);
    std::vector<int32_t> samples = image.samples;
    Parts parts = split_image(image.width, image.height, image.channels, std::move(samples), quantization, options);
    std::vector<uint8_t> stream = kv::encode_to_memory(state, std::move(parts.colour), quantization);
    const std::vector<uint8_t> trailer = finish_encode(state, parts, image, image.metadata, stream.size(), options);
    stream.insert(stream.end(), trailer.begin(), trailer.end());
    return stream;
  });
}

Image decode(std::span<const uint8_t> stream, const DecodeOptions& options) {
  return guarded([&] {
    const kv::TrailerView view = kv::read_trailer(stream.data(), stream.size());
    kv::DecoderState state;
    start_state(state, options);
    kv::Image image = kv::decode_from_memory(state, stream.data(), view.image_bytes, options.memory_limit);
    check_unclaimed(view, state.decoder, stream.size(), options.report,
                    [&](uint64_t offset, size_t count, uint8_t* out) {
                      const size_t got = static_cast<size_t>(std::min<uint64_t>(count, stream.size() - offset));
                      std::copy_n(stream.data() + offset, got, out);
                      return got;
                    });
    Metadata metadata;
    apply_trailer(view, image, metadata, options);
    return Image{image.width, image.height, image.channels, std::move(image.samples), std::move(metadata)};
  });
}

TrailerInfo read_trailer_info(std::span<const uint8_t> stream) {
  return guarded([&] {
    const kv::TrailerView view = kv::read_trailer(stream.data(), stream.size());
    TrailerInfo info;
    if (const auto* alpha = view.find(kv::kChunkAlpha)) {
      info.alpha = true;
      info.alpha_bytes = alpha->size();
    }
    if (const auto* icc = view.find(kv::kChunkIcc)) info.metadata.icc = *icc;
    if (const auto* exif = view.find(kv::kChunkExif)) info.metadata.exif = *exif;
    if (const auto* xmp = view.find(kv::kChunkXmp)) info.metadata.xmp = *xmp;
    info.warnings = view.warnings;
    // Without decoding, where the coded image ends is unknown: a trailer
    // whose end is lost shows by its alpha chunk's header anywhere after it.
    if (!view.present && kv::holds_alpha_chunk_header(stream.data(), stream.size()))
      info.warnings.push_back("The alpha plane cannot be rebuilt (the trailer is cut short).");
    return info;
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
    Metadata metadata;
    if (!load_image(image_name, image, &metadata)) kv::fail(ErrorCode::kImageRead, "Error reading file \"%s\".", image_name);
    // A file's samples are negative only where its raster ended early.
    if (!options.short_raster && std::ranges::any_of(image.samples, [](int32_t sample) { return sample < 0; }))
      kv::fail(ErrorCode::kImageRead, "Error reading file \"%s\": the image ends early.", image_name);
    check_depth(image.source_maxval, quantization, image_name, options);
    check_profile(metadata, image_name, options);
    // Coding onto the image's own file would destroy it before it is read.
    if (same_file(image_name, stream_name)) kv::fail(ErrorCode::kImageWrite, "Error writing file \"%s\".", stream_name);
    if (options.target.kind != Target::Kind::kNone) {
      Image whole{image.width, image.height, image.channels, std::move(image.samples)};
      whole.metadata = std::move(metadata);
      return detail::encode_file_to_target(std::move(whole), stream_name, options);
    }
    // The samples are kept for the report's PSNR only when it is asked for.
    Image input{image.width, image.height, image.channels, {}};
    if (options.report) input.samples = image.samples;
    Parts parts =
        split_image(image.width, image.height, image.channels, std::move(image.samples), quantization, options);
    take_image(state, std::move(parts.colour));
    kv::new_encoder(state.encoder, stream_name);
    kv::encode_image(state, quantization, image_name, stream_name);
    kv::kill_encoder(state.encoder);
    struct stat coded;  // the coded image's size, for the report
    const uint64_t image_bytes =
        options.report && ::stat(stream_name, &coded) == 0 ? static_cast<uint64_t>(coded.st_size) : 0;
    const std::vector<uint8_t> trailer = finish_encode(state, parts, input, metadata, image_bytes, options);
    if (!trailer.empty()) {
      std::FILE* file = std::fopen(stream_name, "ab");
      if (!file) kv::fail(ErrorCode::kStreamFile, "Error writing file \"%s\".", stream_name);
      const bool wrote = std::fwrite(trailer.data(), 1, trailer.size(), file) == trailer.size();
      if (!(std::fclose(file) == 0 && wrote)) kv::fail(ErrorCode::kStreamFile, "Error writing file \"%s\".", stream_name);
    }
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
    uint64_t size = 0;
    const kv::TrailerView view = read_file_trailer(stream_name, size);
    check_unclaimed(view, state.decoder, size, options.report, [&](uint64_t offset, size_t count, uint8_t* out) {
      return read_file_part(stream_name, offset, count, out);
    });
    kv::Image image{state.width, state.height, state.channels, std::move(state.image)};
    Metadata metadata;
    const bool alpha = apply_trailer(view, image, metadata, options);
    if (alpha && !kv::has_png_name(image_name) && !kv::has_pam_name(image_name)) {
      image.samples = colour_part(image.samples, image.channels);
      image.channels -= 1;
      if (options.report) {
        options.report->alpha_dropped = true;
        options.report->warnings.push_back("Warning: \"" + image_path +
                                           "\" cannot hold alpha; the alpha plane was left out (name it .png or .pam "
                                           "to keep it).");
      }
    }
    if (!store_image(image_name, image.width, image.height, image.channels, image.samples.data(), &metadata))
      kv::fail(ErrorCode::kImageWrite, "Error writing file \"%s\".", image_name);
  });
}

StreamInfo read_info(std::span<const uint8_t> stream) {
  return guarded([&] {
    // The header as decode_image reads it, through the same decoder: the same
    // failures, and nothing allocated for the image.
    kv::Decoder decoder;
    kv::new_memory_decoder(decoder, stream.data(), stream.size());
    if (kv::read_bits(decoder, 8) != kv::kMagicFirst || kv::read_bits(decoder, 8) != kv::kMagicSecond)
      kv::fail(ErrorCode::kNotAStream, "Not a Kelvane 2.0 file.");
    StreamInfo info;
    info.width = static_cast<int32_t>(kv::read_bits(decoder, 16));
    if (info.width == 0) kv::fail(ErrorCode::kNotAStream, "Not a Kelvane 2.0 file.");
    info.height = static_cast<int32_t>(kv::read_bits(decoder, 16));
    if (info.height == 0) kv::fail(ErrorCode::kNotAStream, "Not a Kelvane 2.0 file.");
    info.channels = static_cast<int32_t>(kv::read_bits(decoder, 8));
    if (info.channels == 0) kv::fail(ErrorCode::kNotAStream, "Not a Kelvane 2.0 file.");
    info.quantization = std::bit_cast<float>(kv::read_float(decoder));
    if (info.channels > 1) {
      info.colour_matrix.resize(static_cast<size_t>(info.channels) * static_cast<size_t>(info.channels));
      for (double& entry : info.colour_matrix) entry = std::bit_cast<float>(kv::read_float(decoder));
    }
    return info;
  });
}

Image read_image(const std::string& path) {
  return guarded([&] {
    kv::Image image;
    Metadata metadata;
    if (!load_image(path.c_str(), image, &metadata))
      kv::fail(ErrorCode::kImageRead, "Error reading file \"%s\".", path.c_str());
    return Image{image.width, image.height, image.channels, std::move(image.samples), std::move(metadata),
                 image.source_maxval};
  });
}

void write_image(const std::string& path, const Image& image) {
  guarded([&] {
    const size_t count = static_cast<size_t>(std::max(image.width, 0)) * static_cast<size_t>(std::max(image.height, 0)) *
                         static_cast<size_t>(std::max(image.channels, 0));
    if (image.samples.size() != count ||
        !store_image(path.c_str(), image.width, image.height, image.channels, image.samples.data(), &image.metadata))
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
