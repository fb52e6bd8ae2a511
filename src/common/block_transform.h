// The directional transform of a leaf block: its samples are ordered along a
// direction, decomposed completely with the one-dimensional block filter, and
// the bands quantised with the subband's steps.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/band_layout.h"

namespace kv {

// Orders a block's samples by x * dy + y * dx.
struct ScanDirection {
  int32_t dx;
  int32_t dy;
};

BandLayout band_layout(int32_t n);

// Fills `table` for a w x h block and returns its length D >= 1.
int make_directions(std::vector<ScanDirection>& table, int w, int h);

// position[y * w + x] = the scan position of sample (x, y); equal keys keep
// row-major order.
void scan_positions(int w, int h, ScanDirection direction, int32_t* position);

// A rectangle of samples at origin + x * sample_step + y * row_step.
struct BlockView {
  int32_t* origin;
  int width;
  int height;
  ptrdiff_t sample_step;
  ptrdiff_t row_step;
};

// Forward: reads the block and leaves the quantised coefficients in `values`
// by scan position. Inverse: dequantises `values` (overwritten), undoes the
// lifting and writes the block. Steps are quant[level + j] for band j
// (quant: the quantizer table, common/format.h).
void direction_transform(const float* quant, int level, const BandLayout& layout, int32_t* values,
                         const BlockView& block, ScanDirection direction, bool forward);

// The steps of direction_transform on coefficients held by scan position.
void lift_block(int32_t* values, const BandLayout& layout, bool forward);

// Exact truncated quotients |v| / step for one step, without a division:
// the step is M * 2^-shift with a 24-bit integer M, a fixed-point reciprocal
// gives the quotient or one more, and an exact integer comparison settles it.
// Below 2^24, v / step never lies within rounding distance of an integer it
// does not reach, so the truncated double quotient is this exact floor too.
struct StepDivider {
  double step;
  bool integer_path;
  uint64_t reciprocal;  // ceil(2^40 / step)
  uint64_t mantissa;    // M
  int shift;

  StepDivider() : StepDivider(1.0) {}
  // Steps below 1 (no quantizer table has them) would need a shift past 63
  // bits: they divide in double like the largest ones.
  explicit StepDivider(double s)
      : step(s), integer_path(s >= 1.0 && s < 16777216.0), reciprocal(0), mantissa(0), shift(0) {
    if (!integer_path) return;
    int exponent;
    const double fraction = std::frexp(s, &exponent);  // s = fraction * 2^exponent, fraction in [0.5, 1)
    mantissa = static_cast<uint64_t>(std::ldexp(fraction, 24));
    shift = 24 - exponent;
    const uint64_t numerator = uint64_t{1} << (40 + shift);
    reciprocal = (numerator + mantissa - 1) / mantissa;
  }

  // |v| / step truncated, for a magnitude |v| <= 2^31.
  uint32_t magnitude_quotient(uint32_t a) const {
    if (integer_path && a < (1u << 24)) [[likely]] {
      const uint64_t k = (uint64_t{a} * reciprocal) >> 40;
      return static_cast<uint32_t>(k - static_cast<uint64_t>(k * mantissa > (uint64_t{a} << shift)));
    }
    return large_quotient(a);
  }
  // Branch-free where it matters: |v| and the sign are restored arithmetically.
  int32_t quotient(int32_t v) const {
    const int32_t sign = v >> 31;
    const uint32_t a = static_cast<uint32_t>(v ^ sign) - static_cast<uint32_t>(sign);
    return (static_cast<int32_t>(magnitude_quotient(a)) ^ sign) - sign;
  }
  // Kept out of line: a division the common path should not pay for.
  [[gnu::noinline]] uint32_t large_quotient(uint32_t a) const {
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<double>(a) / step));
  }
};

void quantise(const float* quant, int level, const BandLayout& layout, int32_t* values);
void dequantise(const float* quant, int level, const BandLayout& layout, int32_t* values);
[[noreturn]] void refuse_coefficient();
// One nonzero quantised value rebuilt with its step: (v +- 0.35) * step.
// False, leaving `out` alone, where dequantised would refuse the value.
inline bool dequantise_into(int32_t v, double step, int32_t& out) {
  double rebuilt = v > 0 ? (v + 0.35) * step : (v - 0.35) * step;
  // Only a damaged stream (or an absurd step) reaches beyond 32 bits.
  if (!(rebuilt > -2147483648.0 && rebuilt < 2147483648.0)) return false;
  out = static_cast<int32_t>(rebuilt);
  return true;
}
inline int32_t dequantised(int32_t v, double step) {
  int32_t out;
  if (!dequantise_into(v, step, out)) refuse_coefficient();
  return out;
}
// Row-major copies between a block of the image and a compact array.
void copy_from_block(const BlockView& block, int32_t* compact);
void copy_to_block(const int32_t* compact, const BlockView& block);

// The painted value of a coefficient at scan position p of an n-sample block.
int32_t painted_value(int32_t value, int p, int n);

// Replaces a coded block by its part of the diagnostic picture: coefficients
// lifted by 128, crossed by a dark stripe along the chosen direction.
void paint_direction(const BlockView& block, int direction_index);

}  // namespace kv
