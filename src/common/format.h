// The stream's fixed parameters: what every encoder and decoder of the format
// must agree on.
#pragma once

#include <cstdint>

namespace kv {

// The header: 'K', '$', 16-bit width, 16-bit height, 8-bit channel count,
// then the 32-bit float quantization value.
inline constexpr int kMagicFirst = 75;   // 'K'
inline constexpr int kMagicSecond = 36;  // '$'
inline constexpr int kMaxDimension = 65535;

// The bank of adaptive models: 64 models of the magnitude bins
// (entropy/magnitude.h) each.
inline constexpr int kModelCount = 64;
// Model numbers: the DC value, then band j of subband level l uses model
// l + j for magnitudes and 63 - l - j for zero runs; 63 holds directions.
inline constexpr int kDcModel = 0;
inline constexpr int kDirectionModel = 63;

// Subband quadtrees: a block above kSplitMaxArea samples is always split, and
// no encoder splits one below kSplitMinArea.
inline constexpr int kSplitMaxArea = 1024;
inline constexpr int kSplitMinArea = 4;

// Entry i = max(base_q / sqrt(2)^i, 1), each division in double rounded to float.
void build_quantizer_table(float base_q, float quant[64]);

}  // namespace kv
