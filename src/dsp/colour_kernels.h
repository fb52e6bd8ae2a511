// The three-channel colour transform's per-pixel lifting, without branches
// and without failing: the scalar definitions that the vector versions
// (dsp/x86/colour_*.cpp, through dsp/dsp.h) must equal. The checked
// transform (common/colour.h: transform_pixel) is the one that fails; these
// refuse exactly where it would, leaving the pixel to it.
#pragma once

#include <cstdint>

namespace kv {

// transform_pixel for three channels, forward or inverse, with the same
// operations in the same order on `factors` (the factorised matrix, 9
// entries) and `permutation`; false, with x untouched, where that would fail.
bool forward_pixel3(const double* factors, const int32_t* permutation, int32_t* x);
bool inverse_pixel3(const double* factors, const int32_t* permutation, int32_t* x);

}  // namespace kv
