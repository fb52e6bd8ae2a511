// PNG images through libpng, in the codec's 32-bit samples. Reading takes
// grey of 1, 2, 4, 8 or 16 bits (scaled to 0..255) as one channel,
// truecolour and palette images as three, and an alpha channel or a
// transparency chunk as one more (last) channel unless every pixel is fully
// opaque, when it is dropped. 16-bit samples come scaled to 0..255 with
// source_maxval 65535. Writing makes 8-bit grey, grey+alpha, truecolour or
// truecolour+alpha.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "io/pnm.h"

namespace kv {

// What a PNG carries beside its pixels, uninterpreted: the ICC profile of
// iCCP (expanded), the EXIF block of eXIf, the XMP packet of the iTXt chunk
// keyed "XML:com.adobe.xmp". Empty when absent. icc_invalid: the file had
// an iCCP chunk whose profile libpng refused (invalid, or unfit for the
// image), so `icc` is empty.
struct PngMetadata {
  std::vector<uint8_t> icc, exif, xmp;
  bool icc_invalid = false;
};

// True when the bytes start with the PNG signature (eight bytes).
bool has_png_signature(const uint8_t* data, size_t size);
// True when the file can be opened and starts with the PNG signature.
bool file_has_png_signature(const char* path);

// False, leaving `image` as it was, on any refusal or damage, or when a side
// exceeds limits.max_dimension or the buffers limits.max_bytes.
// `metadata`, when not null, receives what the file carries (a profile
// libpng finds invalid is left out, and icc_invalid says so).
bool read_png_memory(const uint8_t* data, size_t size, Image& image, const ReadLimits& limits = {},
                     PngMetadata* metadata = nullptr);
bool read_png(const char* path, Image& image, const ReadLimits& limits = {}, PngMetadata* metadata = nullptr);

// The low 8 bits of every sample, 1 to 4 channels (2 and 4 with alpha
// last), and the metadata when given (a profile libpng finds invalid for
// the image is left out). False, creating nothing, for another channel
// count or an empty image; false too when the file cannot be created or
// written.
bool write_png(const char* path, int32_t width, int32_t height, int32_t channels, const int32_t* samples,
               const PngMetadata* metadata = nullptr);

// True when the name ends in ".png", in any letter case.
bool has_png_name(const char* path);

}  // namespace kv
