// The encoder's caches, memoised estimates and threads change how fast it
// decides, never what: the plain search, one thread and many threads write
// the same bytes.
#include <gtest/gtest.h>

#include <random>

#include "common/block_geometry.h"
#include "dec/decode.h"
#include "enc/enc_rdo.h"
#include "enc/encode.h"
#include "entropy/magnitude.h"
#include "support.h"
#include "util/error.h"

namespace kv::test {
namespace {

std::vector<uint8_t> encode_with(const Image& image, float q, int threads, bool reference, bool rdo = false) {
  return encode_memory(image, q, {threads, reference, rdo});
}

TEST(EncoderPaths, CachedEstimatesDecideAsThePlainSearch) {
  const struct {
    const char* image;
    int x, y, w, h;
  } crops[] = {{"camera.pgm", 180, 120, 72, 56}, {"chelsea.ppm", 200, 90, 45, 37}, {"coins.pgm", 0, 0, 64, 33}};
  for (const auto& c : crops) {
    Image image = crop(load_image(c.image), c.x, c.y, c.w, c.h);
    for (float q : {1.0f, 3.0f, 8.0f, 24.0f, 90.0f})
      EXPECT_EQ(encode_with(image, q, 1, false), encode_with(image, q, 1, true)) << c.image << " q " << q;
  }
}

// Samples far beyond 8 bits reach what photographs never do: magnitudes past
// the rebuilt-value table, reconstruction errors of 2^21 and more (summed in
// double), and steps so large that every coefficient quantises to 0. Signs
// alternate so that the lowest coefficients, coded unquantised, stay small.
TEST(EncoderPaths, CachedEstimatesDecideAsThePlainSearchOnHugeSamples) {
  Image image{37, 30, 1, {}};
  std::mt19937 random(3);
  std::uniform_int_distribution<int32_t> noise(0, 1 << 21);
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      image.samples.push_back(((x + y) % 2 ? 1 : -1) * (((x * y) << 11) + (x % 3 ? 0 : noise(random))));
  for (float q : {3e4f, 3e6f, 1e9f, 3e38f})
    EXPECT_EQ(encode_with(image, q, 1, false), encode_with(image, q, 1, true)) << "q " << q;
}

// A decoder's geometry cache has no band gains, which only the encoder's
// estimates use; an encoder handed that cache must not go without them.
TEST(EncoderPaths, AnEncoderGivenADecodersGeometryEncodesAsAFreshOne) {
  const Image image = crop(load_image("coins.pgm"), 20, 10, 40, 30);
  EncoderState fresh;
  const std::vector<uint8_t> expected = encode_to_memory(fresh, image, 8.0f);
  DecoderState decoder;
  const Image decoded = decode_from_memory(decoder, expected.data(), expected.size(), 0);
  ASSERT_EQ(decoded.samples.size(), image.samples.size());
  ASSERT_TRUE(decoder.geometry && !decoder.geometry->has_band_gains());
  EXPECT_TRUE(decoder.geometry->geometry(6, 5).band_gain.empty());
  EncoderState state;
  state.geometry = decoder.geometry;
  EXPECT_EQ(encode_to_memory(state, image, 8.0f), expected);
  EXPECT_TRUE(state.geometry->has_band_gains());
}

TEST(EncoderPaths, StreamsDoNotDependOnTheThreadCount) {
  for (const char* name : {"camera.pgm", "astronaut.ppm"}) {
    // 256 x 256: its finest subbands hold trees of 1024-sample blocks, which are
    // searched in parallel.
    Image image = crop(load_image(name), 64, 64, 256, 256);
    for (float q : {1.0f, 12.0f}) {
      const std::vector<uint8_t> one = encode_with(image, q, 1, false);
      EXPECT_EQ(encode_with(image, q, 2, false), one) << name << " q " << q;
      EXPECT_EQ(encode_with(image, q, 8, false), one) << name << " q " << q;
    }
    const std::vector<uint8_t> rdo = encode_with(image, 12.0f, 1, false, true);
    EXPECT_EQ(encode_with(image, 12.0f, 2, false, true), rdo) << name << " rdo";
  }
}

// An image of w x h tiled from `image` by mirroring, without seams: a large
// photograph's worth of detail from a small one.
Image mirrored_tiles(const Image& image, int w, int h) {
  Image out{w, h, image.channels, {}};
  out.samples.resize(static_cast<size_t>(w) * h * image.channels);
  auto fold = [](int v, int n) {
    v %= 2 * n;
    return v < n ? v : 2 * n - 1 - v;
  };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < image.channels; ++c)
        out.samples[(static_cast<size_t>(y) * w + x) * image.channels + c] =
            image.samples[(static_cast<size_t>(fold(y, image.height)) * image.width + fold(x, image.width)) *
                              image.channels + c];
  return out;
}

// Large images: the regions are searched ahead of the coding in windows,
// the transforms shared between the threads, and the decoder shares its
// inverse transforms too.
TEST(EncoderPaths, LargeImagesCodeAndDecodeTheSameForAnyThreadCount) {
  const struct {
    const char* name;
    int w, h;
    float q;
  } cases[] = {{"astronaut.ppm", 2304, 1792, 12.0f}, {"camera.pgm", 1600, 1250, 30.0f}};
  for (const auto& c : cases) {
    const Image image = mirrored_tiles(load_image(c.name), c.w, c.h);
    const std::vector<uint8_t> one = encode_with(image, c.q, 1, false);
    EXPECT_EQ(encode_with(image, c.q, 2, false), one) << c.name;
    EXPECT_EQ(encode_with(image, c.q, 8, false), one) << c.name;
    DecoderState single, shared;
    single.threads = 1;
    shared.threads = 3;
    const Image decoded = decode_from_memory(single, one.data(), one.size(), 0);
    EXPECT_EQ(decode_from_memory(shared, one.data(), one.size(), 0).samples, decoded.samples) << c.name;
  }
}

// A megapixel stream is read by one thread while the others rebuild it:
// the same image for any thread count, and the same error where it is
// damaged (the reading thread's failure stops the others). Small enough for
// the sanitizer builds.
TEST(DecoderThreads, AMegapixelStreamAndItsDamageDecodeAlikeOnAnyThreadCount) {
  const std::vector<uint8_t> stream = read_file(fs::path(KV_TEST_DATA) / "streams" / "astronaut_1024_q100.kv2");
  const auto decode = [&](const std::vector<uint8_t>& bytes, int threads) {
    DecoderState state;
    state.threads = threads;
    return decode_from_memory(state, bytes.data(), bytes.size(), 0);
  };
  const Image one = decode(stream, 1);
  ASSERT_EQ(one.width * one.height, 1 << 20);
  for (int threads : {2, 3, 8}) EXPECT_EQ(decode(stream, threads).samples, one.samples) << threads;
  std::vector<uint8_t> damaged = stream;
  for (size_t i = damaged.size() / 2; i < damaged.size(); i += 97) damaged[i] ^= 0x5A;
  std::string expected;
  try {
    decode(damaged, 1);
  } catch (const Error& error) {
    expected = error.message();
  }
  ASSERT_FALSE(expected.empty());
  for (int threads : {2, 3}) {
    try {
      decode(damaged, threads);
      ADD_FAILURE() << "no error with " << threads << " threads";
    } catch (const Error& error) {
      EXPECT_EQ(error.message(), expected) << threads;
    }
  }
}

TEST(EncoderPaths, CachedScanOrdersEqualTheStableSortOfKeys) {
  GeometryCache cache;
  for (auto [w, h] : {std::pair{2, 2}, {3, 2}, {5, 7}, {8, 8}, {16, 4}, {1, 9}, {32, 32}, {31, 33}}) {
    const BlockGeometry& g = cache.geometry(w, h);
    std::vector<int32_t> position(static_cast<size_t>(w * h));
    for (int index = 0; index < static_cast<int>(g.table.size()); ++index) {
      scan_positions(w, h, g.table[static_cast<size_t>(index)], position.data());
      const uint16_t* order = cache.scan_order(g, index);
      for (int k = 0; k < w * h; ++k) ASSERT_EQ(position[order[k]], k) << w << "x" << h << " entry " << index;
    }
  }
}

// Sizes share the table of recent ones many to a slot: a lookup must still
// give the size asked for, and the one object kept for it.
TEST(EncoderPaths, GeometryLookupsGiveTheSizeAskedFor) {
  GeometryCache cache;
  std::vector<const BlockGeometry*> first;
  for (int pass = 0; pass < 3; ++pass)
    for (int w = 1; w <= 40; ++w)
      for (int h = 1; h <= 25; ++h) {
        const BlockGeometry& g = cache.geometry(w, h);
        ASSERT_EQ(g.width, w);
        ASSERT_EQ(g.height, h);
        const size_t i = static_cast<size_t>((w - 1) * 25 + h - 1);
        if (pass == 0)
          first.push_back(&g);
        else
          ASSERT_EQ(&g, first[i]) << w << "x" << h;
      }
}

// The rate-distortion mode writes ordinary streams: decodable, the same for
// any thread count, and at q <= 1 exactly the default (lossless) stream.
TEST(EncoderPaths, RateDistortionModeWritesOrdinaryStreams) {
  for (const char* name : {"camera.pgm", "chelsea.ppm"}) {
    Image image = crop(load_image(name), 100, 80, 120, 90);
    EXPECT_EQ(encode_with(image, 1.0f, 1, false, true), encode_with(image, 1.0f, 1, false, false)) << name;
    double previous = INFINITY;
    for (float q : {4.0f, 16.0f, 64.0f}) {
      const std::vector<uint8_t> stream = encode_with(image, q, 1, false, true);
      EXPECT_EQ(encode_with(image, q, 2, false, true), stream) << name << " q " << q;
      EXPECT_NE(encode_with(image, q, 1, false, false), stream) << name << " q " << q;
      const double quality = psnr(image, decode_memory(stream));
      EXPECT_LT(quality, previous) << name << " q " << q;
      EXPECT_GT(quality, 28.0) << name << " q " << q;
      previous = quality;
    }
  }
}

// Faint noise on flat grey at a coarse step: the few coefficients that
// survive the quantiser cost bits and, rebuilt a third of a step beyond
// their value, add error. The mode codes such blocks as zeros, so its
// stream is smaller and no worse than the default encoder's.
TEST(EncoderPaths, RateDistortionModeCodesNoiseAsZeros) {
  Image image{96, 64, 1, std::vector<int32_t>(96 * 64, 128)};
  std::mt19937 random(5);
  std::uniform_int_distribution<int32_t> noise(-4, 4);
  for (int32_t& sample : image.samples) sample += noise(random);
  const std::vector<uint8_t> optimised = encode_with(image, 32.0f, 1, false, true);
  const std::vector<uint8_t> plain = encode_with(image, 32.0f, 1, false, false);
  EXPECT_LT(optimised.size() * 3, plain.size());
  EXPECT_GE(psnr(image, decode_memory(optimised)), psnr(image, decode_memory(plain)));
}

// lambda's floor follows the image's fine detail: the largest on smooth
// images, the smallest on detailed ones, in between on the way; the measure
// reads every channel and no sample beyond the image (borders and images
// under 3 x 3 count nothing).
TEST(EncoderPaths, RateDistortionFloorFollowsFineDetail) {
  Image ramp{40, 30, 3, std::vector<int32_t>(40 * 30 * 3)};
  for (size_t i = 0; i < ramp.samples.size(); ++i) ramp.samples[i] = static_cast<int32_t>(i / 3 % 40 * 5);
  EXPECT_EQ(fine_detail(ramp.samples.data(), 40, 30, 3), 0.0);
  EXPECT_EQ(lambda_floor_q(0.0), kSmoothFloorQ);
  // A checkerboard of +-6 in the last channel only: its interior samples lie
  // 12 from their neighbours' mean, the other channels' 0: a mean of 4.
  Image board = ramp;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) board.samples[(static_cast<size_t>(y) * 40 + x) * 3 + 2] += (x + y) % 2 ? 6 : -6;
  EXPECT_DOUBLE_EQ(fine_detail(board.samples.data(), 40, 30, 3), 4.0);
  EXPECT_EQ(lambda_floor_q(4.0), kLambdaFloorQ);
  const double between = lambda_floor_q((kSmoothDetail + kTexturedDetail) / 2);
  EXPECT_GT(between, kLambdaFloorQ);
  EXPECT_LT(between, kSmoothFloorQ);
  const std::vector<int32_t> tiny{0, 255, 0, 255};
  EXPECT_EQ(fine_detail(tiny.data(), 2, 2, 1), 0.0);
}

// The quantiser divides without dividing; it must still truncate exactly the
// double quotient, for every step a quantization value can produce.
TEST(EncoderPaths, QuantiserEqualsTheTruncatedQuotient) {
  std::mt19937 random(11);
  std::vector<int32_t> values;
  for (int32_t v = -70000; v <= 70000; ++v) values.push_back(v);
  for (int i = 0; i < 20000; ++i) values.push_back(static_cast<int32_t>(random()));
  values.push_back(INT32_MIN);
  values.push_back(INT32_MAX);
  EncoderState state;
  const BandLayout layout = band_layout(1);  // one band, step quant[level + 1]
  for (float base_q : {1.5f, 2.0f, 3.7f, 8.0f, 16.0f, 29.3f, 64.0f, 1000.1f, 3e7f, 1e30f}) {
    build_quantizer_table(base_q, state.quant);
    for (int level = 0; level < 40; ++level) {
      const double step = state.quant[level + 1];
      for (int32_t v : values) {
        int32_t q = v;
        quantise(state.quant, level, layout, &q);
        ASSERT_EQ(q, static_cast<int32_t>(static_cast<double>(v) / step)) << "v " << v << " step " << step;
      }
    }
  }
}

}  // namespace
}  // namespace kv::test
