// Distances between two images of the same shape: PSNR and SSIM.
#pragma once

#include <vector>

#include "kelvane/kelvane.h"

namespace cli {

struct Comparison {
  double psnr = 0;                    // dB, peak 255, every sample; infinite when equal
  std::vector<double> channel_psnr;   // the same for each channel
  double ssim = 0;                    // mean of the channels' SSIM
  std::vector<double> channel_ssim;
};

// PSNR with peak 255 over the given samples; infinite when they are equal.
// `a` and `b` hold the same shape (width, height, channels and sample count).
double psnr(const kelvane::Image& a, const kelvane::Image& b, int channel = -1);  // -1: every channel

// SSIM of one channel: local means, variances and covariance under an 11x11
// Gaussian window (sigma 1.5, normalised to 1, clipped at the image's edges
// and renormalised there), C1 = (0.01 * 255)^2, C2 = (0.03 * 255)^2, averaged
// over every pixel. 1 for equal channels.
double ssim(const kelvane::Image& a, const kelvane::Image& b, int channel);

// Both metrics for every channel. The shapes must be equal.
Comparison compare_images(const kelvane::Image& a, const kelvane::Image& b);

}  // namespace cli
