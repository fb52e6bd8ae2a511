// PNM images (P1 to P6) read into 32-bit samples, and written as P5 or P6
// with maximum value 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/image.h"
#include "util/memory.h"  // physical_memory_bytes

namespace kv {

struct ReadLimits {
  int64_t max_dimension = 65535;  // what a stream header can describe
  uint64_t max_bytes = 0;         // of the sample buffer; 0 means the machine's physical memory
};

// PNM samples arrive in 0..255: a maximum value other than 255 scales them
// to (v 255 + maxval / 2) / maxval, clamped to 255 (a file with maximum 255,
// or none, keeps its values as they are); P5 and P6 above 255 hold two bytes
// per sample, most significant first. A binary raster that ends early gives
// -1 for every missing sample, an ASCII one 0.
// False when the file cannot be opened or read, the magic is wrong, a
// dimension is missing, not positive or too large, the maximum value is 0 or
// above 65535, a number overflows, an ASCII sample exceeds 65535, the buffer
// would exceed the limit, or the raster is far shorter than its header
// declares: more than 64 KiB beyond twice the bytes present are missing
// (counting one byte per ASCII sample, the least it takes), so that the
// buffer stays within a few times the input's size.
bool read_pnm(const char* path, Image& image, const ReadLimits& limits = {});
bool read_pnm_memory(const uint8_t* data, size_t size, Image& image, const ReadLimits& limits = {});

// The bytes of a P5 (1 channel) or P6 (3 channels) file: the low 8 bits of
// every sample, unclamped. Empty for other channel counts or empty images.
std::vector<uint8_t> format_pnm(int32_t width, int32_t height, int32_t channels, const int32_t* samples);
// False, creating nothing, for an unsupported shape; false too when the file
// cannot be created or a write or the close fails.
bool write_pnm(const char* path, int32_t width, int32_t height, int32_t channels, const int32_t* samples);

}  // namespace kv
