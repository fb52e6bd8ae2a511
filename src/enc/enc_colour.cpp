#include "enc/enc_colour.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <utility>

#include "common/colour.h"
#include "util/error.h"

namespace kv {

namespace {

// Far above the handful of rounds a real covariance needs; only a matrix
// holding non-finite values can keep the iteration from converging.
constexpr int kMaxRounds = 10000;

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

void measure_detail_covariance(int channels, int width, int height, const int32_t* samples, double* matrix) {
  const int n = channels;
  if (n <= 0) return;
  std::fill(matrix, matrix + static_cast<ptrdiff_t>(n) * n, 0.0);
  const ptrdiff_t row = static_cast<ptrdiff_t>(width) * n;
  // Row by row, one entry at a time, in four interleaved partial sums (the
  // additions overlap); with samples of 0..255 every sum is an exact integer.
  auto moments = [n](const int32_t* a, const int32_t* b, int count, int j, int k) {
    auto product = [&](int x) {
      const ptrdiff_t p = static_cast<ptrdiff_t>(x) * n;
      return (static_cast<double>(a[p + j]) - b[p + j]) * (static_cast<double>(a[p + k]) - b[p + k]);
    };
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    int x = 0;
    for (; x + 4 <= count; x += 4) {
      s0 += product(x);
      s1 += product(x + 1);
      s2 += product(x + 2);
      s3 += product(x + 3);
    }
    for (; x < count; ++x) s0 += product(x);
    return (s0 + s1) + (s2 + s3);
  };
  for (int y = 0; y < height; ++y) {
    const int32_t* line = samples + y * row;
    for (int j = 0; j < n; ++j) {
      for (int k = j; k < n; ++k) {
        double sum = moments(line + n, line, width - 1, j, k);  // each pixel and the one on its left
        if (y > 0) sum += moments(line, line - row, width, j, k);  // and the one above
        matrix[j * n + k] += sum;
      }
    }
  }
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < j; ++k) matrix[j * n + k] = matrix[k * n + j];
}

double rounding_noise(int channels, const double* matrix) {
  const int n = channels;
  const size_t entries = static_cast<size_t>(n) * n;
  std::vector<double> factors(entries);
  for (size_t i = 0; i < entries; ++i) factors[i] = static_cast<float>(matrix[i]);
  std::vector<int32_t> permutation(static_cast<size_t>(n));
  if (!factor_colour_matrix(n, factors.data(), permutation.data())) return std::numeric_limits<double>::infinity();
  // The covariance of the error the roundings leave in x, through the
  // inverse's steps (the permutation at its end moves it, adding nothing).
  std::vector<double> error(entries, 0.0), product(static_cast<size_t>(n)), step(static_cast<size_t>(n));
  auto lifting_step = [&](int k) {  // x[k] <- sum over l of step[l] x[l], then rounded
    for (int j = 0; j < n; ++j) {
      double sum = 0;
      for (int l = 0; l < n; ++l) sum += step[l] * error[l * n + j];
      product[j] = sum;
    }
    // round(a + e) - round(a) - e: two independent roundings, 1/12 each.
    double variance = 1.0 / 6;
    for (int l = 0; l < n; ++l) variance += product[l] * step[l];
    for (int j = 0; j < n; ++j) error[k * n + j] = error[j * n + k] = product[j];
    error[k * n + k] = variance;
  };
  for (int l = 0; l < n; ++l) step[l] = l < n - 1 ? factors[l * n + l] : factors[entries - 1];
  lifting_step(n - 1);
  for (int k = 0; k < n; ++k) {
    for (int l = 0; l < n; ++l) step[l] = l == k ? 1.0 : factors[k * n + l];
    lifting_step(k);
  }
  double total = 0;
  for (int k = 0; k < n; ++k) total += error[k * n + k];
  return total;
}

void arrange_columns(int channels, const double* eigenvalues, double* matrix) {
  const int n = channels;
  if (n < 2 || n > 8) return;
  const size_t entries = static_cast<size_t>(n) * n;
  std::vector<int> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return eigenvalues[a] > eigenvalues[b]; });
  const std::vector<double> given(matrix, matrix + entries);
  std::vector<double> trial(entries);
  double least = std::numeric_limits<double>::infinity();
  for (int signs = 0; signs < (1 << n); ++signs) {
    for (int k = 0; k < n; ++k)
      for (int i = 0; i < n; ++i) trial[i * n + k] = ((signs >> k) & 1 ? -1.0 : 1.0) * given[i * n + order[k]];
    const double noise = rounding_noise(n, trial.data());
    if (noise < least) {
      least = noise;
      std::copy(trial.begin(), trial.end(), matrix);
    }
  }
}

namespace {

// Whether the lifting factorisation of `matrix` exists with factors of at
// most kMaxLiftingFactor. The eigenvectors of many channels (a few dozen and
// more) can factor into steps that multiply by millions: their roundings
// would swamp the coding and their values leave 32 bits. Three or four
// channels stay far below the bound; the identity's factors are at most 1.
bool lifts_safely(int n, std::vector<double> matrix) {
  constexpr double kMaxLiftingFactor = 64.0;
  std::vector<int32_t> permutation(static_cast<size_t>(n));
  if (!factor_colour_matrix(n, matrix.data(), permutation.data())) return false;
  for (double factor : matrix)
    if (!(std::fabs(factor) <= kMaxLiftingFactor)) return false;
  return true;
}

}  // namespace

void write_colour_matrix(EncoderState& state, std::vector<double>& matrix) {
  const int n = state.channels;
  if (n <= 0) return;
  matrix.assign(static_cast<size_t>(n) * static_cast<size_t>(n), 0.0);
  if (state.console) std::fputs("Color transform:\n", state.console);
  std::vector<double> eigenvalues(static_cast<size_t>(n));
  // The rate-distortion mode: the bits of the coded planes go to detail,
  // whose colour axes often differ from those of the image's large areas,
  // which rule the plain covariance. The plane of most detail goes first,
  // where it trains the models the others share; the signs leave the axes
  // alone but change the lifting factors, whose roundings the decoder adds
  // to the coding error.
  if (state.rdo) {
    measure_detail_covariance(n, state.width, state.height, state.image.data(), matrix.data());
  } else {
    measure_covariance(n, int64_t{state.width} * state.height, state.image.data(), matrix.data());
  }
  find_eigenvectors(n, eigenvalues.data(), matrix.data());
  if (state.rdo) arrange_columns(n, eigenvalues.data(), matrix.data());
  // The stream carries single-precision values, and the decoder transforms
  // with them: so must the encoder, or the lossless mode is not.
  std::vector<double> single(matrix.size());
  std::transform(matrix.begin(), matrix.end(), single.begin(), [](double v) { return static_cast<float>(v); });
  if (!lifts_safely(n, single)) {
    std::fill(matrix.begin(), matrix.end(), 0.0);
    for (int i = 0; i < n; ++i) matrix[static_cast<size_t>(i * n + i)] = 1.0;
    single = matrix;
  }
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < n; ++k) {
      const size_t at = static_cast<size_t>(i * n + k);
      if (state.console) std::fprintf(state.console, "%6.3f ", matrix[at]);
      write_float(state.encoder, std::bit_cast<uint32_t>(static_cast<float>(single[at])));
    }
    if (state.console) std::fputc('\n', state.console);
  }
  matrix = std::move(single);
}

}  // namespace kv
