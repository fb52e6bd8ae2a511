// The codec's two lifting filters with symmetric extension, on arrays: the
// scalar definitions (any processor) that every other version must equal.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kv {

// One level of the block filter (type 4) on the halves of a line: e holds
// its nl = ceil(n/2) even samples, d its nh = floor(n/2) odd ones (n >= 2),
// each with two writable guard slots before and after. Forward turns them
// into the low and high coefficients; inverse undoes it.
void block_filter(int32_t* e, int32_t* d, int nl, int nh, bool forward);

// The same for the plane filter (type 7, 13/7).
void plane_filter(int32_t* e, int32_t* d, int nl, int nh, bool forward);

// The block filter applied level after level to the leading lengths[0],
// lengths[1], ... samples of a contiguous array of at most 1024 (forward;
// the inverse runs the levels backwards).
void lift_block_levels(int32_t* values, const int32_t* lengths, int levels, bool forward);

// A buffer of at least `count` int32 that belongs to the calling thread,
// one per slot (0 to 3); it only grows, and its contents are not kept.
int32_t* lifting_scratch(int slot, size_t count);

// The inverse plane filter of one line of n samples at start, start + step, ...
// (low coefficients first, as the forward filter leaves them). Through the
// kernel table (dsp/dsp.h).
void inverse_plane_row(int32_t* start, int n, ptrdiff_t step);

}  // namespace kv
