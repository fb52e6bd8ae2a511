// The image codec's state of one run: image, coder, model bank, quantizer
// table and start-up tables. Everything that codes or estimates takes it by
// reference; nothing of a run lives in globals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "adaptive_model.h"
#include "decoder.h"
#include "encoder.h"

namespace kv {

// Fixed codec parameters.
inline constexpr uint32_t kModelIncrement = 320;
inline constexpr uint32_t kModelLimit = 16384;
inline constexpr int kModelCount = 64;
inline constexpr int kModelSymbols = 32;
inline constexpr float kBinBase = 1.36f;
inline constexpr int kSplitMaxArea = 1024;
inline constexpr int kSplitMinArea = 4;
inline constexpr int kSearchSamples = 8;
inline constexpr int kSearchKeep = 3;
inline constexpr float kDistortionWeight = 12.0f;
inline constexpr int kDirectionModel = 63;
inline constexpr int kDcModel = 0;

inline constexpr int kMagicFirst = 75;   // 'K'
inline constexpr int kMagicSecond = 36;  // '$'
inline constexpr int kMaxDimension = 65535;

struct CodecState {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  std::vector<int32_t> image;  // width x height x channels samples, channels of a pixel adjacent

  Encoder encoder;
  Decoder decoder;
  AdaptiveModel models[kModelCount];
  float quant[64] = {};

  int32_t pixel_step = 0;
  int32_t row_step = 0;

  float inv_log_base = 0.0f;
  int32_t bin_start[256] = {};
  int32_t bin_of[256] = {};

  int32_t level = 0;           // subband level being coded
  int64_t coded_samples = 0;   // samples of the leaf blocks coded so far
  std::FILE* console = stdout; // progress and matrix printout; null keeps quiet
};

void create_models(CodecState& state);
void release_models(CodecState& state);
// Entry i = max(base_q / sqrt(2)^i, 1), each division in double rounded to float.
void build_quantizer_table(float base_q, float quant[64]);

}  // namespace kv
