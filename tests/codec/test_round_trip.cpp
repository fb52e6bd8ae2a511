// Whole images through the encoder and the decoder: exact at q <= 1, close
// and improving as q falls, and stream bytes pinned by checksums.
#include <gtest/gtest.h>

#include <random>

#include "support.h"

namespace kv::test {
namespace {

// A smooth gradient with texture and noise, like a small photograph.
Image synthetic(int w, int h, int channels, uint32_t seed) {
  std::mt19937 random(seed);
  Image image{w, h, channels, {}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c)
        image.samples.push_back(
            std::clamp(static_cast<int32_t>(40 + 3 * x + 2 * y + 30 * c + 20 * ((x / 3 + y / 5) % 2) + random() % 9), 0, 255));
  return image;
}

TEST(RoundTrip, PhotographsComeBackExactlyAtQualityOne) {
  for (const char* name : {"camera.pgm", "coins.pgm", "astronaut.ppm", "chelsea.ppm"}) {
    Image image = load_image(name);
    Image back = decode_memory(encode_memory(image, 1.0f));
    EXPECT_EQ(back.samples, image.samples) << name;
  }
}

TEST(RoundTrip, AwkwardSizesAreExactAtOrBelowOneAndCloseAbove) {
  const std::pair<int, int> sizes[] = {{1, 1}, {2, 2}, {5, 3}, {1, 37}, {37, 1}, {2, 1}, {1, 2}, {3, 3},
                                       {31, 33}, {33, 31}, {32, 32}, {64, 16}, {16, 64}, {45, 23}, {1024, 1}};
  for (auto [w, h] : sizes) {
    for (int channels : {1, 3}) {
      Image image = synthetic(w, h, channels, static_cast<uint32_t>(w * 131 + h));
      for (float q : {1.0f, 0.25f, 0.0f, -3.0f})
        EXPECT_EQ(decode_memory(encode_memory(image, q)).samples, image.samples) << w << "x" << h << " q " << q;
      Image lossy = decode_memory(encode_memory(image, 8.0f));
      EXPECT_GT(psnr(image, lossy), 28.0) << w << "x" << h;
    }
  }
}

// Streams may carry up to 255 channels; the colour transform then works on
// a matrix of that size and every plane still comes back exactly.
TEST(RoundTrip, ManyChannelsAreExactAtQualityOneAndCloseAbove) {
  for (int channels : {2, 4, 255}) {
    Image image = synthetic(5, 4, channels, static_cast<uint32_t>(channels));
    EXPECT_EQ(decode_memory(encode_memory(image, 1.0f)).samples, image.samples) << channels;
  }
  Image equal = synthetic(9, 7, 1, 3);  // three equal channels: a rank-one covariance
  Image grey_as_colour{9, 7, 3, {}};
  for (int32_t v : equal.samples) grey_as_colour.samples.insert(grey_as_colour.samples.end(), {v, v, v});
  EXPECT_EQ(decode_memory(encode_memory(grey_as_colour, 1.0f)).samples, grey_as_colour.samples);
  // Dozens of unrelated channels: eigenvectors whose lifting would overflow
  // give way to the identity, lossless and lossy alike.
  for (int channels : {60, 255}) {
    Image noise{16, 16, channels, {}};
    std::mt19937 random(static_cast<uint32_t>(channels));
    for (int i = 0; i < 16 * 16 * channels; ++i) noise.samples.push_back(static_cast<int32_t>(random() % 256));
    EXPECT_EQ(decode_memory(encode_memory(noise, 1.0f)).samples, noise.samples) << channels;
    const Image lossy = decode_memory(encode_memory(noise, 8.0f));
    double error = 0;
    for (size_t i = 0; i < noise.samples.size(); ++i) error += std::abs(lossy.samples[i] - noise.samples[i]);
    EXPECT_LT(error / static_cast<double>(noise.samples.size()), 4.0) << channels;
  }
}

TEST(RoundTrip, QualityFallsAndSizeShrinksAsQuantizationGrows) {
  for (const char* name : {"camera.pgm", "chelsea.ppm"}) {
    Image image = crop(load_image(name), 100, 60, 96, 80);
    double previous_psnr = INFINITY;
    size_t previous_size = SIZE_MAX;
    for (float q : {1.0f, 2.0f, 4.0f, 8.0f, 16.0f, 32.0f, 64.0f}) {
      std::vector<uint8_t> stream = encode_memory(image, q);
      double quality = psnr(image, decode_memory(stream));
      EXPECT_LE(quality, previous_psnr) << name << " q " << q;
      EXPECT_LT(stream.size(), previous_size) << name << " q " << q;
      EXPECT_GT(quality, 22.0) << name << " q " << q;
      previous_psnr = quality;
      previous_size = stream.size();
    }
  }
}

// Any change that alters a single output byte of the encoder shows up here.
TEST(RoundTrip, GoldenStreamChecksums) {
  struct Golden {
    const char* image;
    int x, y, w, h;
    float q;
    bool rdo;  // the rate-distortion mode's streams are guarded the same way
    uint64_t checksum;
  } goldens[] = {
      {"camera.pgm", 0, 0, 512, 512, 8.0f, false, 10371828586032087552ull},
      {"coins.pgm", 0, 0, 384, 303, 1.0f, false, 7386635001747831783ull},
      {"camera.pgm", 200, 150, 160, 120, 32.0f, false, 8353001127765154016ull},
      {"astronaut.ppm", 150, 40, 128, 128, 4.0f, false, 7225547750279846397ull},
      {"chelsea.ppm", 0, 0, 451, 300, 16.0f, false, 569907145472276375ull},
      {"chelsea.ppm", 10, 20, 99, 77, 1.0f, false, 6109952332191438368ull},
      {"camera.pgm", 0, 0, 512, 512, 8.0f, true, 14831396996365040451ull},
      {"coins.pgm", 30, 20, 200, 150, 3.0f, true, 15252235992455633402ull},
      {"chelsea.ppm", 0, 0, 451, 300, 24.0f, true, 17937642096137134341ull},
      {"astronaut.ppm", 200, 100, 150, 130, 90.0f, true, 10645925283705418268ull},
  };
  for (const Golden& g : goldens) {
    Image image = crop(load_image(g.image), g.x, g.y, g.w, g.h);
    std::vector<uint8_t> stream = encode_memory(image, g.q, {.rate_distortion = g.rdo});
    EXPECT_EQ(fnv1a(stream), g.checksum) << g.image << " " << g.w << "x" << g.h << " q " << g.q
                                         << (g.rdo ? " --rdo" : "") << " size " << stream.size();
  }
}

}  // namespace
}  // namespace kv::test
