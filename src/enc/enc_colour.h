// The encoder's choice of colour matrix: the eigenvectors of the channels'
// covariance (principal components), which decorrelate the channels.
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
// Measures, writes (as float32 bit patterns) and prints the matrix of
// state.image; the matrix handed back is the one the stream carries.
void write_colour_matrix(EncoderState& state, std::vector<double>& matrix);

}  // namespace kv
