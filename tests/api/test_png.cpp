// PNG images in and out: every opaque kind gives the samples of the
// equivalent PNM, translucent ones keep their alpha, 16-bit ones are reduced
// for lossy coding only, damaged files are refused with the reading message,
// and decoded PNGs hold the decoded samples.
#include <png.h>

#include <functional>

#include "api_support.h"

namespace kelvane::test {
namespace {

constexpr uint32_t kWidth = 13;  // odd, so that packed rows end in part of a byte
constexpr uint32_t kHeight = 5;
constexpr uint32_t kPixels = kWidth * kHeight;

std::vector<uint16_t> random_values(size_t count, uint32_t modulus, uint32_t seed) {
  std::vector<uint16_t> values(count);
  for (uint16_t& v : values) {
    seed = seed * 1103515245u + 12345u;
    v = static_cast<uint16_t>((seed >> 16) % modulus);
  }
  return values;
}

Image expected_image(int channels, const std::vector<uint16_t>& values) {
  Image image{static_cast<int32_t>(kWidth), static_cast<int32_t>(kHeight), channels, {}};
  image.samples.assign(values.begin(), values.end());
  return image;
}

PngPicture picture(int colour_type, int bit_depth, const std::vector<uint16_t>& values, uint32_t samples_per_pixel) {
  PngPicture p;
  p.width = kWidth;
  p.height = kHeight;
  p.colour_type = colour_type;
  p.bit_depth = bit_depth;
  p.rows = pack_rows(values, kWidth * samples_per_pixel, bit_depth);
  return p;
}

struct Kind {
  std::string name;
  PngPicture png;
  Image expected;
};

Kind grey_kind(int bit_depth) {
  const uint32_t top = (1u << bit_depth) - 1;
  std::vector<uint16_t> values = random_values(kPixels, top + 1, 7u + static_cast<uint32_t>(bit_depth));
  std::vector<uint16_t> scaled;
  for (uint16_t v : values) scaled.push_back(static_cast<uint16_t>(v * 255 / top));
  return {"grey" + std::to_string(bit_depth), picture(PNG_COLOR_TYPE_GRAY, bit_depth, values, 1),
          expected_image(1, scaled)};
}

// Palette entries and indices of a palette image; `used` entries are indexed.
Kind palette_kind(const std::string& name, int bit_depth, uint32_t entries, uint32_t used) {
  std::vector<uint16_t> palette = random_values(entries * 3, 256, 99);
  std::vector<uint16_t> indices = random_values(kPixels, used, 5);
  Kind kind{name, picture(PNG_COLOR_TYPE_PALETTE, bit_depth, indices, 1), {}};
  kind.png.palette.assign(palette.begin(), palette.end());
  std::vector<uint16_t> colours;
  for (uint16_t i : indices) colours.insert(colours.end(), palette.begin() + 3 * i, palette.begin() + 3 * i + 3);
  kind.expected = expected_image(3, colours);
  return kind;
}

// Colour or grey samples with an alpha channel after each pixel's colour.
Kind alpha_kind(const std::string& name, int channels, const std::vector<uint16_t>& alpha) {
  std::vector<uint16_t> colour = random_values(kPixels * static_cast<uint32_t>(channels), 256, 31);
  std::vector<uint16_t> interleaved;
  for (uint32_t i = 0; i < kPixels; ++i) {
    interleaved.insert(interleaved.end(), colour.begin() + i * channels, colour.begin() + (i + 1) * channels);
    interleaved.push_back(alpha[i]);
  }
  const int type = channels == 1 ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_RGB_ALPHA;
  return {name, picture(type, 8, interleaved, static_cast<uint32_t>(channels) + 1), expected_image(channels, colour)};
}

std::vector<Kind> accepted_kinds() {
  std::vector<Kind> kinds;
  for (int depth : {1, 2, 4, 8}) kinds.push_back(grey_kind(depth));

  std::vector<uint16_t> rgb = random_values(kPixels * 3, 256, 3);
  kinds.push_back({"rgb", picture(PNG_COLOR_TYPE_RGB, 8, rgb, 3), expected_image(3, rgb)});
  Kind interlaced{"rgb interlaced", picture(PNG_COLOR_TYPE_RGB, 8, rgb, 3), expected_image(3, rgb)};
  interlaced.png.interlaced = true;
  kinds.push_back(interlaced);

  kinds.push_back(palette_kind("palette8", 8, 20, 20));
  kinds.push_back(palette_kind("palette4", 4, 16, 16));
  kinds.push_back(alpha_kind("grey+alpha opaque", 1, std::vector<uint16_t>(kPixels, 255)));
  kinds.push_back(alpha_kind("rgba opaque", 3, std::vector<uint16_t>(kPixels, 255)));

  // Transparency chunks whose transparent entries no pixel uses.
  Kind palette_trns = palette_kind("palette tRNS opaque", 8, 20, 19);
  palette_trns.png.alphas.assign(20, 255);
  palette_trns.png.alphas[19] = 0;
  kinds.push_back(palette_trns);
  {
    std::vector<uint16_t> values = random_values(kPixels, 200, 17);  // 250 never used
    Kind grey_trns{"grey tRNS opaque", picture(PNG_COLOR_TYPE_GRAY, 8, values, 1), expected_image(1, values)};
    grey_trns.png.transparent = std::vector<uint16_t>{250};
    kinds.push_back(grey_trns);
  }
  {
    std::vector<uint16_t> values = random_values(kPixels, 3, 23);  // 2-bit, level 3 never used
    Kind small{"grey2 tRNS opaque", picture(PNG_COLOR_TYPE_GRAY, 2, values, 1), {}};
    small.png.transparent = std::vector<uint16_t>{3};
    for (uint16_t& v : values) v = static_cast<uint16_t>(v * 85);
    small.expected = expected_image(1, values);
    kinds.push_back(small);
  }
  {
    std::vector<uint16_t> values = random_values(kPixels * 3, 200, 29);
    Kind rgb_trns{"rgb tRNS opaque", picture(PNG_COLOR_TYPE_RGB, 8, values, 3), expected_image(3, values)};
    rgb_trns.png.transparent = std::vector<uint16_t>{255, 255, 255};
    kinds.push_back(rgb_trns);
  }
  return kinds;
}

// Translucent kinds: kept with their alpha as one more channel.
std::vector<Kind> translucent_kinds() {
  std::vector<Kind> kinds;
  std::vector<uint16_t> nearly(kPixels, 255);
  nearly[40] = 254;
  kinds.push_back(alpha_kind("rgba one pixel 254", 3, nearly));
  std::vector<uint16_t> clear(kPixels, 255);
  clear[0] = 0;
  kinds.push_back(alpha_kind("grey+alpha one pixel clear", 1, clear));

  Kind palette_trns = palette_kind("palette tRNS used", 8, 20, 20);
  palette_trns.png.alphas.assign(20, 255);
  palette_trns.png.alphas[3] = 128;
  kinds.push_back(palette_trns);

  Kind grey_trns = grey_kind(8);
  grey_trns.name = "grey tRNS used";
  grey_trns.png.transparent = std::vector<uint16_t>{static_cast<uint16_t>(grey_trns.expected.samples[10])};
  kinds.push_back(grey_trns);

  std::vector<uint16_t> rgb = random_values(kPixels * 3, 256, 3);
  Kind rgb_trns{"rgb tRNS used", picture(PNG_COLOR_TYPE_RGB, 8, rgb, 3), {}};
  rgb_trns.png.transparent = std::vector<uint16_t>{rgb[30], rgb[31], rgb[32]};
  kinds.push_back(rgb_trns);
  return kinds;
}

// Sixteen-bit kinds: read scaled to 8 bits, refused for lossless coding even
// when every value would fit in eight.
std::vector<Kind> sixteen_bit_kinds() {
  std::vector<Kind> kinds;
  kinds.push_back({"grey16", picture(PNG_COLOR_TYPE_GRAY, 16, random_values(kPixels, 256, 1), 1), {}});
  kinds.push_back({"rgb16", picture(PNG_COLOR_TYPE_RGB, 16, random_values(kPixels * 3, 65536, 2), 3), {}});
  std::vector<uint16_t> rgba16 = random_values(kPixels * 4, 256, 4);
  for (size_t i = 3; i < rgba16.size(); i += 4) rgba16[i] = 65535;
  kinds.push_back({"rgba16 opaque", picture(PNG_COLOR_TYPE_RGB_ALPHA, 16, rgba16, 4), {}});
  return kinds;
}

void expect_error(const std::function<void()>& call, int status, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no error; expected " << message;
  } catch (const Error& error) {
    EXPECT_EQ(classic_status(error.code()), status);
    EXPECT_EQ(error.message(), message);
  }
}

std::string reading_message(const fs::path& path) { return "Error reading file \"" + path.string() + "\"."; }

class PngInput : public ScratchDir {
 protected:
  fs::path put(const Kind& kind) {
    fs::path path = dir / "input.png";
    write_png_file(path, kind.png);
    return path;
  }
  fs::path put_pnm(const Image& image) {
    fs::path path = dir / (image.channels == 1 ? "input.pgm" : "input.ppm");
    write_image(path.string(), image);
    return path;
  }
};

TEST_F(PngInput, EveryAcceptedKindGivesTheSamplesOfTheEquivalentPnm) {
  for (const Kind& kind : accepted_kinds()) {
    SCOPED_TRACE(kind.name);
    const Image from_png = read_image(put(kind).string());
    const Image from_pnm = read_image(put_pnm(kind.expected).string());
    EXPECT_EQ(from_png.width, from_pnm.width);
    EXPECT_EQ(from_png.height, from_pnm.height);
    EXPECT_EQ(from_png.channels, from_pnm.channels);
    EXPECT_EQ(from_png.samples, from_pnm.samples);
    EXPECT_EQ(from_png.samples, kind.expected.samples);
  }
}

TEST_F(PngInput, PngAndPnmCodeToTheSameStream) {
  for (const Kind& kind : accepted_kinds()) {
    SCOPED_TRACE(kind.name);
    EncodeOptions options;
    options.threads = 1;
    encode_file(put(kind).string(), (dir / "png.kv2").string(), 4.0f, options);
    encode_file(put_pnm(kind.expected).string(), (dir / "pnm.kv2").string(), 4.0f, options);
    EXPECT_EQ(read_file(dir / "png.kv2"), read_file(dir / "pnm.kv2"));
  }
}

TEST_F(PngInput, TheProgramTakesPngInput) {
  const Kind kind = accepted_kinds()[6];  // palette8
  put(kind);
  put_pnm(kind.expected);
  RunResult from_png = run_in(dir, KV_KELVANE, {"input.png", "png.kv2", "8"});
  RunResult from_pnm = run_in(dir, KV_KELVANE, {"input.ppm", "pnm.kv2", "8"});
  EXPECT_EQ(from_png.status, 0);
  EXPECT_EQ(from_pnm.status, 0);
  EXPECT_NE(from_png.out.find("Encoding \"input.png\" to \"png.kv2\" (13x5, 3 channels)"), std::string::npos);
  EXPECT_EQ(read_file(dir / "png.kv2"), read_file(dir / "pnm.kv2"));
  EXPECT_TRUE(fs::exists(dir / "dir.ppm"));
}

TEST_F(PngInput, TranslucentImagesKeepTheirAlphaAsTheLastChannel) {
  for (const Kind& kind : translucent_kinds()) {
    SCOPED_TRACE(kind.name);
    const Image image = read_image(put(kind).string());
    ASSERT_TRUE(image.channels == 2 || image.channels == 4);
    bool translucent = false;
    for (size_t i = static_cast<size_t>(image.channels - 1); i < image.samples.size(); i += static_cast<size_t>(image.channels))
      translucent = translucent || image.samples[i] != 255;
    EXPECT_TRUE(translucent);
    if (!kind.expected.samples.empty()) {
      EXPECT_EQ(image.channels, kind.expected.channels + 1);
      for (size_t p = 0; p < kPixels; ++p)
        for (int c = 0; c < kind.expected.channels; ++c)
          EXPECT_EQ(image.samples[p * static_cast<size_t>(image.channels) + static_cast<size_t>(c)],
                    kind.expected.samples[p * static_cast<size_t>(kind.expected.channels) + static_cast<size_t>(c)]);
    }
  }
  // The classic program takes them now (it used to refuse them).
  RunResult r = run_in(dir, KV_KELVANE, {"input.png", "out.kv2", "1"});
  EXPECT_EQ(r.status, 0);
  r = run_in(dir, KV_KELVANE, {"out.kv2", "back.png"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_image((dir / "back.png").string()).samples, read_image((dir / "input.png").string()).samples);
}

TEST_F(PngInput, SixteenBitImagesAreReducedForLossyCodingAndRefusedForLossless) {
  for (const Kind& kind : sixteen_bit_kinds()) {
    SCOPED_TRACE(kind.name);
    const fs::path path = put(kind);
    const Image image = read_image(path.string());
    EXPECT_EQ(image.channels, kind.png.colour_type == PNG_COLOR_TYPE_GRAY ? 1 : 3);
    expect_error([&] { encode_file(path.string(), (dir / "out.kv2").string(), 1.0f); }, 255,
                 "Error reading file \"" + path.string() + "\": samples deeper than 8 bits cannot be coded losslessly.");
    EXPECT_FALSE(fs::exists(dir / "out.kv2"));
    std::vector<std::string> warnings;
    EncodeOptions options;
    options.warnings = &warnings;
    encode_file(path.string(), (dir / "out.kv2").string(), 8.0f, options);
    EXPECT_EQ(warnings.size(), 1u);
    EXPECT_EQ(read_file(dir / "out.kv2"), encode(image, 8.0f));
    fs::remove(dir / "out.kv2");
  }
  const std::vector<uint16_t> wide = {0, 128, 129, 257, 32767, 65280, 65535};
  PngPicture grey16 = picture(PNG_COLOR_TYPE_GRAY, 16, std::vector<uint16_t>(kPixels, 0), 1);
  grey16.width = static_cast<uint32_t>(wide.size());
  grey16.height = 1;
  grey16.rows = pack_rows(wide, grey16.width, 16);
  write_png_file(dir / "wide.png", grey16);
  EXPECT_EQ(read_image((dir / "wide.png").string()).samples, (std::vector<int32_t>{0, 0, 1, 1, 127, 254, 255}));
}

TEST_F(PngInput, DamagedFilesAreRefused) {
  const fs::path path = put(accepted_kinds()[4]);  // rgb
  const std::vector<uint8_t> good = read_file(path);
  ASSERT_NO_THROW(read_image(path.string()));
  const fs::path bad = dir / "bad.png";
  // Every truncation, down to a bare signature and less.
  for (size_t length = 0; length < good.size(); ++length) {
    write_file(bad, std::vector<uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length)));
    expect_error([&] { read_image(bad.string()); }, 255, reading_message(bad));
  }
  // A changed byte anywhere after the signature breaks a checksum or the
  // structure.
  for (size_t at = 8; at < good.size(); at += 7) {
    std::vector<uint8_t> flipped = good;
    flipped[at] ^= 0x10;
    write_file(bad, flipped);
    SCOPED_TRACE(at);
    expect_error([&] { read_image(bad.string()); }, 255, reading_message(bad));
  }
  std::vector<uint8_t> garbage(200, 0xA5);  // a signature, then noise
  std::copy(good.begin(), good.begin() + 8, garbage.begin());
  write_file(bad, garbage);
  expect_error([&] { encode_file(bad.string(), (dir / "out.kv2").string(), 1.0f); }, 255, reading_message(bad));
}

