// One-dimensional integer lifting transform of a strided int32 line, in place
// and exactly invertible. After a forward transform the (n+1)/2 low-pass
// coefficients stand in front, the n/2 high-pass ones behind them.
#pragma once

#include <cstdint>

#include "common/lifting_filters.h"
#include "dsp/lifting.h"

namespace kv {

// Any filter type and extension (common/lifting_filters.h); the block and
// plane filters with symmetric extension run their definitions in dsp/lifting.h.
void lift_line(int32_t* start, int n, int stride, uint32_t filter, ExtendFunction extend, bool forward);

}  // namespace kv
