// kelvane's command line as a user meets it: modes, messages, statuses and
// the files it writes or refuses to write.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support.h"

namespace kv::test {
namespace {

const std::string kBanner =
    "Kelvane 2.0 - image compression\n"
    " encoding: kelvane image.pnm compressed.kv2 quantization\n"
    " decoding: kelvane compressed.kv2 image.pnm\n\n";

constexpr int kCodecStatus = 255;  // the codec's own failures end with -1

// A stream header, its bytes standing verbatim at the start of the file.
std::vector<uint8_t> header(int magic1, int magic2, int width, int height, int channels) {
  return {static_cast<uint8_t>(magic1), static_cast<uint8_t>(magic2), static_cast<uint8_t>(width >> 8),
          static_cast<uint8_t>(width),  static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height),
          static_cast<uint8_t>(channels), 0, 0, 0x80, 0x3F};
}

class Cli : public ScratchDir {
 protected:
  RunResult kelvane(const std::vector<std::string>& args) { return run(dir, KV_KELVANE, args); }
  void put_sample(const std::string& name = "image.pgm") {
    write_file(dir / name, format_pnm(12, 9, 1, load_image("coins.pgm").samples.data()));
  }
};

TEST_F(Cli, FewerThanTwoArgumentsPrintOnlyTheBanner) {
  for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"only.kv2"}}) {
    RunResult r = kelvane(args);
    EXPECT_EQ(r.status, kCodecStatus);
    EXPECT_EQ(r.out, kBanner);
  }
  EXPECT_TRUE(fs::is_empty(dir));
}

TEST_F(Cli, HeaderChecks) {
  struct Case {
    std::vector<uint8_t> bytes;
    std::string message;
  } cases[] = {
      {header('X', '$', 4, 4, 1), "Not a Kelvane 2.0 file."},
      {header('K', 'X', 4, 4, 1), "Not a Kelvane 2.0 file."},
      {header('K', '$', 0, 4, 1), "Not a Kelvane 2.0 file."},
      {header('K', '$', 4, 0, 1), "Not a Kelvane 2.0 file."},
      {header('K', '$', 4, 4, 0), "Not a Kelvane 2.0 file."},
      // Largest values are accepted, then refused for their size before any allocation.
      {header('K', '$', 65535, 65535, 255),
       "Decoding \"out.pgm\" from \"in.kv2\" (65535x65535, 255 channels), baseQ = 1.000\nNot enough memory."},
  };
  for (const Case& c : cases) {
    write_file(dir / "in.kv2", c.bytes);
    RunResult r = kelvane({"in.kv2", "out.pgm"});
    EXPECT_EQ(r.status, kCodecStatus);
    EXPECT_EQ(r.out, kBanner + c.message);
    EXPECT_FALSE(fs::exists(dir / "out.pgm"));
  }
}