class PngOutput : public ScratchDir {};

TEST_F(PngOutput, NamesEndingInPngGetPngWithTheDecodedSamples) {
  for (const Image& image : {test_image("coins.pgm", 40, 30, 21, 14), test_image("chelsea.ppm", 100, 80, 17, 11)}) {
    const std::vector<uint8_t> stream = encode(image, 6.0f);
    write_file(dir / "s.kv2", stream);
    const Image decoded = decode(stream);
    for (const char* name : {"out.png", "OUT.PNG", "out.Png"}) {
      SCOPED_TRACE(name);
      decode_file((dir / "s.kv2").string(), (dir / name).string());
      const std::vector<uint8_t> bytes = read_file(dir / name);
      ASSERT_GE(bytes.size(), 8u);
      EXPECT_EQ(bytes[1], 'P');
      const Image back = read_image((dir / name).string());
      EXPECT_EQ(back.channels, image.channels);
      EXPECT_EQ(back.samples, decoded.samples);
      fs::remove(dir / name);
    }
    // Any other name gets PNM, as before.
    for (const char* name : {"out.png.pgm", "outpng", "out.pnm"}) {
      decode_file((dir / "s.kv2").string(), (dir / name).string());
      EXPECT_EQ(read_file(dir / name)[0], 'P') << name;
    }
  }
}

