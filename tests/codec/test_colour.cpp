// The colour transform: covariance, eigenvectors, the lifting factorisation
// and its exact inversion, the matrix in the stream, and the refusals of
// matrices or pixels that cannot be transformed.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../entropy/test_support.h"
#include "common/colour.h"
#include "dec/decode.h"
#include "enc/enc_colour.h"
#include "io/pnm.h"

namespace kv {
namespace {

using Matrix = std::vector<double>;  // row-major, n x n
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Image load(const char* name) {
  Image image;
  EXPECT_TRUE(read_pnm((std::string(KV_TEST_DATA) + "/images/" + name).c_str(), image)) << name;
  return image;
}

// y[k] = sum_i M[i][k] x[i]: the pixel projected onto the columns.
std::vector<double> project(int n, const Matrix& m, const std::vector<int32_t>& x) {
  std::vector<double> y(static_cast<size_t>(n), 0.0);
  for (int k = 0; k < n; ++k)
    for (int i = 0; i < n; ++i) y[k] += m[i * n + k] * x[i];
  return y;
}

struct Factored {
  int n;
  Matrix factors;
  std::vector<int32_t> permutation;
  Factored(int n_, Matrix m) : n(n_), factors(std::move(m)), permutation(static_cast<size_t>(n_), -1) {
    EXPECT_TRUE(factor_colour_matrix(n, factors.data(), permutation.data()));
  }
  std::vector<int32_t> apply(std::vector<int32_t> x, bool forward) const {
    transform_pixel(n, factors.data(), permutation.data(), x.data(), forward);
    return x;
  }
};

// The eigenvectors of a random symmetric matrix: orthogonal, with either sign
// of determinant (checked below, in the eigenvector tests).
Matrix random_orthogonal(int n, std::mt19937& random) {
  std::uniform_real_distribution<double> entry(-100.0, 100.0);
  Matrix m(static_cast<size_t>(n * n));
  for (int i = 0; i < n; ++i)
    for (int k = 0; k <= i; ++k) m[i * n + k] = m[k * n + i] = entry(random);
  std::vector<double> eigenvalues(static_cast<size_t>(n));
  find_eigenvectors(n, eigenvalues.data(), m.data());
  return m;
}

// Every signed permutation of size 3 (the identity and single negated
// columns among them) factorises and moves samples exactly.
TEST(ColourTransform, SignedPermutationsAreExact) {
  const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  std::mt19937 random(1);
  std::uniform_int_distribution<int32_t> sample(-300, 300);
  for (const auto& p : perms)
    for (int signs = 0; signs < 8; ++signs) {
      Matrix m(9, 0.0);
      for (int i = 0; i < 3; ++i) m[i * 3 + p[i]] = (signs >> i & 1) ? -1.0 : 1.0;
      Factored f(3, m);
      for (int t = 0; t < 20; ++t) {
        std::vector<int32_t> x = {sample(random), sample(random), sample(random)};
        std::vector<int32_t> y = f.apply(x, true);
        std::vector<double> expected = project(3, m, x);
        for (int k = 0; k < 3; ++k) ASSERT_EQ(y[k], expected[k]) << "signs " << signs << ", output " << k;
        ASSERT_EQ(f.apply(y, false), x);
      }
    }
}

// Any matrix with a usable last column gives an exactly invertible mapping;
// an orthogonal one maps close to the projection.
TEST(ColourTransform, InverseRestoresEveryPixel) {
  std::mt19937 random(2);
  std::uniform_real_distribution<double> entry(-1.0, 1.0);
  std::uniform_int_distribution<int32_t> byte(0, 255), wide(-5000, 5000);
  for (int n : {2, 3, 4})
    for (int trial = 0; trial < 30; ++trial) {
      const bool orthogonal = trial % 2 == 0;
      Matrix m;
      if (orthogonal) {
        m = random_orthogonal(n, random);
      } else {
        m.resize(static_cast<size_t>(n * n));
        for (double& v : m) v = entry(random);
        m[n - 1] = 0.5;  // the last column cannot vanish
      }
      Factored f(n, m);
      for (int t = 0; t < 200; ++t) {
        std::vector<int32_t> x(static_cast<size_t>(n));
        for (int32_t& v : x) v = t % 2 ? byte(random) : wide(random);
        std::vector<int32_t> y = f.apply(x, true);
        ASSERT_EQ(f.apply(y, false), x) << "n " << n << ", trial " << trial;
        if (orthogonal) {
          std::vector<double> expected = project(n, m, x);
          for (int k = 0; k < n; ++k) ASSERT_NEAR(y[k], expected[k], 2.0 * n) << "n " << n << ", output " << k;
        }
      }
    }
}

TEST(ColourTransform, FactorsOfSmallMatrices) {
  const struct {
    Matrix m, factors;
    int32_t pivot;
  } cases[] = {
      {{0.6, -0.8, 0.8, 0.6}, {0.5, -0.8, 0.5, 1.0}, 0},
      {{0.6, 0.8, 0.8, -0.6}, {0.5, -0.8, 0.5, -1.0}, 0},  // determinant -1: the signs move into the last step
      {{0.6, 0.8, -0.8, 0.6}, {-0.5, 0.8, -0.5, 1.0}, 0},
      {{0.8, 0.6, -0.6, 0.8}, {2.0, -0.8, 2.0, -1.0}, 1},  // rows exchanged for the larger pivot
      {{1.0, 1.0, 1.0, 0.75}, {0.0, -1.0, 1.0, -1.0}, 0},  // not orthogonal: a last factor of -0.25 becomes -1
  };
  for (const auto& c : cases) {
    Matrix m = c.m;
    int32_t permutation[1] = {-1};
    ASSERT_TRUE(factor_colour_matrix(2, m.data(), permutation));
    EXPECT_EQ(permutation[0], c.pivot);
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(m[i], c.factors[i], 1e-12) << i;
  }
}

// Hand-made factors: x1 -= round(c x0), x0 -= round(b x1), then
// x1 = (x1 - round(a x0)) * s, rounding halves upwards.
TEST(ColourTransform, PixelStepsAndRounding) {
  const Matrix factors = {0.25, 0.5, -0.75, -1.0};
  const struct {
    int32_t swap;
    std::vector<int32_t> in, out;
  } cases[] = {{0, {10, 3}, {5, -9}}, {1, {10, 3}, {-3, -13}}, {0, {0, -5}, {2, 6}}, {0, {0, 5}, {-3, -6}}};
  for (const auto& c : cases) {
    const int32_t permutation[1] = {c.swap};
    std::vector<int32_t> x = c.in;
    transform_pixel(2, factors.data(), permutation, x.data(), true);
    EXPECT_EQ(x, c.out);
    transform_pixel(2, factors.data(), permutation, x.data(), false);
    EXPECT_EQ(x, c.in);
  }
}

TEST(ColourTransform, FactorisationRefusesAZeroLastColumn) {
  Matrix two = {1, 0, 0, 0};
  std::vector<int32_t> permutation(3);
  EXPECT_FALSE(factor_colour_matrix(2, two.data(), permutation.data()));
  Matrix three = {0, 1, 0, 1, 0, 0, 0, 0, 0};
  EXPECT_FALSE(factor_colour_matrix(3, three.data(), permutation.data()));
}

void expect_pixel_failure(const Matrix& factors, std::vector<int32_t> x, bool forward) {
  const int32_t permutation[1] = {0};
  test::expect_failure([&] { transform_pixel(2, factors.data(), permutation, x.data(), forward); }, 1,
                       "transform_pixel: value out of range");
}

TEST(ColourTransform, PixelsThatLeave32BitsFail) {
  const int32_t big = std::numeric_limits<int32_t>::max(), small = std::numeric_limits<int32_t>::min();
  expect_pixel_failure({0, 1e30, 0, 1}, {1, 1}, true);
  expect_pixel_failure({0, 1e30, 0, 1}, {1, 1}, false);
  expect_pixel_failure({0, -1e30, 0, 1}, {0, -2}, true);
  expect_pixel_failure({0, kNaN, 0, 1}, {1, 1}, true);
  expect_pixel_failure({0, 1, 0, 1}, {big, 1}, false);       // big + 1
  expect_pixel_failure({0, 1, 0, 1}, {small, 1}, true);      // small - 1
  expect_pixel_failure({0, 0, 0, -1}, {0, small}, true);     // -small
  expect_pixel_failure({0, 0, 0, kNaN}, {0, 5}, false);
  // At the edge but inside, nothing fails.
  const Matrix factors = {0, 1, 0, 1};
  const int32_t permutation[1] = {0};
  std::vector<int32_t> x = {big - 1, 1};
  transform_pixel(2, factors.data(), permutation, x.data(), false);
  EXPECT_EQ(x, (std::vector<int32_t>{big, 1}));
}

TEST(ColourTransform, ApplyRefusesUnusableMatrices) {
  const std::vector<Matrix> refused = {
      {1, 0, 0, 0, 1, 0, 0, 0, kNaN}, {kInf, 0, 0, 0, 1, 0, 0, 0, 1}, {1, 0, 0, 0, 1, -kInf, 0, 0, 1},
      {1, 0, 0, 0, 1, 0, 0, 0, 0},    // zero last column
      {1e300, 0, 1e-300, 0, 1, 0, 0, 0, 1e-300},  // the factors overflow
  };
  for (const Matrix& m : refused) {
    CodingState state;
    state.width = 2;
    state.height = 1;
    state.channels = 3;
    state.image = {1, 2, 3, 4, 5, 6};
    test::expect_failure([&] { apply_colour_transform(state, m, true); }, 1, "factor_colour_matrix: invalid matrix");
    EXPECT_EQ(state.image, (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
  }
}

TEST(Covariance, PopulationCovarianceOfRawSamples) {
  const int32_t two[] = {1, 2, 3, 6, 5, 4};
  Matrix c(4, -1.0);
  measure_covariance(2, 3, two, c.data());
  const Matrix expected = {8.0 / 3, 4.0 / 3, 4.0 / 3, 8.0 / 3};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(c[i], expected[i], 1e-12) << i;
  // Products of samples far outside 8 bits do not wrap.
  const int32_t wide[] = {70000, 1, -70000, 3};
  measure_covariance(2, 2, wide, c.data());
  EXPECT_DOUBLE_EQ(c[0], 4.9e9);
  EXPECT_DOUBLE_EQ(c[1], -70000.0);
  EXPECT_DOUBLE_EQ(c[2], -70000.0);
  EXPECT_DOUBLE_EQ(c[3], 1.0);
  Matrix untouched(4, 7.0);
  measure_covariance(2, 0, two, untouched.data());
  measure_covariance(0, 3, two, untouched.data());
  EXPECT_EQ(untouched, Matrix(4, 7.0));
}

// Columns orthonormal to 1e-12 and diagonalising the matrix; the
// eigenvalues are the diagonal of Q^T C Q.
void expect_eigenvectors(int n, const Matrix& c, const char* what) {
  Matrix q = c;
  std::vector<double> eigenvalues(static_cast<size_t>(n));
  find_eigenvectors(n, eigenvalues.data(), q.data());
  double scale = 1.0;
  for (double v : c) scale = std::max(scale, std::fabs(v));
  for (int j = 0; j < n; ++j)
    for (int k = 0; k < n; ++k) {
      double dot = 0, rotated = 0;
      for (int i = 0; i < n; ++i) {
        dot += q[i * n + j] * q[i * n + k];
        for (int l = 0; l < n; ++l) rotated += q[i * n + j] * c[i * n + l] * q[l * n + k];
      }
      EXPECT_NEAR(dot, j == k ? 1.0 : 0.0, 1e-12) << what << ", columns " << j << ", " << k;
      EXPECT_NEAR(rotated, j == k ? eigenvalues[j] : 0.0, 1e-12 * scale) << what << ", entry " << j << ", " << k;
    }
}

TEST(Eigenvectors, SmallMatrices) {
  expect_eigenvectors(1, {5.0}, "1 x 1");
  expect_eigenvectors(2, {2, 1, 1, 2}, "2 x 2");
  expect_eigenvectors(3, {4, 0, 0, 0, 9, 0, 0, 0, 1}, "diagonal");
  expect_eigenvectors(3, Matrix(9, 0.0), "zero");
  expect_eigenvectors(3, Matrix(9, 812.5), "rank one");
  expect_eigenvectors(3, {2, 1, 0, 1, 2, 1, 0, 1, 2}, "tridiagonal");
  expect_eigenvectors(3, {1, 1e-20, 0, 1e-20, 1, 0, 0, 0, 1}, "nearly repeated");
  std::mt19937 random(4);
  std::uniform_real_distribution<double> entry(-100.0, 100.0);
  for (int n : {2, 3, 4, 5})
    for (int t = 0; t < 5; ++t) {
      Matrix m(static_cast<size_t>(n * n));
      for (int i = 0; i < n; ++i)
        for (int k = 0; k <= i; ++k) m[i * n + k] = m[k * n + i] = entry(random);
      expect_eigenvectors(n, m, "random symmetric");
    }
  Matrix two = {2, 1, 1, 2};
  std::vector<double> eigenvalues(2);
  find_eigenvectors(2, eigenvalues.data(), two.data());
  EXPECT_NEAR(std::min(eigenvalues[0], eigenvalues[1]), 1.0, 1e-12);
  EXPECT_NEAR(std::max(eigenvalues[0], eigenvalues[1]), 3.0, 1e-12);
  EXPECT_NEAR(std::fabs(two[0]), std::sqrt(0.5), 1e-12);
}

// Real photographs, an image of three equal channels (rank one) and a
// constant one: the eigenvector matrix inverts exactly over the whole image,
// and for the photographs it decorrelates the channels.
TEST(Eigenvectors, ImagesRoundTripAndDecorrelate) {
  Image astronaut = load("astronaut.ppm");
  Image equal = astronaut, constant = astronaut;
  for (size_t p = 0; p < equal.samples.size(); p += 3) equal.samples[p + 1] = equal.samples[p + 2] = equal.samples[p];
  for (int32_t& v : constant.samples) v = 77;
  const struct {
    const char* name;
    Image image;
    bool photograph;
  } images[] = {{"astronaut", astronaut, true},
                {"chelsea", load("chelsea.ppm"), true},
                {"equal channels", equal, false},
                {"constant", constant, false}};
  for (const auto& [name, image, photograph] : images) {
    ASSERT_EQ(image.channels, 3);
    const int64_t pixels = int64_t{image.width} * image.height;
    Matrix c(9);
    measure_covariance(3, pixels, image.samples.data(), c.data());
    expect_eigenvectors(3, c, name);
    Matrix q = c;
    std::vector<double> eigenvalues(3);
    find_eigenvectors(3, eigenvalues.data(), q.data());
    CodingState state;
    state.width = image.width;
    state.height = image.height;
    state.channels = 3;
    state.image = image.samples;
    apply_colour_transform(state, q, true);
    if (photograph) {  // channels correlated below 1% afterwards
      Matrix after(9);
      measure_covariance(3, pixels, state.image.data(), after.data());
      for (int j = 0; j < 3; ++j)
        for (int k = 0; k < j; ++k)
          EXPECT_LE(std::fabs(after[j * 3 + k]), 0.01 * std::sqrt(after[j * 4] * after[k * 4])) << name;
    }
    apply_colour_transform(state, q, false);
    EXPECT_EQ(state.image, image.samples) << name;
  }
}

// The whole-image transforms take their pixels without branches, the
// inverses several at a time: the forward one, the inverse on interleaved
// pixels and the decoder's, which reads each row as the rows of the three
// planes. Each must give what the checked transform_pixel gives pixel by
// pixel, and fail where that fails, from small samples up to the ones whose
// lifts leave 32 bits. Matrices from mild to extreme, scaled by the last entry.
TEST(ColourTransform, ImageTransformsEqualThePixelTransformOrFailAlike) {
  std::mt19937 random(17);
  const int32_t magnitudes[] = {300, 1 << 20, 1 << 28, 2147483647};
  int passed = 0, failed = 0, forward_passed = 0, forward_failed = 0;
  for (int trial = 0; trial < 240; ++trial) {
    Matrix m = random_orthogonal(3, random);
    if (trial % 3 == 1) m[8] *= 1e6;  // a step that carries samples beyond 32 bits
    if (trial % 3 == 2) m[4] *= 1e-7;  // large lifting factors
    std::vector<int32_t> permutation(3, 0);
    Matrix factors = m;
    if (!factor_colour_matrix(3, factors.data(), permutation.data())) continue;
    const int32_t magnitude = magnitudes[trial % 4];
    std::uniform_int_distribution<int32_t> sample(-magnitude, magnitude);
    CodingState state;
    state.width = 13;  // groups of eight, four and two pixels, and one left over
    state.height = 3;
    state.channels = 3;
    state.image.resize(117);
    for (int32_t& v : state.image) v = sample(random);
    std::vector<int32_t> expected = state.image;
    CodingState by_rows;  // the same pixels as the decoder holds them
    by_rows.width = state.width;
    by_rows.height = state.height;
    by_rows.channels = 3;
    by_rows.image.resize(state.image.size());
    for (int y = 0; y < state.height; ++y)
      for (int c = 0; c < 3; ++c)
        for (int x = 0; x < state.width; ++x)
          by_rows.image[static_cast<size_t>((3 * y + c) * state.width + x)] =
              state.image[static_cast<size_t>(3 * (y * state.width + x) + c)];
    // The checked transform, pixel by pixel; the message it failed with, or "".
    auto pixel_by_pixel = [&](std::vector<int32_t>& image, bool forward) {
      return test::failure_message([&] {
        for (size_t p = 0; p < image.size(); p += 3)
          transform_pixel(3, factors.data(), permutation.data(), image.data() + p, forward);
      });
    };
    std::vector<int32_t> forward_expected = state.image;
    const std::string forward_expected_failure = pixel_by_pixel(forward_expected, true);
    CodingState forward;
    forward.width = state.width;
    forward.height = state.height;
    forward.channels = 3;
    forward.image = state.image;
    const std::string forward_failure = test::failure_message([&] { apply_colour_transform(forward, m, true); });
    ASSERT_EQ(forward_failure, forward_expected_failure) << "trial " << trial;
    if (forward_expected_failure.empty()) {
      ASSERT_EQ(forward.image, forward_expected) << "trial " << trial;
      ++forward_passed;
    } else {
      ++forward_failed;
    }
    const std::string expected_failure = pixel_by_pixel(expected, false);
    const std::string failure_seen = test::failure_message([&] { apply_colour_transform(state, m, false); });
    ASSERT_EQ(failure_seen, expected_failure) << "trial " << trial;
    const std::string failure_by_rows = test::failure_message([&] { inverse_colour_from_plane_rows(by_rows, m); });
    ASSERT_EQ(failure_by_rows, expected_failure) << "trial " << trial;
    if (expected_failure.empty()) {
      ASSERT_EQ(state.image, expected) << "trial " << trial;
      ASSERT_EQ(by_rows.image, expected) << "trial " << trial;
      ++passed;
    } else {
      ++failed;
    }
  }
  EXPECT_GT(passed, 60);
  EXPECT_GT(failed, 20);
  EXPECT_GT(forward_passed, 60);
  EXPECT_GT(forward_failed, 20);
}

// rounding_noise predicts the error the inverse's roundings add to planes
// that carry coding error, beyond what the matrix itself maps through.
TEST(ColourMatrix, RoundingNoiseIsWhatTheInverseAdds) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int32_t> sample(0, 255), error(-9, 9);
  for (int trial = 0; trial < 4; ++trial) {
    Matrix m = random_orthogonal(3, random);
    for (double& entry : m) entry = static_cast<float>(entry);
    const Factored f(3, m);
    double sum = 0;
    constexpr int kPixels = 40000;
    for (int p = 0; p < kPixels; ++p) {
      const std::vector<int32_t> x{sample(random), sample(random), sample(random)};
      std::vector<int32_t> y = f.apply(x, true);
      std::vector<int32_t> e{error(random), error(random), error(random)};
      for (int k = 0; k < 3; ++k) y[k] += e[k];
      const std::vector<int32_t> back = f.apply(y, false);
      for (int i = 0; i < 3; ++i) {
        double mapped = 0;
        for (int k = 0; k < 3; ++k) mapped += m[i * 3 + k] * e[k];
        const double extra = back[i] - x[i] - mapped;
        sum += extra * extra;
      }
    }
    EXPECT_NEAR(sum / kPixels, rounding_noise(3, m.data()), 0.1 * rounding_noise(3, m.data())) << trial;
  }
}

// The rate-distortion mode sends the axes of the detail's covariance, the
// most detailed first, in the signs of least rounding noise.
TEST(ColourMatrix, RateDistortionModeTakesTheDetailAxes) {
  const Image image = load("chelsea.ppm");
  EncoderState writer;
  writer.width = image.width;
  writer.height = image.height;
  writer.channels = 3;
  writer.image = image.samples;
  writer.rdo = true;
  std::vector<uint8_t> bytes;
  new_memory_encoder(writer.encoder, bytes);
  Matrix sent;
  write_colour_matrix(writer, sent);
  kill_encoder(writer.encoder);

  Matrix detail(9);
  measure_detail_covariance(3, image.width, image.height, image.samples.data(), detail.data());
  // sent^T detail sent is diagonal, its entries falling.
  double previous = INFINITY;
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      double entry = 0;
      for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k) entry += sent[i * 3 + a] * detail[i * 3 + k] * sent[k * 3 + b];
      if (a != b) {
        EXPECT_LT(std::fabs(entry), 1e-5 * detail[0]) << a << b;
      } else {
        EXPECT_LT(entry, previous) << a;
        previous = entry;
      }
    }
  }
  for (int signs = 1; signs < 8; ++signs) {
    Matrix other = sent;
    for (int i = 0; i < 9; ++i)
      if ((signs >> (i % 3)) & 1) other[i] = -other[i];
    EXPECT_LE(rounding_noise(3, sent.data()), rounding_noise(3, other.data())) << signs;
  }
}

