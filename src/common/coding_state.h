// What an encoder and a decoder of one image both hold: the image's shape and
// samples, the quantizer table, the bin tables and the block geometry cache.
// Each direction's state (enc/enc_state.h, dec/dec_state.h) adds its own.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/format.h"
#include "entropy/magnitude.h"

namespace kv {

class GeometryCache;

struct CodingState {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  std::vector<int32_t> image;  // width x height x channels samples, channels of a pixel adjacent
  float quant[64] = {};

  // Where a plane's samples lie: the sample at (x, y) of the plane that
  // starts at p is p[x * pixel_step + y * row_step].
  int32_t pixel_step = 0;
  int32_t row_step = 0;

  BinTables bins;
  // Direction tables and scan orders of every block size met so far.
  std::shared_ptr<GeometryCache> geometry;
};

}  // namespace kv
