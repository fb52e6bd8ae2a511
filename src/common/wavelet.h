// One-dimensional integer lifting transform of a strided int32 line, in place
// and exactly invertible. After a forward transform the (n+1)/2 low-pass
// coefficients stand in front, the n/2 high-pass ones behind them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// Fills indices lo..-1 and c..hi-1 of the array at x (c >= 1 valid samples).
using ExtendFunction = void (*)(int32_t* x, int c, int lo, int hi);

void extend_replicate(int32_t* x, int c, int lo, int hi);
void extend_periodic(int32_t* x, int c, int lo, int hi);
void extend_symmetric(int32_t* x, int c, int lo, int hi);       // ..., x2, x1, x0, x1, x2, ...
void extend_half_symmetric(int32_t* x, int c, int lo, int hi);  // ..., x1, x0, x0, x1, ...

// Filter types: 0 (5/3), 1, 2, 3, 4 (block transform), 5, 6, 7 (plane
// transform, 13/7), 8 (9/7 with integer lifting factors); any other value
// only splits or merges the even and odd samples.
inline constexpr uint32_t kPlaneFilter = 7;
inline constexpr uint32_t kBlockFilter = 4;

void lift_line(int32_t* start, int n, int stride, uint32_t filter, ExtendFunction extend, bool forward);

// lift_line(start, n, step, kPlaneFilter, extend_symmetric, false) for the
// rows of a plane, at a step the compiler knows for one channel.
void inverse_plane_row(int32_t* start, int n, ptrdiff_t step);

// The block filter with symmetric extension applied level after level to the
// leading lengths[0], lengths[1], ... samples of a contiguous array of at most
// 1024 (forward; the inverse runs the levels backwards). Equals lift_line on
// each prefix.
void lift_block_levels(int32_t* values, const int32_t* lengths, int levels, bool forward);

}  // namespace kv
