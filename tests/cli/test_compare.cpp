// The metrics of `kelvane compare`, and the library calls the command line
// relies on: read_info and the encoder's progress.
#include "cli/compare.h"

#include <algorithm>
#include <cmath>

#include "cli_support.h"
#include "kelvane/kelvane.h"

namespace cli::test {
namespace {

kelvane::Image ramp(int w, int h, int channels, int offset) {
  kelvane::Image image{w, h, channels, {}};
  for (int i = 0; i < w * h * channels; ++i) image.samples.push_back((i * 7 + offset) % 200);
  return image;
}

TEST(CompareMetrics, PsnrAndSsimOfKnownDifferences) {
  const kelvane::Image a = ramp(30, 20, 3, 0);
  kelvane::Image b = a;
  Comparison same = compare_images(a, b);
  EXPECT_TRUE(std::isinf(same.psnr));
  EXPECT_DOUBLE_EQ(same.ssim, 1.0);
  // Channel 1 off by 2 everywhere: its MSE is 4, the whole image's 4/3.
  for (size_t i = 1; i < b.samples.size(); i += 3) b.samples[i] += 2;
  Comparison shifted = compare_images(a, b);
  EXPECT_NEAR(shifted.channel_psnr[1], 10 * std::log10(255.0 * 255.0 / 4), 1e-9);
  EXPECT_TRUE(std::isinf(shifted.channel_psnr[0]));
  EXPECT_NEAR(shifted.psnr, 10 * std::log10(255.0 * 255.0 * 3 / 4), 1e-9);
  EXPECT_DOUBLE_EQ(shifted.channel_ssim[0], 1.0);
  EXPECT_LT(shifted.channel_ssim[1], 1.0);
  EXPECT_NEAR(shifted.ssim, (2 + shifted.channel_ssim[1]) / 3, 1e-12);
  // Symmetric, and structure lost counts more than a uniform shift.
  EXPECT_DOUBLE_EQ(ssim(a, b, 1), ssim(b, a, 1));
  kelvane::Image flat = a;
  for (size_t i = 1; i < flat.samples.size(); i += 3) flat.samples[i] = 100;
  EXPECT_LT(ssim(a, flat, 1), shifted.channel_ssim[1]);
}

TEST(LibraryCalls, ReadInfoGivesTheHeaderAsDecodeReadsIt) {
  const kelvane::Image image = kelvane::read_image(std::string(KV_TEST_DATA) + "/images/chelsea.ppm");
  const kelvane::Image part{16, 8, 3, std::vector<int32_t>(image.samples.begin(), image.samples.begin() + 16 * 8 * 3)};
  const std::vector<uint8_t> stream = kelvane::encode(part, 9.5f);
  const kelvane::StreamInfo info = kelvane::read_info(stream);
  EXPECT_EQ(info.width, 16);
  EXPECT_EQ(info.height, 8);
  EXPECT_EQ(info.channels, 3);
  EXPECT_EQ(info.quantization, 9.5f);
  ASSERT_EQ(info.colour_matrix.size(), 9u);
  for (double entry : info.colour_matrix) EXPECT_LE(std::fabs(entry), 1.0);
  // The same failures as decoding.
  for (const std::vector<uint8_t>& bad : {std::vector<uint8_t>{'K', '$', 0, 0, 0, 1, 1}, std::vector<uint8_t>{'K', 'x'},
                                          std::vector<uint8_t>(stream.begin(), stream.begin() + 12)}) {
    kelvane::ErrorCode info_code{}, decode_code{};
    try {
      kelvane::read_info(bad);
    } catch (const kelvane::Error& e) {
      info_code = e.code();
    }
    try {
      kelvane::decode(bad);
    } catch (const kelvane::Error& e) {
      decode_code = e.code();
    }
    EXPECT_EQ(info_code, decode_code);
    EXPECT_NE(info_code, kelvane::ErrorCode{});
  }
}

TEST(LibraryCalls, ProgressRisesToTheEndWithoutChangingTheStream) {
  const kelvane::Image image = kelvane::read_image(std::string(KV_TEST_DATA) + "/images/camera.pgm");
  std::vector<double> fractions;
  kelvane::EncodeOptions options;
  options.progress = [&fractions](double fraction) { fractions.push_back(fraction); };
  EXPECT_EQ(kelvane::encode(image, 8, options), kelvane::encode(image, 8));
  ASSERT_GE(fractions.size(), 10u);
  EXPECT_LE(fractions.size(), 256u);
  EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
  EXPECT_GT(fractions.front(), 0);
  EXPECT_GT(fractions.back(), 0.9);
  EXPECT_LE(fractions.back(), 1);
}

}  // namespace
}  // namespace cli::test
