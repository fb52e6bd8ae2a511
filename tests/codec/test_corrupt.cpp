// Damaged and hostile streams: the decoder ends with a defined message and
// status, or with an image of the declared size; it never crashes or hangs.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <bit>
#include <cmath>
#include <random>
#include <tuple>

#include "common/stream_bound.h"
#include "util/error.h"
#include "enc/enc_state.h"
#include "entropy/magnitude.h"
#include "support.h"

namespace kv::test {
namespace {

// Decodes and classifies: "" for success, else the failure's message.
std::string outcome(const std::vector<uint8_t>& stream, uint64_t memory_limit = uint64_t{1} << 26) {
  try {
    Image image = decode_memory(stream, memory_limit);
    EXPECT_EQ(image.samples.size(), static_cast<size_t>(image.width) * image.height * image.channels);
    return "";
  } catch (const Error& failure) {
    EXPECT_TRUE(classic_status(failure.code()) == 1 || classic_status(failure.code()) == 255) << failure.message();
    return failure.message();
  }
}

// Writes streams item by item, to say exactly what a damaged encoder could have.
struct StreamWriter {
  EncoderState state;
  std::vector<uint8_t> bytes;
  StreamWriter(int width, int height, int channels, float base_q) {
    build_bin_tables(state.bins);
    create_models(state);
    new_memory_encoder(state.encoder, bytes);
    for (auto [bits, value] : {std::pair{8, 75}, {8, 36}, {16, width}, {16, height}, {8, channels}})
      write_bits(state.encoder, bits, static_cast<uint32_t>(value));
    write_float(state.encoder, std::bit_cast<uint32_t>(base_q));
  }
  void magnitude(int model, int32_t value) { write_magnitude(state, model, value); }
  void bit(uint32_t value) { write_bits(state.encoder, 1, value); }
  std::vector<uint8_t> finish() {
    kill_encoder(state.encoder);
    return bytes;
  }
};

// A 2 x 1 grey image: DC value, then one 1 x 1 subband at level 1 whose leaf
// holds a direction index and a band of one coefficient (models 2 and 61).
std::vector<uint8_t> two_pixel_stream(int32_t direction, int32_t magnitude, int32_t run, float base_q = 1.0f) {
  StreamWriter w(2, 1, 1, base_q);
  w.magnitude(0, 100);
  w.bit(0);
  w.bit(1);  // leaf
  w.magnitude(63, direction);
  w.magnitude(2, magnitude);
  w.bit(0);
  w.magnitude(61, run);
  return w.finish();
}

TEST(CorruptStream, CraftedLeavesAreCheckedBeforeTheyAreStored) {
  EXPECT_EQ(outcome(two_pixel_stream(0, 4, 0)), "");
  EXPECT_EQ(outcome(two_pixel_stream(1, 4, 0)), "decode_block: invalid direction index");
  EXPECT_EQ(outcome(two_pixel_stream(0, 4, 1)), "decode_block: zero run past the end of a band");
  EXPECT_EQ(outcome(two_pixel_stream(0, 13794, 0, 1e30f)), "decode_block: coefficient out of range");
  EXPECT_EQ(outcome(two_pixel_stream(0, 13794, 0, INFINITY)), "decode_block: coefficient out of range");
  EXPECT_EQ(outcome(two_pixel_stream(0, 13794, 0, NAN)), "");  // a NaN step is 1.0
}

std::vector<uint8_t> one_pixel_colour_stream(const float (&matrix)[9]) {
  StreamWriter w(1, 1, 3, 1.0f);
  for (float entry : matrix) write_float(w.state.encoder, std::bit_cast<uint32_t>(entry));
  for (int c = 0; c < 3; ++c) {
    w.magnitude(0, 50 + c);
    w.bit(0);
  }
  return w.finish();
}

TEST(CorruptStream, ColourMatricesThatCannotBeAppliedAreRefused) {
  EXPECT_EQ(outcome(one_pixel_colour_stream({1, 0, 0, 0, 1, 0, 0, 0, 1})), "");
  EXPECT_EQ(outcome(one_pixel_colour_stream({1, 0, 0, 0, 1, 0, 0, 0, 0})), "factor_colour_matrix: invalid matrix");
  EXPECT_EQ(outcome(one_pixel_colour_stream({1, 0, 0, 0, NAN, 0, 0, 0, 1})), "factor_colour_matrix: invalid matrix");
  EXPECT_EQ(outcome(one_pixel_colour_stream({1, 0, 0, 0, 1, 0, 0, 0, INFINITY})),
            "factor_colour_matrix: invalid matrix");
  EXPECT_EQ(outcome(one_pixel_colour_stream({1e30f, 0, 1, 0, 1, 0, 1, 0, 1e-30f})),
            "transform_pixel: value out of range");
}

TEST(CorruptStream, MemoryLimitIsCheckedBeforeAllocation) {
  StreamWriter w(4000, 4000, 3, 1.0f);
  EXPECT_EQ(outcome(w.finish(), uint64_t{1} << 20), "Not enough memory.");
}

// Every prefix and many random corruptions of real streams end in a defined way.
TEST(CorruptStream, TruncatedAndCorruptedStreamsEndCleanly) {
  std::mt19937 random(7);
  for (auto [name, q] : {std::pair{"chelsea.ppm", 8.0f}, {"camera.pgm", 2.0f}}) {
    const std::vector<uint8_t> stream = encode_memory(crop(load_image(name), 40, 40, 29, 21), q);
    for (size_t length = 0; length < stream.size(); ++length)
      outcome(std::vector<uint8_t>(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(length)));
    for (int trial = 0; trial < 400; ++trial) {
      std::vector<uint8_t> damaged = stream;
      for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips)
        damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1 + random() % 255);
      outcome(damaged);
    }
  }
}

