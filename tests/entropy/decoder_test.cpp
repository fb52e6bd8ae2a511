#include "entropy/range_decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "entropy/range_encoder.h"
#include "test_support.h"

namespace kv {
namespace {

using test::expect_failure;

struct DecoderState {
  uint32_t value, low, high, pad_bits, bytes;
  bool operator==(const DecoderState&) const = default;
};

DecoderState state_of(const Decoder& d) { return {d.value, d.low, d.high, d.pad_bits, decoder_bytes(d)}; }

TEST(DecoderTest, EndSymbolFromTwoBytes) {
  const std::vector<uint8_t> bytes = {0xFF, 0x40};
  test::ScratchDir dir;
  test::write_file(dir.file("in"), bytes);
  for (bool from_file : {false, true}) {
    AdaptiveModel model;
    new_context(model, 257, 4096, nullptr);
    Decoder decoder;
    if (from_file)
      new_decoder(decoder, dir.file("in").c_str());
    else
      new_memory_decoder(decoder, bytes.data(), bytes.size());
    EXPECT_EQ(decoder.value, 0xFF40u);
    EXPECT_EQ(decoder_bytes(decoder), 2u);
    EXPECT_EQ(read_symbol(decoder, model), 256u);
    EXPECT_EQ(decoder_bytes(decoder), 3u);
    EXPECT_EQ(decoder.pad_bits, 8u);
    EXPECT_EQ(kill_decoder(decoder), 3u);
  }
}

TEST(DecoderTest, EmptyInputReadsTwoPaddingBytesThenFails) {
  test::ScratchDir dir;
  test::write_file(dir.file("empty"), {});
  for (bool from_file : {false, true}) {
    Decoder decoder;
    if (from_file)
      new_decoder(decoder, dir.file("empty").c_str());
    else
      new_memory_decoder(decoder, nullptr, 0);
    EXPECT_EQ(state_of(decoder), (DecoderState{0xFFFF, 0, 0xFFFF, 16, 2}));
    expect_failure([&] { get_bit(decoder); }, 1, "get_bit: read error");
  }
  AdaptiveModel model;
  new_context(model, 257, 4096, nullptr);
  Decoder decoder;
  new_memory_decoder(decoder, nullptr, 0);
  expect_failure([&] { read_symbol(decoder, model); }, 1, "get_bit: read error");
}

TEST(DecoderTest, NothingReadLeavesTheStateAlone) {
  const std::vector<uint8_t> bytes = {0x12, 0x34, 0x56, 0x78, 0x9A};
  Decoder decoder;
  new_memory_decoder(decoder, bytes.data(), bytes.size());
  read_fraction(decoder, 1000);
  DecoderState before = state_of(decoder);
  EXPECT_EQ(read_bits(decoder, 0), 0u);
  EXPECT_EQ(read_fraction(decoder, 0), 0u);
  EXPECT_EQ(read_fraction(decoder, 1), 0u);
  EXPECT_EQ(state_of(decoder), before);
}

TEST(DecoderTest, RawBitsAtFullRangeAreTheStreamBits) {
  const std::vector<uint8_t> bytes = {0xFF, 0xFF, 0x4B, 0x24, 0x00, 0x00, 0xB4, 0xB5};
  Decoder decoder;
  new_memory_decoder(decoder, bytes.data(), bytes.size());
  EXPECT_EQ(read_bits(decoder, 16), 0xFFFFu);
  EXPECT_EQ(read_bits(decoder, 8), 0x4Bu);
  EXPECT_EQ(read_bits(decoder, 8), 0x24u);
  EXPECT_EQ(read_bits(decoder, 16), 0u);
  EXPECT_EQ(read_bits(decoder, 15), 0x5A5Au);
  EXPECT_EQ(read_bits(decoder, 1), 1u);
  EXPECT_EQ(decoder.low, 0u);
  EXPECT_EQ(decoder.high, 0xFFFFu);
  // The last 16 bits came from the two fetches past the end.
  EXPECT_EQ(decoder.value, 0xFFFFu);
  EXPECT_EQ(decoder.pad_bits, 16u);
  EXPECT_EQ(kill_decoder(decoder), 10u);
}

TEST(DecoderTest, FloatIsFourBytesLowFirst) {
  std::vector<uint8_t> out;
  Encoder encoder;
  new_memory_encoder(encoder, out);
  write_float(encoder, 0x3FC00000u);
  write_float(encoder, 0x80000001u);
  kill_encoder(encoder);
  ASSERT_GE(out.size(), 8u);
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(out[3], 0x3F);
  Decoder decoder;
  new_memory_decoder(decoder, out.data(), out.size());
  EXPECT_EQ(read_float(decoder), 0x3FC00000u);
  EXPECT_EQ(read_float(decoder), 0x80000001u);
}

TEST(DecoderTest, ValueOutsideTheIntervalIsDetected) {
  const std::vector<uint8_t> bytes = {0x80, 0x00};
  AdaptiveModel model;
  new_context(model, 4, 100, nullptr);
  for (int which = 0; which < 3; ++which) {
    Decoder decoder;
    new_memory_decoder(decoder, bytes.data(), bytes.size());
    decoder.low = 0x9000;  // a state no valid stream reaches
    if (which == 0) expect_failure([&] { read_symbol(decoder, model); }, 1, "read_symbol: out of range");
    if (which == 1) expect_failure([&] { read_bits(decoder, 3); }, 1, "read_bits: out of range");
    if (which == 2) expect_failure([&] { read_fraction(decoder, 3); }, 1, "read_fraction: out of range");
  }
}

TEST(DecoderTest, FileFailures) {
  test::ScratchDir dir;
  Decoder decoder;
  std::string missing = dir.file("missing");
  expect_failure([&] { new_decoder(decoder, missing.c_str()); }, 1, "new_decoder: cannot open \"" + missing + "\"");
  // A directory opens but cannot be read.
  expect_failure([&] { new_decoder(decoder, dir.path.c_str()); }, 1, "get_bit: read error");
}

TEST(DecoderTest, FileLongerThanTheReadWindow) {
  std::vector<uint8_t> bytes(200000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  test::ScratchDir dir;
  test::write_file(dir.file("in"), bytes);
  Decoder from_file, from_memory;
  new_decoder(from_file, dir.file("in").c_str());
  new_memory_decoder(from_memory, bytes.data(), bytes.size());
  for (size_t i = 0; i < bytes.size() / 2; ++i) {
    uint32_t v = read_bits(from_file, 16);
    ASSERT_EQ(v, read_bits(from_memory, 16));
    ASSERT_EQ(v, (uint32_t{bytes[2 * i]} << 8) | bytes[2 * i + 1]) << i;
  }
  // Two fetches past the end are padding, a third is an error.
  EXPECT_EQ(from_file.value, 0xFFFFu);
  EXPECT_EQ(from_file.pad_bits, 16u);
  expect_failure([&] { read_bits(from_file, 16); }, 1, "get_bit: read error");
  EXPECT_EQ(kill_decoder(from_file), bytes.size() + 2);
}

}  // namespace
}  // namespace kv
