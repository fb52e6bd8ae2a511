// Principal-component colour transform: the eigenvectors of the channels'
// covariance form an orthogonal matrix, factorised into a row permutation and
// single-row lifting steps so that the mapping is integer-exact and invertible.
#pragma once

#include <cstdint>
#include <vector>

#include "common/codec_state.h"

namespace kv {

// Population covariance of `pixels` pixels of `channels` adjacent samples,
// row-major into matrix (channels x channels).
void measure_covariance(int channels, int64_t pixels, const int32_t* samples, double* matrix);
// Replaces the symmetric matrix by its unit eigenvectors (columns) by a
// Householder reduction and implicit QR steps; fills `eigenvalues`.
void find_eigenvectors(int channels, double* eigenvalues, double* matrix);
// Encoding: measures, writes (as float32 bit patterns) and prints the matrix.
// Decoding: reads it. The matrix handed back is the one the stream carries.
void code_colour_matrix(CodecState& state, std::vector<double>& matrix, bool encode);
// In place into lifting coefficients; false when a pivot is zero.
bool factor_colour_matrix(int channels, double* matrix, int32_t* permutation);
// Forward or inverse transform of one pixel. Fails (status 1) rather than
// convert a value that is not finite or leaves 32 bits.
void transform_pixel(int channels, const double* factors, const int32_t* permutation, int32_t* x, bool forward);

// Factorises the matrix (failing with a message when it cannot be) and
// transforms every pixel of the image.
void apply_colour_transform(CodecState& state, std::vector<double> matrix, bool forward);
// The decoder's inverse, on an image whose every row holds the rows of
// planes 0, 1, ... one after another: each row ends with its pixels
// interleaved, transformed as apply_colour_transform would (the same values
// and, pixel by pixel in raster order, the same failures).
void inverse_colour_from_plane_rows(CodecState& state, std::vector<double> matrix);

}  // namespace kv
