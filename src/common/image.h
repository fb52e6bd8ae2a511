// An image as the codec's internals and its files hold it: 32-bit samples in
// raster order, the channels of a pixel adjacent.
#pragma once

#include <cstdint>
#include <vector>

namespace kv {

struct Image {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  std::vector<int32_t> samples;  // raster order, the channels of a pixel adjacent
  // The file's maximum sample value (255 where it has none or states none).
  // Samples are scaled from 0..source_maxval to 0..255; above 255 the file
  // held more precision than the samples keep.
  int32_t source_maxval = 255;
};

}  // namespace kv