// The matrix travels as float32 patterns, low byte first, is printed as
// three rows of three fields, and comes back exactly as the encoder used it.
TEST(ColourMatrix, StreamAndPrintout) {
  const Image image = load("chelsea.ppm");
  EncoderState writer;
  DecoderState reader;
  writer.width = reader.width = image.width;
  writer.height = reader.height = image.height;
  writer.channels = reader.channels = 3;
  writer.image = image.samples;
  std::vector<uint8_t> bytes;
  new_memory_encoder(writer.encoder, bytes);
  std::FILE* console = std::tmpfile();
  ASSERT_NE(console, nullptr);
  writer.console = console;
  Matrix sent, received;
  write_colour_matrix(writer, sent);
  kill_encoder(writer.encoder);

  Matrix exact(9);
  std::vector<double> eigenvalues(3);
  measure_covariance(3, int64_t{image.width} * image.height, image.samples.data(), exact.data());
  find_eigenvectors(3, eigenvalues.data(), exact.data());
  ASSERT_EQ(sent.size(), 9u);
  ASSERT_GE(bytes.size(), 36u);
  std::string expected_text = "Color transform:\n";
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(sent[i], static_cast<double>(static_cast<float>(exact[i]))) << i;
    const uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(exact[i]));
    for (int b = 0; b < 4; ++b) EXPECT_EQ(bytes[4 * i + b], (bits >> (8 * b)) & 0xFF) << "entry " << i;
    char field[32];
    std::snprintf(field, sizeof field, "%6.3f ", exact[i]);
    expected_text += field;
    if (i % 3 == 2) expected_text += '\n';
  }
  std::rewind(console);
  std::string text;
  for (int ch = std::fgetc(console); ch != EOF; ch = std::fgetc(console)) text += static_cast<char>(ch);
  std::fclose(console);
  EXPECT_EQ(text, expected_text);

  new_memory_decoder(reader.decoder, bytes.data(), bytes.size());
  received = read_colour_matrix(reader);
  EXPECT_EQ(received, sent);
}

}  // namespace
}  // namespace kv
