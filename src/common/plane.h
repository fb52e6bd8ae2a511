// A channel plane's wavelet: one depth of the dyadic decomposition splits a
// w x h region into its low quadrant ((w + 1) / 2 x (h + 1) / 2, top-left)
// and three detail subbands, rows first and then columns, with the plane
// filter and symmetric extension. The planes are coded deepest level first
// (enc/enc_plane.h, dec/dec_plane.h).
#pragma once

#include <cstdint>

#include "common/coding_state.h"

namespace kv {

class ThreadPool;

// One depth of the decomposition of the w x h region at origin, in place.
void forward_transform_region(const CodingState& state, int32_t* origin, int w, int h);
// Its exact inverse.
void inverse_transform_region(const CodingState& state, int32_t* origin, int w, int h);
// forward_transform_region (forward) or inverse_transform_region with the
// rows and columns of a large region shared between the threads of `pool`;
// a small region, or no pool, on the calling thread. The same values.
void transform_region_shared(ThreadPool* pool, const CodingState& state, int32_t* origin, int w, int h,
                             bool forward);
// The inverse of every depth of the decomposition of the w x h region at
// origin, deepest first: what the decoder does once a plane's values are in.
void invert_plane(const CodingState& state, int32_t* origin, int w, int h);

}  // namespace kv
