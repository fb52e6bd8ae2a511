// The colour transform both directions apply: an orthogonal matrix (the
// encoder's choice, carried by the stream) factorised into a row permutation
// and single-row lifting steps, so that the mapping is integer-exact and
// invertible. The encoder's analysis is enc/enc_colour.h.
#pragma once

#include <cstdint>
#include <vector>

#include "common/coding_state.h"

namespace kv {

// In place into lifting coefficients; false when a pivot is zero.
bool factor_colour_matrix(int channels, double* matrix, int32_t* permutation);
// Forward or inverse transform of one pixel. Fails (status 1) rather than
// convert a value that is not finite or leaves 32 bits.
void transform_pixel(int channels, const double* factors, const int32_t* permutation, int32_t* x, bool forward);

// Factorises the matrix (failing with a message when it cannot be) and
// transforms every pixel of the image.
void apply_colour_transform(CodingState& state, std::vector<double> matrix, bool forward);
// The same over pixels [first, end) only (pixels are independent: threads
// may share an image's).
void apply_colour_transform(CodingState& state, std::vector<double> matrix, bool forward, int64_t first,
                            int64_t end);
// The decoder's inverse, on an image whose every row holds the rows of
// planes 0, 1, ... one after another: each row ends with its pixels
// interleaved, transformed as apply_colour_transform would (the same values
// and, pixel by pixel in raster order, the same failures).
void inverse_colour_from_plane_rows(CodingState& state, std::vector<double> matrix);
// The same over rows [y0, y1) only.
void inverse_colour_from_plane_rows(CodingState& state, std::vector<double> matrix, int y0, int y1);

}  // namespace kv
