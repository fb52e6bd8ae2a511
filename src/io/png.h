// PNG images through libpng, in the codec's 32-bit samples. Reading takes
// grey of 1, 2, 4 or 8 bits (scaled to 0..255) as one channel, truecolour and
// palette images as three; an alpha channel or a transparency chunk is
// dropped when every pixel is fully opaque. 16-bit and translucent images are
// refused. Writing makes 8-bit grey or truecolour.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io/pnm.h"

namespace kv {

// True when the bytes start with the PNG signature (eight bytes).
bool has_png_signature(const uint8_t* data, size_t size);
// True when the file can be opened and starts with the PNG signature.
bool file_has_png_signature(const char* path);

// False, leaving `image` as it was, on any refusal or damage, or when a side
// exceeds limits.max_dimension or the buffers limits.max_bytes.
bool read_png_memory(const uint8_t* data, size_t size, Image& image, const ReadLimits& limits = {});
bool read_png(const char* path, Image& image, const ReadLimits& limits = {});

// The low 8 bits of every sample. False, creating nothing, for a channel
// count other than 1 or 3 or an empty image; false too when the file cannot
// be created or written.
bool write_png(const char* path, int32_t width, int32_t height, int32_t channels, const int32_t* samples);

// True when the name ends in ".png", in any letter case.
bool has_png_name(const char* path);

}  // namespace kv