long peak_resident_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// A header may declare far more samples than its stream can hold: the stream
// is read through without the image, to the error a full decode would meet.
TEST(CorruptStream, StreamsTooShortForTheirShapeFailWithoutTheImage) {
  const long peak_before = peak_resident_kib();
  const uint64_t no_limit = uint64_t{1} << 46;  // 48 GiB and 17 GiB images pass the memory check
  StreamWriter colour(65535, 65535, 3, 8.0f);
  EXPECT_EQ(outcome(colour.finish(), no_limit), "get_bit: read error");
  StreamWriter grey(65535, 65535, 1, 8.0f);
  grey.magnitude(0, 100);
  grey.bit(0);
  grey.bit(0);  // splits the first 1 x 1 subband
  EXPECT_EQ(outcome(grey.finish(), no_limit), "decode_block: split of a single sample");
  EXPECT_LT(peak_resident_kib() - peak_before, 64 * 1024);
}

// Streams of images that hold almost no information come closest to the
// least length, and decode as before.
TEST(CorruptStream, ExtremeValidStreamsDecode) {
  for (auto [width, height, channels] : {std::tuple{65535, 1, 1}, {1, 65535, 1}, {512, 256, 3}, {1, 1, 1}})
    for (float q : {1.0f, 128.0f}) {
      Image flat{width, height, channels, std::vector<int32_t>(static_cast<size_t>(width) * height * channels, 77)};
      const std::vector<uint8_t> stream = encode_memory(flat, q);
      EXPECT_GE(stream.size(), least_stream_bytes(width, height, channels));
      EXPECT_EQ(decode_memory(stream).samples, flat.samples);
    }
}

TEST(CorruptStream, AStreamCutShortEndsWithAReadError) {
  const std::vector<uint8_t> stream = encode_memory(crop(load_image("coins.pgm"), 0, 0, 40, 30), 4.0f);
  EXPECT_EQ(outcome(std::vector<uint8_t>(stream.begin(), stream.begin() + 40)), "get_bit: read error");
  EXPECT_EQ(outcome({}), "get_bit: read error");
}

}  // namespace
}  // namespace kv::test
