// PAM images (P7): the PNM family's form with a channel count, used here
// for images with alpha. Reading takes DEPTH 1 to 4 (alpha, when present,
// last: GRAYSCALE_ALPHA, RGB_ALPHA), MAXVAL 1..65535, one byte per sample up
// to 255 and two (most significant first) above; samples are scaled to
// 0..255 as (v 255 + maxval / 2) / maxval with source_maxval set. Writing
// makes MAXVAL 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "io/pnm.h"

namespace kv {

// True when the bytes start with "P7" and a blank.
bool has_pam_signature(const uint8_t* data, size_t size);
bool file_has_pam_signature(const char* path);

// False, leaving `image` as it was, when the header is malformed (a line
// missing, repeated or out of range), a side exceeds limits.max_dimension,
// the buffer would exceed the limit, or the raster is short.
bool read_pam_memory(const uint8_t* data, size_t size, Image& image, const ReadLimits& limits = {});
bool read_pam(const char* path, Image& image, const ReadLimits& limits = {});

// The bytes of a PAM file of 1 to 4 channels (TUPLTYPE GRAYSCALE,
// GRAYSCALE_ALPHA, RGB, RGB_ALPHA): the low 8 bits of every sample. Empty
// for other channel counts or empty images.
std::vector<uint8_t> format_pam(int32_t width, int32_t height, int32_t channels, const int32_t* samples);
// False, creating nothing, for an unsupported shape; false too when the
// file cannot be created or a write or the close fails.
bool write_pam(const char* path, int32_t width, int32_t height, int32_t channels, const int32_t* samples);

// True when the name ends in ".pam", in any letter case.
bool has_pam_name(const char* path);

}  // namespace kv
