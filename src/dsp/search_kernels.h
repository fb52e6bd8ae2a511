// The block transform as the direction search runs it, once per evaluated
// direction: the scan-order gather feeds the first lifting level directly,
// and the inverse ends in the squared error against the gathered samples
// instead of writing a reconstruction. Results equal lift_block's.
//
// Each function calls the version of the kernel table (dsp/dsp.h) chosen for
// the processor.
#pragma once

#include <cstdint>

#include "dsp/band_layout.h"

namespace kv {

// The samples of one evaluation in scan order, split as the first level
// splits them: even scan positions, odd scan positions.
struct ScanSamples {
  int32_t even[512];
  int32_t odd[512];
};

// values[0..n) = lift_block(forward) of samples[order[k]], k < n = layout.end[1]
// (at most 1024); the gathered samples go to `kept` unless it is null.
void lift_block_gathered(const int32_t* samples, const uint16_t* order, const BandLayout& layout, int32_t* values,
                         ScanSamples* kept);

// The sum of squared differences between lift_block(inverse) of `values`
// (left unchanged) and `kept`. False, with `sse` undefined, when a difference
// reaches 2^21: below that the sum stays under 2^52, so it is exactly what a
// sum in double in any order gives.
bool inverse_squared_error(const int32_t* values, const BandLayout& layout, const ScanSamples& kept, int64_t& sse);

// lift_block(inverse) of `values` (left unchanged), the sample at scan
// position k written to out[order[k]]: a leaf's rebuilt block, row-major.
void inverse_lift_scattered(const int32_t* values, const BandLayout& layout, const uint16_t* order, int32_t* out);

}  // namespace kv
