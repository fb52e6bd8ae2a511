#include "cli/compare.h"

#include <cmath>
#include <limits>

namespace cli {

namespace {

constexpr int kRadius = 5;
constexpr double kSigma = 1.5;

// Filters `plane` (width x height) with the separable window in place of
// `out`, renormalising where the window leaves the image.
void gaussian(const std::vector<double>& plane, int width, int height, const double* weights,
              std::vector<double>& out) {
  std::vector<double> rows(plane.size());
  out.assign(plane.size(), 0.0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      double sum = 0, norm = 0;
      for (int k = -kRadius; k <= kRadius; ++k) {
        const int xx = x + k;
        if (xx < 0 || xx >= width) continue;
        sum += weights[k + kRadius] * plane[static_cast<size_t>(y) * width + xx];
        norm += weights[k + kRadius];
      }
      rows[static_cast<size_t>(y) * width + x] = sum / norm;
    }
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      double sum = 0, norm = 0;
      for (int k = -kRadius; k <= kRadius; ++k) {
        const int yy = y + k;
        if (yy < 0 || yy >= height) continue;
        sum += weights[k + kRadius] * rows[static_cast<size_t>(yy) * width + x];
        norm += weights[k + kRadius];
      }
      out[static_cast<size_t>(y) * width + x] = sum / norm;
    }
}

}  // namespace

double psnr(const kelvane::Image& a, const kelvane::Image& b, int channel) {
  double squares = 0;
  size_t count = 0;
  const size_t step = static_cast<size_t>(a.channels);
  for (size_t i = channel < 0 ? 0 : static_cast<size_t>(channel); i < a.samples.size();
       i += channel < 0 ? 1 : step) {
    const double difference = static_cast<double>(a.samples[i]) - b.samples[i];
    squares += difference * difference;
    ++count;
  }
  if (squares == 0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(count) / squares);
}

double ssim(const kelvane::Image& a, const kelvane::Image& b, int channel) {
  double weights[2 * kRadius + 1];
  for (int k = -kRadius; k <= kRadius; ++k) weights[k + kRadius] = std::exp(-(k * k) / (2 * kSigma * kSigma));
  const size_t pixels = static_cast<size_t>(a.width) * static_cast<size_t>(a.height);
  std::vector<double> x(pixels), y(pixels), xx(pixels), yy(pixels), xy(pixels);
  for (size_t i = 0; i < pixels; ++i) {
    x[i] = a.samples[i * a.channels + channel];
    y[i] = b.samples[i * b.channels + channel];
    xx[i] = x[i] * x[i];
    yy[i] = y[i] * y[i];
    xy[i] = x[i] * y[i];
  }
  std::vector<double> mx, my, mxx, myy, mxy;
  gaussian(x, a.width, a.height, weights, mx);
  gaussian(y, a.width, a.height, weights, my);
  gaussian(xx, a.width, a.height, weights, mxx);
  gaussian(yy, a.width, a.height, weights, myy);
  gaussian(xy, a.width, a.height, weights, mxy);
  const double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
  double total = 0;
  for (size_t i = 0; i < pixels; ++i) {
    const double vx = mxx[i] - mx[i] * mx[i], vy = myy[i] - my[i] * my[i], cov = mxy[i] - mx[i] * my[i];
    total += ((2 * mx[i] * my[i] + c1) * (2 * cov + c2)) /
             ((mx[i] * mx[i] + my[i] * my[i] + c1) * (vx + vy + c2));
  }
  return pixels ? total / static_cast<double>(pixels) : 1.0;
}

Comparison compare_images(const kelvane::Image& a, const kelvane::Image& b) {
  Comparison result;
  result.psnr = psnr(a, b);
  for (int c = 0; c < a.channels; ++c) {
    result.channel_psnr.push_back(psnr(a, b, c));
    result.channel_ssim.push_back(ssim(a, b, c));
    result.ssim += result.channel_ssim.back();
  }
  if (a.channels > 0) result.ssim /= a.channels;
  return result;
}

}  // namespace cli
