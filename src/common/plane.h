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
// Its exact inverse: inverse_columns over all batches, then inverse_rows
// over all rows.
void inverse_transform_region(const CodingState& state, int32_t* origin, int w, int h);
// The inverse's two passes over the w x h region in pieces that may run on
// different threads, once every column piece is done before any row piece
// starts: the columns of batches [first, end) of kInverseColumnBatch
// columns ((w + 15) / 16 batches in all), and rows [first, end).
inline constexpr int kInverseColumnBatch = 16;
void inverse_columns(const CodingState& state, int32_t* origin, int w, int h, int64_t first, int64_t end);
void inverse_rows(const CodingState& state, int32_t* origin, int w, int64_t first, int64_t end);
// Regions of fewer samples are transformed by one thread: below this the
// hand-over costs more than sharing saves.
inline constexpr int64_t kSharedTransformArea = int64_t{1} << 16;
// forward_transform_region with the rows and columns of a region of
// kSharedTransformArea samples or more shared between the threads of `pool`;
// a smaller region, or no pool, on the calling thread. The same values.
void forward_transform_shared(ThreadPool* pool, const CodingState& state, int32_t* origin, int w, int h);
// The inverse of every depth of the decomposition of the w x h region at
// origin, deepest first: what the decoder does once a plane's values are in.
void invert_plane(const CodingState& state, int32_t* origin, int w, int h);

}  // namespace kv
