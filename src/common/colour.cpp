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

// Far above the handful of rounds a real covariance needs; only a matrix
// holding non-finite values can keep the iteration from converging.
constexpr int kMaxRounds = 10000;

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

void measure_covariance(int channels, int64_t pixels, const int32_t* samples, double* matrix) {
  const int n = channels;
  if (n <= 0 || pixels <= 0) return;
  std::vector<double> mean(static_cast<size_t>(n), 0.0);
  for (int j = 0; j < n; ++j)
    for (int k = j; k < n; ++k) matrix[j * n + k] = 0.0;
  for (int64_t p = 0; p < pixels; ++p) {
    const int32_t* x = samples + p * n;
    for (int j = 0; j < n; ++j) {
      for (int k = j; k < n; ++k) matrix[j * n + k] += static_cast<double>(int64_t{x[j]} * x[k]);
      mean[j] += x[j];
    }
  }
  const double inverse = 1.0 / static_cast<double>(pixels);
  for (int j = 0; j < n; ++j) mean[j] *= inverse;
  for (int j = 0; j < n; ++j) {
    for (int k = j; k < n; ++k) {
      double c = inverse * matrix[j * n + k] - mean[k] * mean[j];
      matrix[j * n + k] = c;
      matrix[k * n + j] = c;
    }
  }
}

void find_eigenvectors(int channels, double* eigenvalues, double* matrix) {
  const int n = channels;
  if (n <= 0) return;
  auto A = [&](int i, int k) -> double& { return matrix[i * n + k]; };
  double* d = eigenvalues;
  std::vector<double> e(static_cast<size_t>(n), 0.0);

  // Householder reduction to tridiagonal form.
  for (int m = 0; m + 1 < n; ++m) {
    double l = 0.0;
    for (int k = m + 2; k < n; ++k) l += A(m, k) * A(m, k);
    if (l == 0.0) {
      e[m] = A(m, m + 1);
      A(m, m + 1) = 0.0;
    } else {
      double u = std::sqrt(l + A(m, m + 1) * A(m, m + 1));
      e[m] = u;
      A(m, m + 1) = A(m, m + 1) - u;
      l = l + A(m, m + 1) * A(m, m + 1);
    }
    d[m] = A(m, m);
    if (l == 0.0) {
      A(m, m) = 0.0;
      continue;
    }
    A(m, m) = -2.0 / l;
    const double factor = A(m, m);
    for (int i = m + 1; i < n; ++i) {
      double sum = 0.0;
      for (int k = m + 1; k < n; ++k) sum += A(m, k) * A(k, i);
      double s = factor * sum;
      for (int k = m + 1; k < n; ++k) A(k, i) += s * A(m, k);
    }
    for (int i = m + 1; i < n; ++i) {
      double sum = 0.0;
      for (int k = m + 1; k < n; ++k) sum += A(m, k) * A(i, k);
      double s = factor * sum;
      for (int k = m + 1; k < n; ++k) A(i, k) += s * A(m, k);
    }
  }
  d[n - 1] = A(n - 1, n - 1);
  A(n - 1, n - 1) = 0.0;

  // The orthogonal matrix, the product of the reflections.
  for (int m = n - 1; m >= 0; --m) {
    const double factor = A(m, m);
    if (factor != 0.0) {
      for (int i = m + 1; i < n; ++i) {
        double sum = 0.0;
        for (int k = m + 1; k < n; ++k) sum += A(m, k) * A(k, i);
        double s = factor * sum;
        for (int k = m + 1; k < n; ++k) A(k, i) += s * A(m, k);
      }
    }
    A(m, m) = 1.0;
    for (int k = m + 1; k < n; ++k) {
      A(m, k) = 0.0;
      A(k, m) = 0.0;
    }
  }

  // Implicit symmetric QR with the Wilkinson shift, rotations accumulated
  // into the columns.
  const double epsilon = std::ldexp(1.0, -52);
  int b = n - 1;
  for (int round = 0;; ++round) {
    for (int j = 0; j + 1 < n; ++j)
      if (epsilon * (std::fabs(d[j]) + std::fabs(d[j + 1])) > std::fabs(e[j])) e[j] = 0.0;
    while (b > 0 && e[b - 1] == 0.0) --b;
    if (b == 0) break;
    if (round >= kMaxRounds) fail(ErrorCode::kEncodeFailed, "find_eigenvectors: no convergence");
    int t = b - 1;
    while (t > 0 && e[t - 1] != 0.0) --t;

    double w = (d[b - 1] - d[b]) * 0.5;
    double g = e[b - 1];
    double f = w >= 0 ? w + std::hypot(w, g) : w - std::hypot(w, g);
    double a = (d[t] - d[b]) + g * g / f;
    double z = e[t];
    double p = d[t];
    double q = e[t];
    for (int k = t; k < b; ++k) {
      double c, s;
      if (z != 0.0) {
        double r = std::hypot(a, z);
        c = a / r;
        s = -z / r;
      } else {
        c = 1.0;
        s = 0.0;
      }
      for (int row = 0; row < n; ++row) {
        double left = A(row, k), right = A(row, k + 1);
        A(row, k) = c * left - s * right;
        A(row, k + 1) = s * left + c * right;
      }
      if (k > t) e[k - 1] = c * a - s * z;
      d[k] = c * (c * p - s * q) - s * (c * q - s * d[k + 1]);
      double p1 = c * q + s * p;
      double q1 = s * q + c * d[k + 1];
      p = s * p1 + c * q1;
      if (k + 1 < b) {
        z = -s * e[k + 1];
        q = c * e[k + 1];
      }
      a = c * p1 - s * q1;
    }
    e[b - 1] = a;
    d[b] = p;
  }
}

