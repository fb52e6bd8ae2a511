// The kelvane image codec, in memory and on files. Every call runs on its own
// state, so calls may run at the same time on different threads. Failures
// throw kelvane::Error (kelvane/error.h); nothing here prints unless asked
// to, and nothing ends the process. The byte coder is in kelvane/veluna.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "kelvane/error.h"

namespace kelvane {

// What an image file carries beside its pixels, kept byte for byte and
// never interpreted: an ICC colour profile, an EXIF block (from its TIFF
// header on) and an XMP packet. Each is empty when absent.
struct Metadata {
  std::vector<uint8_t> icc;
  std::vector<uint8_t> exif;
  std::vector<uint8_t> xmp;
  // Set by reading a PNG whose ICC profile was invalid, and so left out of
  // `icc`: encoding says so through EncodeOptions::warnings (unless it
  // strips the metadata). Streams do not carry it.
  bool icc_invalid = false;
  bool empty() const { return icc.empty() && exif.empty() && xmp.empty(); }
};

// Samples as the codec holds them: raster order, the channels of a pixel
// adjacent. Encoding takes 1..65535 columns and rows, 1..255 channels and
// samples in 0..255 (anything else is Error kInvalidImage); decoded samples
// lie in 0..255.
// Alpha: 2 channels are grey and alpha, 4 are red, green, blue and alpha
// (alpha last, 0 transparent .. 255 opaque). encode() codes such an image as
// the grey or colour image plus the alpha plane in the stream's trailer;
// decode() gives 2 or 4 channels back when the trailer holds alpha. Every
// other channel count is coded as it is, without alpha.
struct Image {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  std::vector<int32_t> samples;
  // Carried in the stream's trailer by encode() (unless
  // EncodeOptions::strip_metadata), given back by decode(), read from and
  // written to PNG files by read_image/write_image.
  Metadata metadata = {};
  // The largest value the samples were scaled down from: read_image gives a
  // deeper file's maximum (up to 65535), with the samples reduced to
  // 0..255. encode() refuses a lossless encode of an image above 255 (Error
  // kInvalidImage) and warns of a lossy one.
  int32_t maxval = 255;

