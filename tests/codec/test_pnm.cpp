// PNM reading from memory and files, the refusals of damaged or oversized
// headers, and the P5/P6 writer.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../entropy/test_support.h"
#include "io/pnm.h"

namespace kv {
namespace {

bool read_text(const std::string& text, Image& image, const ReadLimits& limits = {}) {
  return read_pnm_memory(reinterpret_cast<const uint8_t*>(text.data()), text.size(), image, limits);
}

struct ReadCase {
  const char* name;
  std::string file;
  int32_t width, height, channels;
  std::vector<int32_t> samples;
};

void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

class PnmRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(PnmRead, Samples) {
  const ReadCase& c = GetParam();
  Image image;
  ASSERT_TRUE(read_text(c.file, image));
  EXPECT_EQ(image.width, c.width);
  EXPECT_EQ(image.height, c.height);
  EXPECT_EQ(image.channels, c.channels);
  EXPECT_EQ(image.samples, c.samples);
}

std::vector<int32_t> short_raster() {
  std::vector<int32_t> s(16, -1);
  for (int i = 0; i < 6; ++i) s[i] = 'a' + i;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, PnmRead,
    ::testing::Values(
        ReadCase{"P6CommentAfterMagic", std::string("P6# made by hand\n2 1\n255\n") + "\x01\x02\x03\xfd\xfe\xff", 2, 1,
                 3, {1, 2, 3, 253, 254, 255}},
        // The raster starts right after the one byte ending the maximum value,
        // even when its first bytes look like blanks or a comment.
        ReadCase{"P5CommentBeforeMaximum", std::string("P5\n3 1\r# comment\r\n255\n") + "\n #", 3, 1, 1, {10, 32, 35}},
        ReadCase{"P5CommentEndedByCarriageReturn", "P5 2 #x\r1 255\tAB", 2, 1, 1, {65, 66}},
        ReadCase{"NoBlankAfterMagic", "P52 1 255\nAB", 2, 1, 1, {65, 66}},
        // The byte after the blanks is taken as the maximum value whatever it is.
        ReadCase{"P5MaximumValueAbsent", "P5 2 1 \nxAB", 2, 1, 1, {65, 66}},
        // Above 255, two bytes a sample, most significant first, scaled to 0..255.
        ReadCase{"P5SixteenBitBigEndian", std::string("P5 2 1 65535\n") + "\x01\x02\x03\x04", 2, 1, 1, {1, 3}},
        ReadCase{"P6SixteenBitScaled", std::string("P6 1 1 65535\n") + std::string("\xff\xff\x00\x00\x80\x00", 6), 1, 1, 3,
                 {255, 0, 128}},
        ReadCase{"P5SixteenBitHalfSampleIsMissing", std::string("P5 2 1 65535\n") + "\x01\x02\x03", 2, 1, 1, {1, -1}},
        ReadCase{"P5FourBitScaledUp", std::string("P5 4 1 15\n") + std::string("\x00\x0f\x07\x08", 4), 4, 1, 1, {0, 255, 119, 136}},
        ReadCase{"P3MaximumThousand", "P3 1 1 1000 1000 500 0", 1, 1, 3, {255, 128, 0}},
        ReadCase{"P5RasterShort", "P5 4 4 255\nabcdef", 4, 4, 1, short_raster()},
        ReadCase{"P5RasterAbsent", "P5 1 2 255", 1, 2, 1, {-1, -1}},
        ReadCase{"P2MixedBlanks", "P2\n2 2\n300\n0 10\n\t 300\r\n\n7", 2, 2, 1, {0, 9, 255, 6}},
        ReadCase{"P2LetterGivesZeroAndIsConsumed", "P2 3 1 255 4 x5", 3, 1, 1, {4, 0, 5}},
        ReadCase{"P2CommentBetweenSamples", "P2 3 1 255 4 #5 6\n 8 9", 3, 1, 1, {4, 8, 9}},
        ReadCase{"P2MissingSamplesAreZero", "P2 3 1 255 4", 3, 1, 1, {4, 0, 0}},
        ReadCase{"P2LargestSample", "P2 2 1 65535 65535 0", 2, 1, 1, {255, 0}},
        // With maximum 255 values above it are kept as they are, as before.
        ReadCase{"P3ChannelsInOrder", "P3 2 1 255 1 2 3 4 5 65535", 2, 1, 3, {1, 2, 3, 4, 5, 65535}},
        ReadCase{"P1Polarity", "P1\n3 1\n1 0 1", 3, 1, 1, {0, 255, 0}},
        // Each digit is a pixel, with or without blanks between them.
        ReadCase{"P1DigitsArePixels", "P1 3 2 101\n0 1\n1", 3, 2, 1, {0, 255, 0, 255, 0, 0}},
        // A comment may follow a number without a blank, in the header and in the samples.
        ReadCase{"CommentEndsANumber", "P2\n3#w\n1#h\n255#m\n1#a\n2 3", 3, 1, 1, {1, 2, 3}},
        ReadCase{"P1LetterGivesWhite", "P1 3 1 x 7 0", 3, 1, 1, {255, 0, 255}},
        // Ten pixels: two bytes per row, the second one's last six bits unused.
        ReadCase{"P4RowsStartOnFreshBytes", std::string("P4 10 2\n") + "\xa0\x7f\x80\xc0", 10, 2, 1,
                 {0, 255, 0, 255, 255, 255, 255, 255, 255, 0, 0, 255, 255, 255, 255, 255, 255, 255, 0, 0}},
        ReadCase{"P4PastEndAllBlack", std::string("P4 3 2\n") + "\x40", 3, 2, 1, {255, 0, 255, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PnmRead, Refusals) {
  const std::vector<std::string> refused = {
      "",
      "P",
      "P0 1 1 255 a",
      "P7 1 1 255 a",
      "Q5 1 1 255 a",
      "p5 1 1 255 a",
      "P5 0 1 255 a",
      "P5 1 0 255 a",
      "P5 -1 1 255 a",
      "P5 1 -1 255 a",
      "P5 2",
      "P5 2 x 255 a",
      "P5 65536 1 255 a",
      "P5 1 65536 255 a",
      "P5 99999999999999999999 1 255 a",
      "P5 1 99999999999999999999 255 a",
      "P5 4294967297 1 255 a",
      "P5 1 1 0 a",      // no maximum value of 0
      "P5 1 1 65536 ab", // nor above 16 bits
      "P5 30000 30000 255\nabc",  // far more raster than the file holds
      "P2 2 1 65535 1 65536",
      "P3 1 1 255 1 2 99999999999999999999",
  };
  for (const std::string& text : refused) {
    Image image;
    image.width = 77;
    EXPECT_FALSE(read_text(text, image)) << '"' << text << '"';
    EXPECT_EQ(image.width, 77) << "outputs changed on failure: " << text;
    EXPECT_TRUE(image.samples.empty());
  }
}

TEST(PnmRead, LargestDimensionAccepted) {
  Image image;
  ASSERT_TRUE(read_text("P5 65535 1 255\nA", image));
  EXPECT_EQ(image.width, 65535);
  ASSERT_EQ(image.samples.size(), 65535u);
  EXPECT_EQ(image.samples[0], 65);
  EXPECT_EQ(image.samples.back(), -1);
  ASSERT_TRUE(read_text("P4 1 65535\n", image));
  EXPECT_EQ(image.height, 65535);
}

TEST(PnmRead, BufferLimit) {
  ReadLimits limits;
  limits.max_bytes = 2 * 2 * 3 * 4;  // exactly a 2 x 2 colour image
  Image image;
  EXPECT_TRUE(read_text("P6 2 2 255 abcdefghijkl", image, limits));
  EXPECT_FALSE(read_text("P6 3 2 255 abcdefghijklmnopqr", image, limits));
  EXPECT_FALSE(read_text("P5 5 5 255 ", image, limits));
  limits.max_dimension = 4;
  EXPECT_FALSE(read_text("P5 5 1 255 abcde", image, limits));
  // The largest header asks for 48 GiB, beyond the limit without any wrap.
  limits = ReadLimits{65535, uint64_t{1} << 35};
  EXPECT_FALSE(read_text("P6 65535 65535 255", image, limits));
}

TEST(PnmRead, DepthAndShortRasters) {
  Image image;
  ASSERT_TRUE(read_text("P5 1 1 65535\n\x01\x02", image));
  EXPECT_EQ(image.source_maxval, 65535);
  ASSERT_TRUE(read_text("P2 1 1 15 3", image));
  EXPECT_EQ(image.source_maxval, 15);
  ASSERT_TRUE(read_text("P5 1 1 \nA", image));
  EXPECT_EQ(image.source_maxval, 255);  // absent: as 255
  // A raster may miss 64 KiB more than it holds; beyond, nothing is allocated.
  const std::string header = "P5 1000 1000 255\n";
  const size_t least = (1000000 - 65536 + 1) / 2;
  ASSERT_TRUE(read_text(header + std::string(least, 'x'), image));
  EXPECT_EQ(image.samples[least - 1], 'x');
  EXPECT_EQ(image.samples.back(), -1);
  EXPECT_FALSE(read_text(header + std::string(least - 1, 'x'), image));
  // Two bytes a sample above 255, one byte an ASCII sample at least.
  EXPECT_FALSE(read_text("P6 1000 1000 65535\n" + std::string(3 * least, 'x'), image));
  EXPECT_FALSE(read_text("P2 1000 1000 255\n" + std::string(least - 1, '1'), image));
  // Files tell by their size; a pipe is read ahead no further than needed.
  test::ScratchDir dir;
  const std::string path = dir.file("short.pgm");
  std::string text = header + std::string(least - 1, 'x');
  test::write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
  EXPECT_FALSE(read_pnm(path.c_str(), image));
  std::FILE* piped = ::popen(("cat " + path).c_str(), "r");
  ASSERT_NE(piped, nullptr);
  EXPECT_FALSE(read_pnm(("/dev/fd/" + std::to_string(::fileno(piped))).c_str(), image));
  ::pclose(piped);
  text += "xx";
  test::write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
  piped = ::popen(("cat " + path).c_str(), "r");
  ASSERT_TRUE(read_pnm(("/dev/fd/" + std::to_string(::fileno(piped))).c_str(), image));
  ::pclose(piped);
  EXPECT_EQ(image.samples[least], 'x');
  EXPECT_EQ(image.samples[least + 1], -1);
}

TEST(PnmFile, ReadsFilesAndRefusesMissingOnes) {
  test::ScratchDir dir;
  const std::string path = dir.file("grey.pgm");
  test::write_file(path, {'P', '5', ' ', '2', ' ', '1', ' ', '9', ' ', 9, 7});
  Image image;
  ASSERT_TRUE(read_pnm(path.c_str(), image));
  EXPECT_EQ(image.samples, (std::vector<int32_t>{255, 198}));  // scaled from maximum 9
  EXPECT_FALSE(read_pnm(dir.file("absent.pgm").c_str(), image));
  EXPECT_FALSE(read_pnm(dir.path.c_str(), image));  // a directory opens but cannot be read
  // A file far larger than one read buffer gives what its bytes give.
  const std::string photo = std::string(KV_TEST_DATA) + "/images/chelsea.ppm";
  const std::vector<uint8_t> bytes = test::read_file(photo);
  Image from_file, from_memory;
  ASSERT_TRUE(read_pnm(photo.c_str(), from_file));
  ASSERT_TRUE(read_pnm_memory(bytes.data(), bytes.size(), from_memory));
  EXPECT_EQ(from_file.width, 451);
  EXPECT_EQ(from_file.height, 300);
  EXPECT_EQ(from_file.samples, from_memory.samples);
  EXPECT_EQ(from_file.samples.back(), bytes.back());
}

TEST(PnmWrite, HeaderAndLowBytes) {
  const std::vector<int32_t> samples = {0, 255, 256, -1, 300, -256};
  std::vector<uint8_t> grey = format_pnm(3, 2, 1, samples.data());
  const std::string header = "P5\n3 2\n255\n";
  ASSERT_EQ(grey.size(), header.size() + 6);
  EXPECT_EQ(std::string(grey.begin(), grey.begin() + header.size()), header);
  EXPECT_EQ(std::vector<uint8_t>(grey.begin() + header.size(), grey.end()),
            (std::vector<uint8_t>{0, 255, 0, 255, 44, 0}));
  std::vector<uint8_t> colour = format_pnm(2, 1, 3, samples.data());
  EXPECT_EQ(std::string(colour.begin(), colour.begin() + 11), "P6\n2 1\n255\n");
  EXPECT_EQ(colour.size(), 11u + 6);
  EXPECT_EQ(format_pnm(65535, 1, 1, std::vector<int32_t>(65535).data()).size(), 65535u + 15);
}

TEST(PnmWrite, UnsupportedShapesCreateNothing) {
  test::ScratchDir dir;
  const int32_t samples[8] = {};
  const struct {
    int32_t w, h, c;
  } shapes[] = {{2, 1, 2}, {1, 1, 0}, {1, 1, 4}, {0, 1, 1}, {1, 0, 3}, {-1, 1, 1}};
  for (const auto& s : shapes) {
    const std::string path = dir.file("out.pnm");
    EXPECT_FALSE(write_pnm(path.c_str(), s.w, s.h, s.c, samples)) << s.w << 'x' << s.h << 'x' << s.c;
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(format_pnm(s.w, s.h, s.c, samples).empty());
  }
}

TEST(PnmWrite, WriteErrors) {
  const int32_t samples[3] = {1, 2, 3};
  EXPECT_FALSE(write_pnm("/dev/full", 1, 1, 3, samples));
  EXPECT_FALSE(write_pnm("/nonexistent-dir/out.pgm", 1, 1, 1, samples));
}

TEST(PnmWrite, RoundTripThroughFile) {
  test::ScratchDir dir;
  const std::string path = dir.file("out.ppm");
  std::vector<int32_t> samples(5 * 3 * 3);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int32_t>(i * 37 % 256);
  ASSERT_TRUE(write_pnm(path.c_str(), 5, 3, 3, samples.data()));
  EXPECT_EQ(test::read_file(path), format_pnm(5, 3, 3, samples.data()));
  Image image;
  ASSERT_TRUE(read_pnm(path.c_str(), image));
  EXPECT_EQ(image.width, 5);
  EXPECT_EQ(image.height, 3);
  EXPECT_EQ(image.channels, 3);
  EXPECT_EQ(image.samples, samples);
}

}  // namespace
}  // namespace kv
