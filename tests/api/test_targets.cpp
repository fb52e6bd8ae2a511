// Size and PSNR targets: the stream handed back is the plain encoder's at the
// value reported (unless the report says the search tuned it), the report is
// what decoding the stream gives, targets inside a step edge's jump are met
// closely (also near its top), and the ends of reach (unreachable sizes,
// lossless, the coarsest value) behave as Target promises.
#include <bit>
#include <cmath>
#include <limits>

#include "api_support.h"

namespace kelvane::test {
namespace {

using Kind = Target::Kind;

constexpr float kCoarsest = 9.223372036854775808e18f;  // every coefficient quantised to zero

struct Targeted {
  std::vector<uint8_t> stream;
  EncodeReport report;
};

Targeted encode_to(const Image& image, Kind kind, double value, bool rdo = false) {
  EncodeOptions options;
  options.rate_distortion = rdo;
  options.target = {kind, value};
  Targeted t;
  options.report = &t.report;
  t.stream = encode(image, 0.0f, options);
  return t;
}

double psnr_between(const Image& a, const Image& b) {
  double squares = 0;
  for (size_t i = 0; i < a.samples.size(); ++i) {
    const double d = static_cast<double>(a.samples[i]) - b.samples[i];
    squares += d * d;
  }
  return squares == 0 ? std::numeric_limits<double>::infinity()
                      : 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(a.samples.size()) / squares);
}

// What every targeted encode promises: an ordinary stream, with the value of
// its header in the report, the plain encoder's at that value unless the
// report says it was tuned, and a report that is what decoding the stream
// gives.
void expect_plain_and_reported(const Image& image, const Targeted& t, bool rdo) {
  const std::vector<uint8_t>& s = t.stream;
  ASSERT_GE(s.size(), 11u);
  const float header_q = std::bit_cast<float>(static_cast<uint32_t>(s[7]) | static_cast<uint32_t>(s[8]) << 8 |
                                              static_cast<uint32_t>(s[9]) << 16 | static_cast<uint32_t>(s[10]) << 24);
  EXPECT_EQ(header_q, t.report.quantization);
  EncodeOptions plain;
  plain.rate_distortion = rdo;
  if (!t.report.tuned) {
    EXPECT_EQ(encode(image, t.report.quantization, plain), s);
  }
  const Image decoded = decode(s);
  EXPECT_EQ(decoded.samples, t.report.rebuilt.samples);
  EXPECT_EQ(t.report.psnr, psnr_between(image, decoded));
  EXPECT_EQ(t.report.bytes, s.size());
  EXPECT_EQ(t.report.bits_per_pixel, 8.0 * static_cast<double>(s.size()) / (image.width * image.height));
  EXPECT_GE(t.report.encodes, 1);
  EXPECT_LE(t.report.encodes, 16);
}

struct Picture {
  const char* name;
  Image image;
};

// Grey and colour, even and odd sides.
std::vector<Picture> pictures() {
  return {{"grey 96x64", test_image("camera.pgm", 200, 150, 96, 64)},
          {"colour 67x45", test_image("chelsea.ppm", 150, 100, 67, 45)}};
}

TEST(Targets, SizeTargetsAreNeverExceededAndComeClose) {
  for (const Picture& p : pictures())
    for (const bool rdo : {false, true}) {
      const uint64_t lossless = encode(p.image, 1.0f).size();
      for (const double fraction : {0.12, 0.3}) {
        SCOPED_TRACE(std::string(p.name) + (rdo ? " rdo " : " ") + std::to_string(fraction));
        const double budget = std::floor(fraction * static_cast<double>(lossless));
        const Targeted bytes = encode_to(p.image, Kind::kBytes, budget, rdo);
        EXPECT_LE(bytes.stream.size(), budget);
        EXPECT_GE(bytes.stream.size(), 0.9 * budget);
        expect_plain_and_reported(p.image, bytes, rdo);
        // The same budget as bits per pixel reaches the same stream.
        const double bpp = 8.0 * budget / (p.image.width * p.image.height);
        const Targeted rate = encode_to(p.image, Kind::kBitsPerPixel, bpp, rdo);
        EXPECT_LE(rate.report.bits_per_pixel, bpp);
        EXPECT_EQ(rate.stream, bytes.stream);
      }
    }
}

TEST(Targets, PsnrTargetsAreMetWithoutMuchToSpare) {
  for (const Picture& p : pictures())
    for (const bool rdo : {false, true})
      for (const double db : {31.0, 37.0}) {
        SCOPED_TRACE(std::string(p.name) + (rdo ? " rdo " : " ") + std::to_string(db));
        const Targeted t = encode_to(p.image, Kind::kPsnr, db, rdo);
        EXPECT_GE(t.report.psnr, db);
        EXPECT_LT(t.report.psnr, db + 1.5);  // the largest jump at one step edge
        EXPECT_GT(t.report.quantization, 1.0f);
        expect_plain_and_reported(p.image, t, rdo);
      }
}

// Either side of a step edge (4 sqrt 2: the float below keeps a quantizer
// step at 1.0, the one above leaves it) the PSNR jumps; targets inside the
// jump are met within the band by a tuned stream in both modes.
TEST(Targets, TargetsInsideAStepEdgeJumpLandInTheBand) {
  const Image image = test_image("camera.pgm", 150, 100, 128, 96);
  const float below = 5.65685415f, above = std::nextafter(below, 10.0f);
  for (const bool rdo : {false, true}) {
    SCOPED_TRACE(rdo ? "rdo" : "default");
    EncodeOptions options;
    options.rate_distortion = rdo;
    EncodeReport high, low;
    options.report = &high;
    encode(image, below, options);
    options.report = &low;
    const std::vector<uint8_t> low_stream = encode(image, above, options);
    ASSERT_GT(high.psnr - low.psnr, 0.3);
    for (const double share : {0.3, 0.7}) {
      const double db = low.psnr + share * (high.psnr - low.psnr);
      const Targeted t = encode_to(image, Kind::kPsnr, db, rdo);
      EXPECT_GE(t.report.psnr, db);
      EXPECT_LE(t.report.psnr, db + 0.15);
      if (!rdo) {
        EXPECT_TRUE(t.report.tuned);  // no value's plain stream lies in the jump
      }
      expect_plain_and_reported(image, t, rdo);
      // The same for the size of the tuned stream as a budget.
      const Targeted size = encode_to(image, Kind::kBytes, static_cast<double>(t.stream.size()), rdo);
      EXPECT_LE(size.stream.size(), t.stream.size());
      EXPECT_GE(size.stream.size(), 0.97 * static_cast<double>(t.stream.size()));
      expect_plain_and_reported(image, size, rdo);
    }
  }
}

// A target 0.2 dB below the finer side of a jump: too close to it for the
// plain fill from the coarser side (here it falls short, or wavers), so the
// finer side's stream is tuned down into the band.
TEST(Targets, TargetsNearTheTopOfAJumpLandInTheBand) {
  struct Case {
    const char* name;
    Image image;
    float edge;  // the finer side of the jump
    bool rdo;
  };
  const Case cases[] = {{"colour", test_image("chelsea.ppm", 300, 180, 128, 96), 16.0f, false},
                        {"grey rdo", test_image("camera.pgm", 150, 100, 128, 96), 5.65685415f, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EncodeOptions options;
    options.rate_distortion = c.rdo;
    EncodeReport high;
    options.report = &high;
    encode(c.image, c.edge, options);
    const double db = high.psnr - 0.2;
    const Targeted t = encode_to(c.image, Kind::kPsnr, db, c.rdo);
    EXPECT_GE(t.report.psnr, db);
    EXPECT_LE(t.report.psnr, db + 0.15);
    EXPECT_TRUE(t.report.tuned);
    expect_plain_and_reported(c.image, t, c.rdo);
  }
}

TEST(Targets, EndsOfReach) {
  for (const Picture& p : pictures()) {
    SCOPED_TRACE(p.name);
    const std::vector<uint8_t> lossless = encode(p.image, 1.0f);
    const std::vector<uint8_t> coarsest = encode(p.image, kCoarsest);
    // Below the coarsest stream: an error naming its size, and nothing else.
    for (const auto& [kind, value] : {std::pair{Kind::kBytes, static_cast<double>(coarsest.size() - 1)},
                                      std::pair{Kind::kBitsPerPixel, 0.0}}) {
      try {
        encode_to(p.image, kind, value);
        ADD_FAILURE() << "no error";
      } catch (const Error& error) {
        EXPECT_EQ(error.code(), ErrorCode::kTargetUnreachable);
        EXPECT_EQ(classic_status(error.code()), 1);
        EXPECT_NE(error.message().find("takes " + std::to_string(coarsest.size()) + " bytes"), std::string::npos)
            << error.message();
      }
    }
    // The coarsest stream itself is reachable, and any PSNR it meets gives it.
    EXPECT_EQ(encode_to(p.image, Kind::kBytes, static_cast<double>(coarsest.size())).stream.size(), coarsest.size());
    for (const double db : {5.0, -std::numeric_limits<double>::infinity()}) {
      const Targeted t = encode_to(p.image, Kind::kPsnr, db);
      EXPECT_EQ(t.report.quantization, kCoarsest);
      EXPECT_EQ(t.stream, coarsest);
    }
    // Room for the lossless stream, or a PSNR no lossy value reaches: lossless.
    for (const bool rdo : {false, true}) {
      EXPECT_EQ(encode_to(p.image, Kind::kBytes, 2.0 * static_cast<double>(lossless.size()), rdo).stream, lossless);
      const Targeted high = encode_to(p.image, Kind::kPsnr, 90.0, rdo);
      EXPECT_EQ(high.stream, lossless);
      EXPECT_EQ(high.report.quantization, 1.0f);
      const Targeted exact = encode_to(p.image, Kind::kPsnr, std::numeric_limits<double>::infinity(), rdo);
      EXPECT_EQ(exact.stream, lossless);
      EXPECT_EQ(exact.report.encodes, 1);
      expect_plain_and_reported(p.image, exact, rdo);
    }
    try {
      encode_to(p.image, Kind::kPsnr, std::nan(""));
      ADD_FAILURE() << "no error";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), ErrorCode::kTargetUnreachable);
    }
  }
}

