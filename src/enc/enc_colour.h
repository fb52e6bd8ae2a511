// The encoder's choice of colour matrix: the eigenvectors of the channels'
// covariance (principal components), which decorrelate the channels. The
// rate-distortion mode, free to send any orthogonal matrix, takes those of the
// covariance of the image's detail instead, the most detailed first, signed
// for the least noise in the decoder's integer transform.
#pragma once

#include <cstdint>
#include <vector>

#include "enc/enc_state.h"

namespace kv {

// Population covariance of `pixels` pixels of `channels` adjacent samples,
// row-major into matrix (channels x channels).
void measure_covariance(int channels, int64_t pixels, const int32_t* samples, double* matrix);
// Replaces the symmetric matrix by its unit eigenvectors (columns) by a
// Householder reduction and implicit QR steps; fills `eigenvalues`.
void find_eigenvectors(int channels, double* eigenvalues, double* matrix);
// Second moments (channels x channels, row-major) of the differences between
// horizontally and vertically adjacent pixels of a width x height image of
// interleaved samples: how the channels vary together in the image's detail,
// where a coded plane's bits go. All zeros for an image of one pixel.
void measure_detail_covariance(int channels, int width, int height, const int32_t* samples, double* matrix);
// The variance that the roundings of the inverse colour transform add to a
// decoded pixel (summed over its channels) when the planes it reads carry
// coding error, for the orthogonal `matrix` as the stream carries it (float32
// entries): each rounding adds 1/6 (the error's rounding against the exact
// value's) and every later lifting step scales what came before. Infinite
// when the matrix does not factorise.
double rounding_noise(int channels, const double* matrix);
// Reorders the columns of an orthogonal matrix by decreasing eigenvalue (the
// largest first; ties keep their order) and negates those whose signs give
// the least rounding_noise (the first such in binary order of the signs).
// Either keeps the matrix's axes. For 2 to 8 channels; others are left alone.
void arrange_columns(int channels, const double* eigenvalues, double* matrix);
// Measures, writes (as float32 bit patterns) and prints the matrix of
// state.image; the matrix handed back is the one the stream carries.
void write_colour_matrix(EncoderState& state, std::vector<double>& matrix);

}  // namespace kv
