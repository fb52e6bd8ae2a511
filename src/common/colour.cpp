#include "common/colour.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <utility>

#include "dsp/colour_kernels.h"
#include "dsp/dsp.h"
#include "util/error.h"

namespace kv {

namespace {

inline double round_half_up(double s) { return std::floor(s + 0.5); }

// x - round(s), refusing what cannot stand in 32 bits.
int32_t lift(int64_t x, double s, int sign) {
  double r = round_half_up(s);
  if (!(r > -4294967296.0 && r < 4294967296.0)) fail(ErrorCode::kCorruptStream, "transform_pixel: value out of range");
  int64_t y = x + sign * static_cast<int64_t>(r);
  if (y < INT32_MIN || y > INT32_MAX) fail(ErrorCode::kCorruptStream, "transform_pixel: value out of range");
  return static_cast<int32_t>(y);
}

int32_t scale(int64_t x, double factor) {
  double y = static_cast<double>(x) * factor;
  if (!(y > -2147483649.0 && y < 2147483648.0)) fail(ErrorCode::kCorruptStream, "transform_pixel: value out of range");
  return static_cast<int32_t>(y);
}

}  // namespace

bool factor_colour_matrix(int channels, double* matrix, int32_t* permutation) {
  const int n = channels;
  auto M = [&](int r, int c) -> double& { return matrix[r * n + c]; };
  for (int i = 0; i + 1 < n; ++i) {
    int best = i;
    for (int r = i + 1; r < n; ++r)
      if (std::fabs(M(r, n - 1)) > std::fabs(M(best, n - 1))) best = r;
    if (std::fabs(M(best, n - 1)) == 0.0) return false;
    if (best != i)
      for (int c = 0; c < n; ++c) std::swap(M(i, c), M(best, c));
    permutation[i] = best;
    M(i, i) = (M(i, i) - 1) / M(i, n - 1);
    for (int k = 0; k < n; ++k)
      if (k != i) M(k, i) = M(k, i) - M(k, n - 1) * M(i, i);
    for (int r = i + 1; r < n; ++r)
      for (int c = i + 1; c < n; ++c) M(r, c) = M(r, c) - M(i, c) * M(r, i);
  }
  if (M(n - 1, n - 1) >= 0 || std::isnan(M(n - 1, n - 1))) {
    M(n - 1, n - 1) = 1.0;
  } else {
    M(n - 1, n - 1) = -1.0;
    for (int c = 0; c + 1 < n; ++c) {
      M(c, c) = -M(c, c);
      M(c, n - 1) = -M(c, n - 1);
    }
  }
  for (int i = 1; i + 1 < n; ++i)
    for (int j = 0; j < i; ++j)
      for (int r = i + 1; r < n; ++r) M(r, j) = M(r, j) - M(r, i) * M(i, j);
  return true;
}

namespace {

// One body for every channel count; a fixed count lets the loops unroll.
template <int Fixed>
void transform_pixel_impl(int channels, const double* factors, const int32_t* permutation, int32_t* x,
                          bool forward) {
  const int n = Fixed > 0 ? Fixed : channels;
  auto M = [&](int r, int c) { return factors[r * n + c]; };
  auto off_diagonal_sum = [&](int k) {
    double s = 0.0;
    for (int l = 0; l < n; ++l)
      if (l != k) s += M(k, l) * x[l];
    return s;
  };
  auto diagonal_sum = [&] {
    double s = 0.0;
    for (int l = 0; l + 1 < n; ++l) s += M(l, l) * x[l];
    return s;
  };
  if (forward) {
    for (int i = 0; i + 1 < n; ++i) std::swap(x[i], x[permutation[i]]);
    for (int k = n - 1; k >= 0; --k) x[k] = lift(x[k], off_diagonal_sum(k), -1);
    x[n - 1] = scale(lift(x[n - 1], diagonal_sum(), -1), M(n - 1, n - 1));
  } else {
    x[n - 1] = scale(x[n - 1], M(n - 1, n - 1));
    x[n - 1] = lift(x[n - 1], diagonal_sum(), +1);
    for (int k = 0; k < n; ++k) x[k] = lift(x[k], off_diagonal_sum(k), +1);
    for (int i = n - 2; i >= 0; --i) std::swap(x[i], x[permutation[i]]);
  }
}

}  // namespace

void transform_pixel(int channels, const double* factors, const int32_t* permutation, int32_t* x, bool forward) {
  if (channels == 3)
    transform_pixel_impl<3>(channels, factors, permutation, x, forward);
  else
    transform_pixel_impl<0>(channels, factors, permutation, x, forward);
}

namespace {

// The matrix factorised in place, with its permutation; fails with the
// message when it cannot be or its factors are not finite.
std::vector<int32_t> factorise_or_fail(int n, std::vector<double>& matrix) {
  std::vector<int32_t> permutation(static_cast<size_t>(n), 0);
  for (double entry : matrix)
    if (!std::isfinite(entry)) fail(ErrorCode::kCorruptStream, "factor_colour_matrix: invalid matrix");
  if (!factor_colour_matrix(n, matrix.data(), permutation.data()))
    fail(ErrorCode::kCorruptStream, "factor_colour_matrix: invalid matrix");
  for (double entry : matrix)
    if (!std::isfinite(entry)) fail(ErrorCode::kCorruptStream, "factor_colour_matrix: invalid matrix");
  return permutation;
}

// Row y's samples, held as the rows of planes 0 .. n-1 one after another,
// interleaved pixel by pixel in their place (through `row`, n * w long).
void interleave_row(int32_t* samples, int n, int w, int32_t* row) {
  for (int c = 0; c < n; ++c)
    for (int x = 0; x < w; ++x) row[static_cast<ptrdiff_t>(x) * n + c] = samples[static_cast<ptrdiff_t>(c) * w + x];
  std::copy(row, row + static_cast<ptrdiff_t>(n) * w, samples);
}

}  // namespace

namespace {

// The inverse of `pixels` interleaved three-channel pixels in place. A pixel
// the unchecked inverse cannot take goes the checked way, which fails with
// its message.
void inverse_pixels3(const double* factors, const int32_t* permutation, int32_t* samples, int64_t pixels) {
  const auto kernel = dsp().inverse_colour3;
  for (int64_t p = 0; (p = kernel(factors, permutation, samples, p, pixels)) < pixels; ++p)
    transform_pixel_impl<3>(3, factors, permutation, samples + p * 3, false);
}

}  // namespace

void apply_colour_transform(CodingState& state, std::vector<double> matrix, bool forward) {
  apply_colour_transform(state, std::move(matrix), forward, 0, int64_t{state.width} * state.height);
}

void apply_colour_transform(CodingState& state, std::vector<double> matrix, bool forward, int64_t first,
                            int64_t end) {
  const int n = state.channels;
  const std::vector<int32_t> permutation = factorise_or_fail(n, matrix);
  const int64_t pixels = end - first;
  int32_t* samples = state.image.data() + first * n;
  if (n == 3 && !forward) {
    inverse_pixels3(matrix.data(), permutation.data(), samples, pixels);
  } else if (n == 3) {
    // Each pixel the branch-free way, or the checked way where that would
    // fail, with its message.
    for (int64_t p = 0; p < pixels; ++p)
      if (!forward_pixel3(matrix.data(), permutation.data(), samples + p * n))
        transform_pixel_impl<3>(n, matrix.data(), permutation.data(), samples + p * n, forward);
  } else {
    for (int64_t p = 0; p < pixels; ++p) transform_pixel(n, matrix.data(), permutation.data(), samples + p * n, forward);
  }
}

namespace {

// The rows one at a time: interleaved, then transformed in place.
void inverse_from_plane_rows_portable(CodingState& state, const std::vector<double>& matrix,
                                      const std::vector<int32_t>& permutation, int y0, int y1) {
  const int n = state.channels, w = state.width;
  std::vector<int32_t> row(static_cast<size_t>(n) * static_cast<size_t>(w));
  for (int y = y0; y < y1; ++y) {
    int32_t* samples = state.image.data() + static_cast<ptrdiff_t>(y) * n * w;
    interleave_row(samples, n, w, row.data());
    if (n == 3) {
      inverse_pixels3(matrix.data(), permutation.data(), samples, w);
      continue;
    }
    for (int x = 0; x < w; ++x)
      transform_pixel(n, matrix.data(), permutation.data(), samples + static_cast<ptrdiff_t>(x) * n, false);
  }
}

// Three channels, where a kernel takes them straight from the plane rows into
// the interleaved row; a pixel it refuses goes the checked way, pixel by
// pixel in order, as the rest of the row.
void inverse_from_plane_rows3(CodingState& state, const std::vector<double>& matrix,
                              const std::vector<int32_t>& permutation, int y0, int y1) {
  const auto kernel = dsp().inverse_colour3_planes;
  const int w = state.width;
  std::vector<int32_t> row(static_cast<size_t>(3) * static_cast<size_t>(w));
  int32_t* out = row.data();
  for (int y = y0; y < y1; ++y) {
    int32_t* samples = state.image.data() + static_cast<ptrdiff_t>(y) * 3 * w;
    const int32_t *p0 = samples, *p1 = samples + w, *p2 = samples + 2 * w;
    for (int x = 0; (x = kernel(matrix.data(), permutation.data(), p0, p1, p2, x, w, out)) < w; ++x) {
      int32_t* pixel = out + 3 * x;
      pixel[0] = p0[x];
      pixel[1] = p1[x];
      pixel[2] = p2[x];
      transform_pixel_impl<3>(3, matrix.data(), permutation.data(), pixel, false);
    }
    std::copy(row.begin(), row.end(), samples);
  }
}

}  // namespace

void inverse_colour_from_plane_rows(CodingState& state, std::vector<double> matrix) {
  inverse_colour_from_plane_rows(state, std::move(matrix), 0, state.height);
}

void inverse_colour_from_plane_rows(CodingState& state, std::vector<double> matrix, int y0, int y1) {
  const std::vector<int32_t> permutation = factorise_or_fail(state.channels, matrix);
  if (state.channels == 3 && dsp().inverse_colour3_planes)
    return inverse_from_plane_rows3(state, matrix, permutation, y0, y1);
  inverse_from_plane_rows_portable(state, matrix, permutation, y0, y1);
}

}  // namespace kv
