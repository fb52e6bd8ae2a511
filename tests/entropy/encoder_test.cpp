#include "entropy/range_encoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "test_support.h"

namespace kv {
namespace {

using ::testing::ElementsAre;
using test::expect_failure;

struct EncoderState {
  uint32_t low, high;
  uint64_t pending;
  int bit_count;
  uint32_t bytes;
  bool operator==(const EncoderState&) const = default;
};

EncoderState state_of(const Encoder& e) { return {e.low, e.high, e.pending, e.bit_count, encoder_bytes(e)}; }

TEST(EncoderTest, EmptyStreamIsOneByte) {
  std::vector<uint8_t> out;
  Encoder encoder;
  new_memory_encoder(encoder, out);
  EXPECT_EQ(kill_encoder(encoder), 1u);
  EXPECT_THAT(out, ElementsAre(0x40));

  test::ScratchDir dir;
  Encoder file_encoder;
  new_encoder(file_encoder, dir.file("empty").c_str());
  EXPECT_EQ(kill_encoder(file_encoder), 1u);
  EXPECT_THAT(test::read_file(dir.file("empty")), ElementsAre(0x40));
}

TEST(EncoderTest, FirstSymbolUnderAFreshByteModel) {
  AdaptiveModel model;
  new_context(model, 257, 4096, nullptr);
  std::vector<uint8_t> out;
  Encoder encoder;
  new_memory_encoder(encoder, out);
  write_symbol(encoder, model, 97);
  // Narrowed to [24735, 24989]; the bits 0110000 are decided and wait.
  EXPECT_EQ(encoder.low, 0x4F80u);
  EXPECT_EQ(encoder.high, 0xCEFFu);
  EXPECT_EQ(encoder.pending, 0u);
  EXPECT_EQ(encoder.bit_count, 7);
  EXPECT_EQ(encoder_bytes(encoder), 0u);
}

TEST(EncoderTest, RawBitsAtFullRangeAreVerbatim) {
  std::vector<uint8_t> out;
  Encoder encoder;
  new_memory_encoder(encoder, out);
  write_bits(encoder, 8, 0x4B);
  EXPECT_EQ(encoder_bytes(encoder), 1u);
  write_bits(encoder, 8, 0x124);  // only the low 8 bits count
  EXPECT_EQ(encoder_bytes(encoder), 2u);
  write_bits(encoder, 16, 0xFFFF);
  EXPECT_EQ(state_of(encoder), (EncoderState{0, 0xFFFF, 0, 0, 4}));
  write_bits(encoder, 16, 0x0000);
  write_bits(encoder, 15, 0x5A5A);
  write_bits(encoder, 1, 1);
  EXPECT_EQ(state_of(encoder), (EncoderState{0, 0xFFFF, 0, 0, 8}));
  kill_encoder(encoder);
  EXPECT_THAT(out, ElementsAre(0x4B, 0x24, 0xFF, 0xFF, 0x00, 0x00, 0xB4, 0xB5, 0x40));
}

TEST(EncoderTest, BytesCountAsSoonAsTheirEighthBitIsPut) {
  std::vector<uint8_t> out;
  Encoder encoder;
  new_memory_encoder(encoder, out);
  int bits = 0;
  for (int n : {3, 4, 1, 7, 2, 9, 13, 14, 5}) {
    write_bits(encoder, n, 0x1555);
    bits += n;
    EXPECT_EQ(encoder_bytes(encoder), static_cast<uint32_t>(bits / 8)) << bits;
    EXPECT_EQ(encoder.bit_count, bits % 8);
  }
}

TEST(EncoderTest, FinalBitsEndingOnAByteBoundaryAddNoByte) {
  std::vector<uint8_t> out;
  Encoder encoder;
  new_memory_encoder(encoder, out);
  write_bits(encoder, 6, 0x2A);
  EXPECT_EQ(kill_encoder(encoder), 1u);
  EXPECT_THAT(out, ElementsAre(0xA9));  // 101010, then 0 1
}

TEST(EncoderTest, NothingCodedLeavesTheStateAlone) {
  std::vector<uint8_t> out;
  Encoder encoder;
  new_memory_encoder(encoder, out);
  AdaptiveModel model;
  new_context(model, 257, 4096, nullptr);
  write_symbol(encoder, model, 200);
  EncoderState before = state_of(encoder);
  write_bits(encoder, 0, 0xFFFF);
  write_fraction(encoder, 1, 0);
  EXPECT_EQ(state_of(encoder), before);
}

TEST(EncoderTest, InvalidArguments) {
  std::vector<uint8_t> out;
  Encoder encoder;
  new_memory_encoder(encoder, out);
  AdaptiveModel model;
  new_context(model, 257, 4096, nullptr);
  expect_failure([&] { write_fraction(encoder, 5, 5); }, 1, "write_fraction: nominator out of range (5/5)");
  expect_failure([&] { write_fraction(encoder, 0, 0); }, 1, "write_fraction: nominator out of range (0/0)");
  expect_failure([&] { write_symbol(encoder, model, 0xFFFFFFFFu); }, 1, "write_symbol: invalid symbol (-1)");
  expect_failure([&] { write_symbol(encoder, model, 257); }, 1, "write_symbol: invalid symbol (257)");
  EXPECT_EQ(state_of(encoder), (EncoderState{0, 0xFFFF, 0, 0, 0}));
}

TEST(EncoderTest, FileFailures) {
  test::ScratchDir dir;
  Encoder encoder;
  std::string missing = dir.file("no/such/dir");
  expect_failure([&] { new_encoder(encoder, missing.c_str()); }, 1,
                 "new_encoder: cannot open \"" + missing + "\"");

  // A full device: a small output fails when it is flushed and closed...
  Encoder small;
  new_encoder(small, "/dev/full");
  write_bits(small, 16, 0x1234);
  expect_failure([&] { kill_encoder(small); }, 1, "kill_encoder: cannot close file");

  // ...a large one as soon as a byte cannot be handed on during coding.
  Encoder large;
  new_encoder(large, "/dev/full");
  expect_failure(
      [&] {
        for (int i = 0; i < (1 << 20); ++i) write_bits(large, 16, static_cast<uint32_t>(i));
      },
      1, "put_bit: write error");
}

// Codes a fraction whose interval holds both 0x7FFF and 0x8000, which
// decides no bit: every renormalisation step defers one.
bool write_straddling_fraction(Encoder& encoder) {
  uint64_t r = encoder.high - encoder.low + 1;
  for (uint32_t n : {7u, 5u, 3u, 11u, 13u}) {
    for (uint32_t v = 0; v < n; ++v) {
      if (encoder.low + v * r / n <= 0x7FFF && encoder.low + (v + 1) * r / n - 1 >= 0x8000) {
        write_fraction(encoder, n, v);
        return true;
      }
    }
  }
  return false;
}

TEST(EncoderTest, LongPendingRunIsWrittenInFull) {
  for (uint32_t final_bit : {0u, 1u}) {
    std::vector<uint8_t> out;
    Encoder encoder;
    new_memory_encoder(encoder, out);
    while (encoder.pending < 3000) {
      ASSERT_TRUE(write_straddling_fraction(encoder));
      ASSERT_EQ(encoder_bytes(encoder), 0u);
      ASSERT_EQ(encoder.bit_count, 0);
    }
    uint64_t pending = encoder.pending;
    // A tiny interval at one end of the range decides the bit.
    const uint32_t n = 16386;
    ASSERT_LE(encoder.low, 0x7FFCu);
    ASSERT_GE(encoder.high, 0x8003u);
    write_fraction(encoder, n, final_bit ? n - 1 : 0);
    ASSERT_GE(encoder_bytes(encoder), (1 + pending) / 8);
    kill_encoder(encoder);
    std::vector<uint32_t> bits;
    for (uint8_t byte : out)
      for (int i = 7; i >= 0; --i) bits.push_back((byte >> i) & 1);
    ASSERT_GT(bits.size(), pending + 1);
    EXPECT_EQ(bits[0], final_bit);
    for (uint64_t i = 1; i <= pending; ++i) ASSERT_EQ(bits[i], final_bit ^ 1) << i;
  }
}

TEST(EncoderTest, KillEncoderFlushesAPendingRun) {
  std::vector<uint8_t> out;
  Encoder encoder;
  new_memory_encoder(encoder, out);
  while (encoder.pending < 100) {
    ASSERT_TRUE(write_straddling_fraction(encoder));
  }
  uint64_t pending = encoder.pending;
  bool low_quarter = encoder.low < 0x4000;
  uint32_t bytes = kill_encoder(encoder);
  // One decided bit, pending + 1 opposite bits, zeros to the byte's end.
  EXPECT_EQ(bytes, (pending + 2 + 7) / 8);
  ASSERT_EQ(out.size(), bytes);
  std::vector<int> bits;
  for (uint8_t byte : out)
    for (int i = 7; i >= 0; --i) bits.push_back((byte >> i) & 1);
  EXPECT_EQ(bits[0], low_quarter ? 0 : 1);
  for (uint64_t i = 1; i <= pending + 1; ++i) ASSERT_EQ(bits[i], low_quarter ? 1 : 0) << i;
  for (size_t i = pending + 2; i < bits.size(); ++i) ASSERT_EQ(bits[i], 0) << i;
}

TEST(EncoderTest, FileAndMemoryGiveTheSameBytes) {
  test::ScratchDir dir;
  std::vector<uint8_t> memory;
  Encoder to_memory, to_file;
  new_memory_encoder(to_memory, memory);
  new_encoder(to_file, dir.file("out").c_str());
  AdaptiveModel model_a, model_b;
  new_context(model_a, 257, 4096, nullptr);
  new_context(model_b, 257, 4096, nullptr);
  uint32_t x = 1;
  // Enough output to pass the encoder's own buffer several times.
  for (int i = 0; i < 400000; ++i) {
    x = x * 1103515245u + 12345u;
    uint32_t s = (x >> 16) % 257;
    write_symbol(to_memory, model_a, s);
    write_symbol(to_file, model_b, s);
    update_context(model_a, s, 1);
    update_context(model_b, s, 1);
    ASSERT_EQ(encoder_bytes(to_memory), encoder_bytes(to_file));
  }
  uint32_t count = kill_encoder(to_memory);
  EXPECT_EQ(kill_encoder(to_file), count);
  EXPECT_EQ(memory.size(), count);
  EXPECT_GT(count, 300000u);
  EXPECT_EQ(test::read_file(dir.file("out")), memory);
}

}  // namespace
}  // namespace kv