  // From width x height x channels bytes; throws Error when the count differs.
  static Image from_8bit(std::span<const uint8_t> bytes, int32_t width, int32_t height, int32_t channels);
  // One byte per sample, each clamped to 0..255.
  std::vector<uint8_t> to_8bit() const;
};

// What the encoder knows of the stream it wrote: the image every decoder
// rebuilds from it (built while coding, without decoding) and that image's
// PSNR against the input, in dB (peak 255, every sample; infinite when exact).
struct EncodeReport {
  Image rebuilt;
  double psnr = 0;
  float quantization = 0;    // the value the stream was coded with (chosen by a target, or as given)
  uint64_t bytes = 0;        // the stream's size
  double bits_per_pixel = 0; // 8 * bytes / (width * height)
  int encodes = 1;           // whole encodes run to reach a target (1 without one)
  // Set when a target's search moved the stream between two quantization
  // values (where no value gives a stream in between): encoding at
  // `quantization` without the target then writes another stream.
  bool tuned = false;
};

// A size or quality to reach instead of a given quantization value.
//  - kBytes, kBitsPerPixel: the best quality whose stream is at most the
//    target; Error kTargetUnreachable when even the coarsest setting is larger.
//  - kPsnr (dB, all channels, peak 255): the smallest stream found whose
//    PSNR is at least the target, preferring one at most 0.15 dB above it;
//    the lossless stream when lossy coding cannot reach it (also for an
//    infinite target).
// Between two quantization values where size and PSNR jump, the stream may
// be tuned (EncodeReport::tuned).
struct Target {
  enum class Kind { kNone, kBytes, kBitsPerPixel, kPsnr };
  Kind kind = Kind::kNone;
  double value = 0;
};

// What the encoder reads.
struct EncodeOptions {
  // Worker threads; 0: every hardware thread; at most 256 are used. The
  // stream does not depend on it.
  int threads = 0;
  std::FILE* console = nullptr;  // progress lines and the colour matrix go here; null: quiet
  // Rate-distortion-optimising encoder: quadtree, directions, blocks coded
  // as zeros and dropped coefficients chosen to minimise squared error plus
  // lambda times bits. Same format, every decoder reads it; without effect
  // at a quantization of 1 or less.
  bool rate_distortion = false;
  // How hard the rate-distortion mode works (without it, no effect): 1 is
  // the default; 2 also tries quantization values a quarter octave around
  // the one given, at its lambda, and keeps the one of least squared error
  // plus lambda times bits: three to five times the encode time, for smaller
  // streams on smooth photographs. Same format at every effort.
  int effort = 1;
  // When set, filled in (at the cost of one more image buffer and the
  // inverse transforms).
  EncodeReport* report = nullptr;
  // When set, receives the diagnostic picture: the transformed planes with
  // every coded block's direction painted in. Costs nothing when null.
  Image* direction_picture = nullptr;
  // When set, the quantization argument of encode/encode_file is ignored and
  // the encoder chooses one to reach the target (see Target).
  Target target;
  // When set, called from the coding thread with the fraction (0..1] of the
  // samples coded so far, a few hundred times per image at most.
  std::function<void(double fraction)> progress;
  // The alpha plane's own quantization (see encode); 1 or less: exact.
  float alpha_quantization = 1;
  // Code the colour of fully transparent pixels as it is (lossy like the
  // rest above quantization 1). Otherwise, above 1, the encoder may replace
  // it by what codes cheapest (at 1 or less everything comes back exactly).
  bool exact = false;
  // Leave the image's metadata (ICC, EXIF, XMP) out of the stream.
  bool strip_metadata = false;
  // encode_file only: code a PNM whose raster ends early as it was read
  // (the missing P5/P6 samples as -1), as the classic program does.
  // Otherwise such a file is refused (Error kImageRead).
  bool short_raster = false;
  // When set, receives one line (no newline) for each thing the caller
  // should hear of: samples reduced from more than 8 bits, or a PNG's
  // invalid ICC profile left out.
  std::vector<std::string>* warnings = nullptr;
};

// What the decoder found beside the image. A damaged trailer never stops
// the image from decoding: what it damaged is left out and told here.
struct DecodeReport {
  bool alpha = false;          // the trailer announces an alpha plane
  bool alpha_lost = false;     // ... which could not be rebuilt: the image came back without it
  bool alpha_dropped = false;  // decode_file wrote a format without alpha (PNM) and left it out
  // One line each (no newline): trailer damage, alpha lost or dropped.
  std::vector<std::string> warnings;
};

// What the decoder reads.
struct DecodeOptions {
  int threads = 0;               // worker threads for the inverse transforms; 0: every hardware thread; at most 256
  uint64_t memory_limit = 0;     // largest decoded sample buffer in bytes; 0: the machine's memory
  std::FILE* console = nullptr;  // the header line goes here; null: quiet
  DecodeReport* report = nullptr;  // when set, filled in
};

// A quantization of 1 or less codes the image losslessly; larger values
// code it coarser; one that is not a finite number is Error kEncodeFailed
// (encode_file takes any value, as the classic program does). An image with alpha (2 or 4 channels) or metadata gets a
// trailer after the coded image: the alpha plane coded as a one-channel
// stream at options.alpha_quantization, and the metadata. The report's
// rebuilt image has the alpha too; its PSNR counts every sample but the
// colour of fully transparent pixels the encoder was free to replace.
std::vector<uint8_t> encode(const Image& image, float quantization, const EncodeOptions& options = {});
Image decode(std::span<const uint8_t> stream, const DecodeOptions& options = {});

// What a stream's header says, read without decoding the planes.
struct StreamInfo {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  float quantization = 0;
  std::vector<double> colour_matrix;  // channels x channels, row-major; empty for one channel
};
StreamInfo read_info(std::span<const uint8_t> stream);

// What a stream's trailer carries, read from the end of the stream without
// decoding anything: whether it holds alpha, the metadata, and warnings for
// damage.
struct TrailerInfo {
  bool alpha = false;
  uint64_t alpha_bytes = 0;  // size of the coded alpha plane
  Metadata metadata;
  std::vector<std::string> warnings;
};
TrailerInfo read_trailer_info(std::span<const uint8_t> stream);

// The image file may be any PNM (P1..P6), a PAM (P7: grey, grey+alpha, RGB,
// RGB+alpha) or a PNG (any kind; alpha kept when some pixel is not opaque,
// ICC/EXIF/XMP kept as the image's metadata). Samples of more than 8 bits
// are reduced to 8 for a lossy encode (with a warning) and refused for a
// lossless one. Neither call writes over the file it reads. encode_file
// writes the stream as it codes, as the classic program does: a failure
// part-way (a progress callback that throws included) leaves the stream
// file cut short. To keep an existing file whole, encode() to memory, or
// write to a temporary name and rename it, as the kelvane program does.
void encode_file(const std::string& image_path, const std::string& stream_path, float quantization,
                 const EncodeOptions& options = {});
// Writes PNG when the name ends in ".png" (any case; with alpha and
// metadata), PAM when it ends in ".pam" (with alpha), binary PNM otherwise
// (alpha left out, told in the report).
void decode_file(const std::string& stream_path, const std::string& image_path, const DecodeOptions& options = {});

// The image files themselves, as encode_file reads and decode_file writes
// them. Writing keeps the low 8 bits of each sample; it takes 1 or 3
// channels, and 2 or 4 (alpha last) for PNG and PAM; PNG gets the metadata.
Image read_image(const std::string& path);
void write_image(const std::string& path, const Image& image);

}  // namespace kelvane
