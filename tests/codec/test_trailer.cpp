// The trailer after a coded image: what the decoder of the image alone makes
// of a file that has one, and how its reader takes damage.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "common/trailer.h"
#include "support.h"

namespace kv::test {
namespace {

std::vector<TrailerChunk> sample_chunks() {
  return {TrailerChunk{kChunkAlpha, kChunkVersion, std::vector<uint8_t>(40, 7)},
          TrailerChunk{chunk_type("zzzz"), 3, {1, 2, 3}},  // unknown: skipped
          TrailerChunk{kChunkIcc, kChunkVersion, {9, 8, 7, 6}},
          TrailerChunk{kChunkXmp, kChunkVersion, {}}};
}

std::vector<uint8_t> with(std::vector<uint8_t> image, const std::vector<uint8_t>& trailer) {
  image.insert(image.end(), trailer.begin(), trailer.end());
  return image;
}

TEST(Trailer, BytesAfterTheCodedImageChangeNothingTheDecoderReads) {
  std::mt19937 random(5);
  for (const char* name : {"camera.pgm", "chelsea.ppm"}) {
    const Image image = crop(load_image(name), 17, 9, 61, 47);
    for (float q : {1.0f, 3.0f, 20.0f}) {
      const std::vector<uint8_t> stream = encode_memory(image, q);
      const std::vector<int32_t> plain = decode_memory(stream).samples;
      for (size_t extra : {1u, 2u, 64u, 5000u}) {
        std::vector<uint8_t> noise(extra);
        for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
        EXPECT_EQ(decode_memory(with(stream, noise)).samples, plain) << name << " q " << q << " +" << extra;
      }
      EXPECT_EQ(decode_memory(with(stream, format_trailer(sample_chunks()))).samples, plain);
    }
  }
}

TEST(Trailer, ChunksComeBackAndTheImageEndsWhereTheTrailerStarts) {
  const std::vector<uint8_t> image(33, 0x5A);
  const std::vector<uint8_t> file = with(image, format_trailer(sample_chunks()));
  const TrailerView view = read_trailer(file.data(), file.size());
  EXPECT_TRUE(view.present);
  EXPECT_TRUE(view.warnings.empty());
  EXPECT_EQ(view.image_bytes, image.size());
  ASSERT_EQ(view.chunks.size(), 3u);
  EXPECT_EQ(*view.find(kChunkAlpha), std::vector<uint8_t>(40, 7));
  EXPECT_EQ(*view.find(kChunkIcc), (std::vector<uint8_t>{9, 8, 7, 6}));
  EXPECT_TRUE(view.find(kChunkXmp)->empty());
  EXPECT_EQ(view.find(kChunkExif), nullptr);
  EXPECT_TRUE(format_trailer({}).empty());
  // Without a footer nothing is found and nothing is wrong.
  const TrailerView none = read_trailer(image.data(), image.size());
  EXPECT_FALSE(none.present);
  EXPECT_EQ(none.image_bytes, image.size());
  EXPECT_TRUE(none.warnings.empty());
}

TEST(Trailer, DamageIsToldAndNeverReadBeyondTheBytes) {
  const std::vector<uint8_t> image(10, 1);
  const std::vector<uint8_t> good = with(image, format_trailer(sample_chunks()));
  const size_t footer = good.size() - kFooterBytes;
  auto read_copy = [](const std::vector<uint8_t>& bytes) {
    // An exact-size heap copy, so that a read past its end is caught by the sanitizers.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return read_trailer(copy.get(), bytes.size());
  };
  // Every truncation loses the footer: nothing is found.
  for (size_t length = 0; length < good.size(); ++length) {
    const TrailerView view = read_copy(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<ptrdiff_t>(length)));
    EXPECT_TRUE(view.chunks.empty());
    EXPECT_LE(view.image_bytes, length);
  }
  // Lengths: huge, one too many, one too few; a changed payload byte; a newer version.
  for (uint32_t length : {0xFFFFFFFFu, uint32_t(footer - 10 + 1), uint32_t(footer - 10 - 1), 0u}) {
    std::vector<uint8_t> bad = good;
    for (int i = 0; i < 4; ++i) bad[footer + i] = static_cast<uint8_t>(length >> (8 * i));
    const TrailerView view = read_copy(bad);
    EXPECT_TRUE(view.present);
    EXPECT_TRUE(view.chunks.empty());
    EXPECT_EQ(view.warnings.size(), 1u) << length;
  }
  std::vector<uint8_t> flipped = good;
  flipped[20] ^= 1;
  EXPECT_EQ(read_copy(flipped).warnings.size(), 1u);
  std::vector<uint8_t> newer = good;
  newer[footer + 8] = 2;
  EXPECT_EQ(read_copy(newer).image_bytes, image.size());
  EXPECT_EQ(read_copy(newer).warnings.size(), 1u);
  // A chunk whose length overruns the trailer, with a checksum that matches:
  // the chunks before it are kept.
  std::vector<TrailerChunk> chunks = sample_chunks();
  std::vector<uint8_t> trailer = format_trailer(chunks);
  const size_t second = kChunkHeaderBytes + 40;
  trailer[second + 8] = 0xFF;
  const uint32_t check = crc32(trailer.data(), trailer.size() - kFooterBytes);
  for (int i = 0; i < 4; ++i) trailer[trailer.size() - kFooterBytes + 4 + i] = static_cast<uint8_t>(check >> (8 * i));
  const TrailerView overrun = read_copy(with(image, trailer));
  EXPECT_EQ(overrun.chunks.size(), 1u);
  EXPECT_EQ(overrun.warnings.size(), 1u);
  EXPECT_EQ(overrun.image_bytes, image.size());
}

}  // namespace
}  // namespace kv::test