TEST_F(PngOutput, TheProgramWritesTheSamePng) {
  write_file(dir / "s.kv2", encode(test_image("chelsea.ppm", 10, 10, 9, 9), 1.0f));
  RunResult r = run_in(dir, KV_KELVANE, {"s.kv2", "cli.PNG"});
  EXPECT_EQ(r.status, 0);
  decode_file((dir / "s.kv2").string(), (dir / "api.png").string());
  EXPECT_EQ(read_file(dir / "cli.PNG"), read_file(dir / "api.png"));
}

TEST_F(PngOutput, ImagesOfOtherChannelCountsCreateNoFile) {
  Image five{2, 2, 5, {}};
  for (int i = 0; i < 20; ++i) five.samples.push_back(10 * i);
  write_file(dir / "five.kv2", encode(five, 1.0f));
  const fs::path out = dir / "five.png";
  expect_error([&] { decode_file((dir / "five.kv2").string(), out.string()); }, 255,
               "Error writing file \"" + out.string() + "\".");
  EXPECT_FALSE(fs::exists(out));
  expect_error([&] { write_image(out.string(), five); }, 255, "Error writing file \"" + out.string() + "\".");
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(PngOutput, WrittenPngsReadBackExactly) {
  for (const Image& image : {test_image("camera.pgm", 0, 0, 31, 3), test_image("astronaut.ppm", 5, 5, 4, 19)}) {
    write_image((dir / "x.png").string(), image);
    const Image back = read_image((dir / "x.png").string());
    EXPECT_EQ(back.width, image.width);
    EXPECT_EQ(back.height, image.height);
    EXPECT_EQ(back.samples, image.samples);
  }
}

}  // namespace
}  // namespace kelvane::test
