// The kelvane library: the image codec and the veluna byte coder, in memory
// and on files. Every call runs on its own state, so calls may run at the
// same time on different threads. Failures throw kelvane::Error; nothing
// here prints unless asked to, and nothing ends the process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kelvane {

// A failure: the message the kelvane and veluna programs print for it
// (without a newline) and the status they end with.
class Error : public std::exception {
 public:
  Error(int status, std::string message) : status_(status), message_(std::move(message)) {}
  const std::string& message() const noexcept { return message_; }
  int status() const noexcept { return status_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  int status_;
  std::string message_;
};

// Samples as the codec holds them: raster order, the channels of a pixel
// adjacent. Encoding takes 1..65535 columns and rows and 1..255 channels
// (files hold 1 or 3); decoded samples lie in 0..255.
struct Image {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  std::vector<int32_t> samples;

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
};

struct Options {
  int threads = 0;              // encoder worker threads; 0: every hardware thread
  uint64_t memory_limit = 0;    // largest decoded sample buffer in bytes; 0: the machine's memory
  std::FILE* console = nullptr; // progress lines and the colour matrix go here; null: quiet
  // encode_file also writes the transformed planes with their block
  // directions to "dir.pgm" or "dir.ppm" in the current directory, unless
  // that is the image or the stream.
  bool direction_picture = false;
  // Rate-distortion-optimising encoder (the command line's fourth argument
  // "--rdo"): quadtree, directions, blocks coded as zeros and dropped
  // coefficients chosen to minimise squared error plus lambda times bits,
  // for about 15 % fewer bits at equal PSNR and about 1.2 times the
  // encoding time. Same format, every decoder reads it; off by default, and
  // without effect at a quantization of 1 or less.
  bool rate_distortion = false;
  // When set, encode and encode_file fill it in (at the cost of one more
  // image buffer and the inverse transforms).
  EncodeReport* report = nullptr;
};

// A quantization of 1 or less codes the image losslessly; larger values
// code it coarser.
std::vector<uint8_t> encode(const Image& image, float quantization, const Options& options = {});
Image decode(std::span<const uint8_t> stream, const Options& options = {});

// The image file may be any PNM (P1..P6) or an 8-bit or smaller PNG without
// translucent pixels. Neither call writes over the file it reads.
void encode_file(const std::string& image_path, const std::string& stream_path, float quantization,
                 const Options& options = {});
// Writes PNG when the name ends in ".png" (any case), binary PNM otherwise.
void decode_file(const std::string& stream_path, const std::string& image_path, const Options& options = {});

// The image files themselves, as encode_file reads and decode_file writes
// them. Writing keeps the low 8 bits of each sample; it takes 1 or 3 channels.
Image read_image(const std::string& path);
void write_image(const std::string& path, const Image& image);

// veluna: order-0 adaptive coding of any bytes.
std::vector<uint8_t> veluna_compress(std::span<const uint8_t> input);
std::vector<uint8_t> veluna_expand(std::span<const uint8_t> compressed);
void veluna_compress_file(const std::string& input_path, const std::string& compressed_path);
void veluna_expand_file(const std::string& compressed_path, const std::string& output_path);

}  // namespace kelvane
