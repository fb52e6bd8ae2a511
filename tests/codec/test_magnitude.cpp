// Magnitude bins, coding magnitudes through the model bank and back, the
// progress line, and the quantizer table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "../entropy/test_support.h"
#include "dec/dec_state.h"
#include "enc/enc_state.h"
#include "bin_model_checks.h"
#include "entropy/magnitude.h"

namespace kv {
namespace {

struct Tables : ::testing::Test {
  EncoderState state;
  void SetUp() override { build_bin_tables(state.bins); }
};

constexpr int32_t kBinStart[33] = {0,   1,   2,   2,    3,    4,    5,    7,    9,    12,   16,
                                   22,  30,  41,  55,   75,   101,  137,  187,  254,  345,  469,
                                   638, 867, 1179, 1604, 2181, 2965, 4033, 5484, 7459, 10144, 13795};

using BinTable = Tables;

TEST_F(BinTable, StartsAndInverseLogBase) {
  for (int b = 0; b <= 32; ++b) EXPECT_EQ(state.bins.bin_start[b], kBinStart[b]) << "bin " << b;
  // The groups the decoder reads coefficient magnitudes by.
  for (uint32_t b = 0; b < 32; ++b) {
    const uint32_t width = state.bins.bin_width[b];
    if (b < kSingleValueBins) EXPECT_LE(width, 1u) << "bin " << b;
    else if (b < kSmallWidthBins) EXPECT_TRUE(width >= 2 && width <= 8) << "bin " << b;
    else EXPECT_GT(width, 8u) << "bin " << b;
  }
  EXPECT_EQ(state.bins.bin_start[2], state.bins.bin_start[3]);  // bin 2 is empty
  EXPECT_EQ(state.bins.inv_log_base, 3.2521942f);
  EXPECT_EQ(state.bins.bin_of[0], 0);
  EXPECT_EQ(state.bins.bin_of[255], 19);
}

// Every magnitude up to the first uncodable one, either sign, lands in the
// bin whose range holds it, through the table and through the formula alike.
TEST_F(BinTable, EveryMagnitudeInItsBin) {
  for (int32_t m = 0; m <= 13795; ++m) {
    const int32_t b = magnitude_bin(state.bins, m);
    ASSERT_EQ(magnitude_bin(state.bins, -m), b) << m;
    ASSERT_NE(b, 2) << m;
    ASSERT_TRUE(b >= 0 && b <= 32 && kBinStart[b] <= m && (b == 32 || m < kBinStart[b + 1])) << m << " in bin " << b;
    if (m <= 255) {
      ASSERT_EQ(state.bins.bin_of[m], b) << m;
    }
  }
  EXPECT_GT(magnitude_bin(state.bins, std::numeric_limits<int32_t>::min()), 31);
  EXPECT_GT(magnitude_bin(state.bins, std::numeric_limits<int32_t>::max()), 31);
}

TEST_F(BinTable, Examples) {
  const std::pair<int32_t, int32_t> cases[] = {{0, 0},     {1, 1},     {2, 3},     {3, 4},       {4, 5},
                                               {5, 6},     {6, 6},     {7, 7},     {-300, 19},   {255, 19},
                                               {256, 19},  {1603, 24}, {1604, 25}, {-1603, 24},  {13794, 31},
                                               {13795, 32}, {-13795, 32}};
  for (auto [value, bin] : cases) EXPECT_EQ(magnitude_bin(state.bins, value), bin) << value;
}

// Both sides hold their own state: the encoder's and the decoder's model
// banks, and the reader only the tables that decoding builds.
struct MagnitudeCoding : ::testing::Test {
  EncoderState writer;
  DecoderState reader;
  std::vector<uint8_t> bytes;
  void SetUp() override {
    build_bin_tables(writer.bins);
    build_decoding_bin_tables(reader.bins);
    create_models(writer);
    prepare_decoder(reader);
    new_memory_encoder(writer.encoder, bytes);
  }
  void TearDown() override { release_models(writer); }
};

TEST_F(MagnitudeCoding, RoundTripLeavesIdenticalModels) {
  std::vector<std::pair<int, int32_t>> coded;  // model, value
  std::mt19937 random(3);
  for (int b = 0; b < 32; ++b) {
    if (b == 2) continue;
    const int32_t first = kBinStart[b], last = kBinStart[b + 1] - 1;
    for (int32_t v : {first, last, (first + last) / 2, -first, -last}) coded.push_back({b % 7, v});
  }
  std::uniform_int_distribution<int32_t> value(-13794, 13794);
  std::uniform_int_distribution<int32_t> small(-20, 20);
  std::uniform_int_distribution<int> model(0, 63);
  // Enough values on a few models to make their counts halve many times.
  for (int i = 0; i < 3000; ++i) coded.push_back({model(random) % 4, i % 3 ? small(random) : value(random)});
  // Runs of zeros as a band's are: mostly none, whose reads take a shortcut.
  for (int i = 0; i < 3000; ++i) coded.push_back({4 + i % 2, i % 8 ? 0 : small(random)});
  for (auto [k, v] : coded) write_magnitude(writer, k, v);
  kill_encoder(writer.encoder);

  new_memory_decoder(reader.decoder, bytes.data(), bytes.size());
  // Each of the decoder's ways to read a magnitude in turn.
  for (size_t i = 0; i < coded.size(); ++i) {
    const auto [k, v] = coded[i];
    const size_t way = i % 4;
    if (way == 0) {
      ASSERT_EQ(read_magnitude(reader.decoder, reader.models[k], reader.bins), std::abs(v)) << "model " << k;
      continue;
    }
    SymbolReader symbols(reader.decoder);
    const int32_t got = way == 1   ? read_grouped_value(symbols, reader.bins, read_grouped_bin(symbols, reader.models[k]))
                        : way == 2 ? read_magnitude<4>(symbols, reader.models[k], reader.bins)
                                   : read_run(symbols, reader.models[k], reader.bins);
    symbols.store();
    ASSERT_EQ(got, std::abs(v)) << "model " << k << ", way " << way;
  }
  // The decoder reads through its own bank: it must hold the encoder's counts.
  for (int k = 0; k < kModelCount; ++k)
    for (uint32_t s = 0; s < kBinSymbols; ++s)
      ASSERT_EQ(get_frequency(writer.models[k], s), test::bin_frequency(reader.models[k], s))
          << "model " << k << ", symbol " << s;
  EXPECT_NE(writer.models[0].tree, writer.models[4].tree);  // the coded models did move
}

TEST_F(MagnitudeCoding, UpdatesOnlyTheGivenModel) {
  write_magnitude(writer, 17, -300);
  EXPECT_EQ(get_frequency(writer.models[17], 19), 1 + kModelIncrement);
  for (int k = 0; k < kModelCount; ++k)
    EXPECT_EQ(model_total(writer.models[k]), k == 17 ? 352u : 32u) << k;
}

TEST_F(MagnitudeCoding, LargestMagnitudeOnlyIsCodable) {
  write_magnitude(writer, 5, 13794);
  write_magnitude(writer, 5, -13794);
  test::expect_failure([&] { write_magnitude(writer, 5, 13795); }, 1, "write_symbol: invalid symbol (32)");
  test::expect_failure([&] { write_magnitude(writer, 5, -13795); }, 1, "write_symbol: invalid symbol (32)");
  kill_encoder(writer.encoder);
  new_memory_decoder(reader.decoder, bytes.data(), bytes.size());
  EXPECT_EQ(read_magnitude(reader.decoder, reader.models[5], reader.bins), 13794);
  EXPECT_EQ(read_magnitude(reader.decoder, reader.models[5], reader.bins), 13794);
}

std::string read_back(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  return text;
}

TEST_F(MagnitudeCoding, ProgressLine) {
  writer.width = 10;
  writer.height = 10;
  writer.channels = 3;
  // Raw bytes at the full initial interval leave the coder at once.
  for (int i = 0; i < 20; ++i) write_bits(writer.encoder, 8, 0xA5);
  ASSERT_EQ(encoder_bytes(writer.encoder), 20u);
  std::FILE* console = std::tmpfile();
  ASSERT_NE(console, nullptr);
  writer.console = console;
  show_progress(writer, 100);
  show_progress(writer, 50);
  writer.console = nullptr;
  show_progress(writer, 30);  // quiet, yet counted
  EXPECT_EQ(writer.coded_samples, 180);
  EXPECT_EQ(read_back(console), "\r 33.33% done, 100 > 20 (4.800 bpp) \r 50.00% done, 150 > 20 (3.200 bpp) ");
  std::fclose(console);
}

TEST(QuantizerTable, StepsHalveEveryTwoEntries) {
  float quant[64];
  build_quantizer_table(16.0f, quant);
  const float expected[8] = {16.0f, 11.313708f, 8.0f, 5.656854f, 4.0f, 2.828427f, 2.0f, 1.4142135f};
  for (int i = 0; i < 8; ++i) EXPECT_FLOAT_EQ(quant[i], expected[i]) << i;
  for (int i = 8; i < 64; ++i) EXPECT_EQ(quant[i], 1.0f) << i;
  build_quantizer_table(1000.0f, quant);
  for (int i = 1; i < 64; ++i) EXPECT_TRUE(quant[i] <= quant[i - 1] && quant[i] >= 1.0f) << i;
  EXPECT_FLOAT_EQ(quant[2], 500.0f);
  EXPECT_FLOAT_EQ(quant[19], 1.3810679f);
  EXPECT_EQ(quant[20], 1.0f);  // 0.977 is raised to 1
}

TEST(QuantizerTable, SmallOrInvalidGiveOnes) {
  const float values[] = {0.5f, 1.0f, 0.0f, -3.0f, std::numeric_limits<float>::quiet_NaN(),
                          -std::numeric_limits<float>::infinity()};
  for (float base : values) {
    float quant[64];
    build_quantizer_table(base, quant);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(quant[i], 1.0f) << "base " << base << ", entry " << i;
  }
}

}  // namespace
}  // namespace kv