TEST_F(Cli, MissingAndUnwritableFiles) {
  RunResult r = kelvane({"missing.pgm", "out.kv2", "8"});
  EXPECT_EQ(r.status, kCodecStatus);
  EXPECT_EQ(r.out, kBanner + "Error reading file \"missing.pgm\".");
  EXPECT_FALSE(fs::exists(dir / "out.kv2"));

  r = kelvane({"missing.kv2", "out.pgm"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + "new_decoder: cannot open \"missing.kv2\"");

  put_sample();
  r = kelvane({"image.pgm", "no/such/dir/out.kv2", "8"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + "new_encoder: cannot open \"no/such/dir/out.kv2\"");
}

TEST_F(Cli, ImagesTooLargeForTheHeaderAreRefusedBeforeTheOutputExists) {
  std::string wide = "P5\n65536 1\n255\n" + std::string(65536, '\x10');
  write_file(dir / "wide.pgm", wide);
  RunResult r = kelvane({"wide.pgm", "out.kv2", "8"});
  EXPECT_EQ(r.status, kCodecStatus);
  EXPECT_EQ(r.out, kBanner + "Error reading file \"wide.pgm\".");
  EXPECT_FALSE(fs::exists(dir / "out.kv2"));
}

TEST_F(Cli, EncodeAndDecodeWriteTheirFiles) {
  put_sample();
  RunResult r = kelvane({"image.pgm", "s.kv2", "not a number", "ignored"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Encoding \"image.pgm\" to \"s.kv2\" (12x9, 1 channels), baseQ = 0.0\n"), std::string::npos);
  EXPECT_TRUE(fs::exists(dir / "dir.pgm"));
  std::vector<uint8_t> stream = read_file(dir / "s.kv2");
  ASSERT_GE(stream.size(), 11u);
  std::vector<uint8_t> expected = header('K', '$', 12, 9, 1);
  EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 7, stream.begin()));
  std::vector<uint8_t> zero_q(stream.begin() + 7, stream.begin() + 11);
  EXPECT_EQ(zero_q, (std::vector<uint8_t>{0, 0, 0, 0}));

  r = kelvane({"s.kv2", "back.pgm"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + "Decoding \"back.pgm\" from \"s.kv2\" (12x9, 1 channels), baseQ = 0.000\n");
  EXPECT_EQ(read_file(dir / "back.pgm"), read_file(dir / "image.pgm"));  // lossless
}

TEST_F(Cli, DecodedSamplesAreClamped) {
  // 300 (above the maximum 255, kept as it is) comes back as 300 from a
  // lossless stream, a missing raster byte as -1.
  write_file(dir / "high.pgm", std::string("P2 2 1 255 300 7"));
  ASSERT_EQ(kelvane({"high.pgm", "h.kv2", "1"}).status, 0);
  ASSERT_EQ(kelvane({"h.kv2", "h.pgm"}).status, 0);
  EXPECT_EQ(read_text(dir / "h.pgm"), "P5\n2 1\n255\n\xff\x07");
  write_file(dir / "short.pgm", std::string("P5 2 1 255 \x09"));
  ASSERT_EQ(kelvane({"short.pgm", "s.kv2", "1"}).status, 0);
  ASSERT_EQ(kelvane({"s.kv2", "s.pgm"}).status, 0);
  EXPECT_EQ(read_text(dir / "s.pgm"), std::string("P5\n2 1\n255\n\x09\x00", 13));
}

TEST_F(Cli, NoFileIsOverwrittenByItself) {
  put_sample();
  const std::vector<uint8_t> original = read_file(dir / "image.pgm");
  RunResult r = kelvane({"image.pgm", "image.pgm", "8"});
  EXPECT_EQ(r.status, kCodecStatus);
  EXPECT_EQ(r.out, kBanner + "Error writing file \"image.pgm\".");
  EXPECT_EQ(read_file(dir / "image.pgm"), original);
  ASSERT_EQ(::link((dir / "image.pgm").c_str(), (dir / "alias.pgm").c_str()), 0);
  EXPECT_EQ(kelvane({"image.pgm", "alias.pgm", "8"}).status, kCodecStatus);
  EXPECT_EQ(read_file(dir / "image.pgm"), original);

  ASSERT_EQ(kelvane({"image.pgm", "s.kv2", "8"}).status, 0);
  const std::vector<uint8_t> stream = read_file(dir / "s.kv2");
  r = kelvane({"s.kv2", "./s.kv2"});
  EXPECT_EQ(r.status, kCodecStatus);
  EXPECT_EQ(r.out, kBanner + "Error writing file \"./s.kv2\".");
  EXPECT_EQ(read_file(dir / "s.kv2"), stream);

  // The stream may be called dir.pgm: the diagnostic picture then stays unwritten.
  ASSERT_EQ(kelvane({"image.pgm", "dir.pgm", "8"}).status, 0);
  EXPECT_EQ(read_file(dir / "dir.pgm"), stream);
  // Nor does the picture overwrite the image it came from.
  fs::rename(dir / "image.pgm", dir / "dir.pgm");
  ASSERT_EQ(kelvane({"dir.pgm", "t.kv2", "8"}).status, 0);
  EXPECT_EQ(read_file(dir / "dir.pgm"), original);
}

TEST_F(Cli, FailedWriteOfTheDecodedImageIsReported) {
  put_sample();
  ASSERT_EQ(kelvane({"image.pgm", "s.kv2", "8"}).status, 0);
  RunResult r = kelvane({"s.kv2", "/dev/full"});
  EXPECT_EQ(r.status, kCodecStatus);
  EXPECT_EQ(r.out.substr(r.out.rfind('\n') + 1), "Error writing file \"/dev/full\".");
}

TEST_F(Cli, StreamsOfOtherChannelCountsDecodeButCannotBeWritten) {
  Image two{3, 2, 2, {10, 200, 20, 190, 30, 180, 40, 170, 50, 160, 60, 150}};
  write_file(dir / "two.kv2", encode_memory(two, 1.0f));
  EXPECT_EQ(decode_memory(read_file(dir / "two.kv2")).samples, two.samples);
  RunResult r = kelvane({"two.kv2", "out.ppm"});
  EXPECT_EQ(r.status, kCodecStatus);
  EXPECT_EQ(r.out, kBanner + "Decoding \"out.ppm\" from \"two.kv2\" (3x2, 2 channels), baseQ = 1.000\n" +
                       "Error writing file \"out.ppm\".");
  EXPECT_FALSE(fs::exists(dir / "out.ppm"));
}

}  // namespace
}  // namespace kv::test