TEST(Targets, TinyPictures) {
  const Image pictures[] = {test_image("coins.pgm", 40, 40, 1, 1), test_image("astronaut.ppm", 100, 100, 1, 1),
                            test_image("astronaut.ppm", 100, 100, 3, 2), test_image("coins.pgm", 7, 9, 5, 1)};
  for (const Image& image : pictures) {
    SCOPED_TRACE(std::to_string(image.width) + "x" + std::to_string(image.height) + "x" +
                 std::to_string(image.channels));
    // The size hardly moves with the value: any stream within the budget will do.
    const double lossless = static_cast<double>(encode(image, 1.0f).size());
    const Targeted fits = encode_to(image, Kind::kBytes, lossless);
    EXPECT_LE(fits.stream.size(), lossless);
    expect_plain_and_reported(image, fits, false);
    const Targeted psnr = encode_to(image, Kind::kPsnr, 40.0, true);
    EXPECT_GE(psnr.report.psnr, 40.0);
    expect_plain_and_reported(image, psnr, true);
  }
}

class TargetFiles : public ScratchDir {};

TEST_F(TargetFiles, FileCallsWriteTheSearchedStreamAndNothingWhenUnreachable) {
  const Image image = test_image("chelsea.ppm", 10, 20, 41, 33);
  write_image((dir / "image.ppm").string(), image);
  EncodeOptions options;
  options.target = {Kind::kPsnr, 35.0};
  EncodeReport file_report, memory_report;
  options.report = &file_report;
  encode_file((dir / "image.ppm").string(), (dir / "s.kv2").string(), 0.0f, options);
  options.report = &memory_report;
  EXPECT_EQ(read_file(dir / "s.kv2"), encode(image, 0.0f, options));
  EXPECT_EQ(file_report.quantization, memory_report.quantization);
  EXPECT_EQ(file_report.psnr, memory_report.psnr);

  options.target = {Kind::kBytes, 10.0};
  EXPECT_THROW(encode_file((dir / "image.ppm").string(), (dir / "none.kv2").string(), 0.0f, options), Error);
  EXPECT_FALSE(fs::exists(dir / "none.kv2"));
}

}  // namespace
}  // namespace kelvane::test