void code_colour_matrix(CodecState& state, std::vector<double>& matrix, bool encode) {
  const int n = state.channels;
  if (n <= 0) return;
  matrix.assign(static_cast<size_t>(n) * static_cast<size_t>(n), 0.0);
  if (!encode) {
    for (double& entry : matrix) entry = std::bit_cast<float>(read_float(state.decoder));
    return;
  }
  if (state.console) std::fputs("Color transform:\n", state.console);
  std::vector<double> eigenvalues(static_cast<size_t>(n));
  measure_covariance(n, int64_t{state.width} * state.height, state.image.data(), matrix.data());
  find_eigenvectors(n, eigenvalues.data(), matrix.data());
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < n; ++k) {
      double& entry = matrix[i * n + k];
      if (state.console) std::fprintf(state.console, "%6.3f ", entry);
      // The stream carries the single-precision value, and the decoder
      // transforms with it: so must the encoder, or the lossless mode is not.
      float single = static_cast<float>(entry);
      write_float(state.encoder, std::bit_cast<uint32_t>(single));
      entry = single;
    }
    if (state.console) std::fputc('\n', state.console);
  }
}

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

void apply_colour_transform(CodecState& state, std::vector<double> matrix, bool forward) {
  const int n = state.channels;
  const std::vector<int32_t> permutation = factorise_or_fail(n, matrix);
  const int64_t pixels = int64_t{state.width} * state.height;
  int32_t* samples = state.image.data();
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
void inverse_from_plane_rows_portable(CodecState& state, const std::vector<double>& matrix,
                                      const std::vector<int32_t>& permutation) {
  const int n = state.channels, w = state.width;
  std::vector<int32_t> row(static_cast<size_t>(n) * static_cast<size_t>(w));
  for (int y = 0; y < state.height; ++y) {
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
void inverse_from_plane_rows3(CodecState& state, const std::vector<double>& matrix,
                              const std::vector<int32_t>& permutation) {
  const auto kernel = dsp().inverse_colour3_planes;
  const int w = state.width;
  std::vector<int32_t> row(static_cast<size_t>(3) * static_cast<size_t>(w));
  int32_t* out = row.data();
  for (int y = 0; y < state.height; ++y) {
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

void inverse_colour_from_plane_rows(CodecState& state, std::vector<double> matrix) {
  const std::vector<int32_t> permutation = factorise_or_fail(state.channels, matrix);
  if (state.channels == 3 && dsp().inverse_colour3_planes) return inverse_from_plane_rows3(state, matrix, permutation);
  inverse_from_plane_rows_portable(state, matrix, permutation);
}

}  // namespace kv
