// Every lifting filter and boundary extension a stream may name, in their
// general form: each filter a table of lifting steps, each step a term read
// through an extension. The codec itself only uses the block filter (type 4)
// and the plane filter (type 7) with symmetric extension, which dsp/lifting.h
// runs directly; the rest are here because the format defines them.
#pragma once

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

// One level of `filter` on the halves of a line: e holds its nl even
// samples, d its nh odd ones (nl = nh or nh + 1), each with four writable
// guard slots on either side. Forward
// turns them into low and high coefficients; inverse undoes it. A type
// above 8 leaves them as they are.
void lift_halves(int32_t* e, int32_t* d, int nl, int nh, uint32_t filter, ExtendFunction extend, bool forward);

}  // namespace kv
