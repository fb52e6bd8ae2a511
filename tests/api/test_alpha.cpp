// Alpha and metadata through the library: images with alpha and their
// metadata come back from streams and files, streams keep decoding as before
// with a trailer, and damage to a trailer costs only what it touched.
#include <png.h>
#include <zlib.h>

#include <cstring>

#include "api_support.h"

namespace kelvane::test {
namespace {

const fs::path kImages = fs::path(KV_TEST_DATA) / "images";

// The footer's first four bytes: the length of the trailer's chunks.
size_t trailer_length(const std::vector<uint8_t>& stream) {
  const uint8_t* footer = stream.data() + stream.size() - 20;
  EXPECT_EQ(std::memcmp(footer + 12, "KV2TRAIL", 8), 0);
  return size_t{footer[0]} | size_t{footer[1]} << 8 | size_t{footer[2]} << 16 | size_t{footer[3]} << 24;
}

std::vector<uint8_t> without_trailer(const std::vector<uint8_t>& stream) {
  return {stream.begin(), stream.end() - static_cast<std::ptrdiff_t>(trailer_length(stream) + 20)};
}

std::vector<int32_t> channel(const Image& image, int c) {
  std::vector<int32_t> out;
  for (size_t i = static_cast<size_t>(c); i < image.samples.size(); i += static_cast<size_t>(image.channels))
    out.push_back(image.samples[i]);
  return out;
}

// A profile libpng takes: a header for the image's colour space, an empty
// tag table and 400 bytes of noise (libpng ignores an iCCP chunk that
// compresses to a few dozen bytes).
std::vector<uint8_t> icc_profile(bool colour) {
  std::vector<uint8_t> icc(532, 0);
  uint32_t seed = 1;
  for (size_t i = 132; i < icc.size(); ++i) icc[i] = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
  icc[2] = 532 >> 8;
  icc[3] = 532 & 0xFF;
  icc[8] = 2;
  icc[9] = 0x10;
  std::memcpy(&icc[12], "mntr", 4);
  std::memcpy(&icc[16], colour ? "RGB " : "GRAY", 4);
  std::memcpy(&icc[20], "XYZ ", 4);
  std::memcpy(&icc[36], "acsp", 4);
  const uint8_t d50[12] = {0, 0, 0xF6, 0xD6, 0, 1, 0, 0, 0, 0, 0xD3, 0x2D};
  std::memcpy(&icc[68], d50, 12);
  return icc;
}

Metadata sample_metadata(bool colour) {
  Metadata metadata;
  metadata.icc = icc_profile(colour);
  metadata.exif = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0};
  const std::string xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF/></x:xmpmeta>";
  metadata.xmp.assign(xmp.begin(), xmp.end());
  return metadata;
}

// A 96 x 96 window of a translucent test photograph holding clear, soft
// and opaque pixels, as a PNG in `dir`.
fs::path translucent_png(const fs::path& dir, const char* name) {
  const Image whole = read_image((kImages / name).string());
  Image window{96, 96, whole.channels, {}};
  for (int y = 70; y < 166; ++y) {
    const auto row = whole.samples.begin() + static_cast<std::ptrdiff_t>(y * whole.width + 8) * whole.channels;
    window.samples.insert(window.samples.end(), row, row + 96 * whole.channels);
  }
  const fs::path path = dir / (std::string("window_") + name);
  write_image(path.string(), window);
  return path;
}

class Alpha : public ScratchDir {};

TEST_F(Alpha, TranslucentPngsComeBackExactlyAtOneAndTheirAlphaAtAnyQuantization) {
  for (const char* name : {"chelsea_rgba.png", "chelsea_ga.png"}) {
    SCOPED_TRACE(name);
    const fs::path png = translucent_png(dir, name);
    const Image input = read_image(png.string());
    ASSERT_TRUE(input.channels == 2 || input.channels == 4);
    const int alpha = input.channels - 1;
    for (float q : {1.0f, 12.0f}) {
      const fs::path stream = dir / "a.kv2", output = dir / "a.png";
      encode_file(png.string(), stream.string(), q);
      decode_file(stream.string(), output.string());
      const Image back = read_image(output.string());
      ASSERT_EQ(back.channels, input.channels);
      EXPECT_EQ(channel(back, alpha), channel(input, alpha));
      if (q <= 1) {
        EXPECT_EQ(back.samples, input.samples);
      }
      // The same through memory, with the report's rebuilt image.
      EncodeReport report;
      EncodeOptions options;
      options.report = &report;
      const std::vector<uint8_t> bytes = encode(input, q, options);
      EXPECT_EQ(bytes, read_file(stream));
      EXPECT_EQ(decode(bytes).samples, back.samples);
      EXPECT_EQ(report.rebuilt.samples, back.samples);
    }
    // Above 1 the colour under clear pixels is free unless kept: freeing it
    // must pay.
    EncodeOptions exact;
    exact.exact = true;
    EXPECT_LT(encode(input, 8.0f).size(), encode(input, 8.0f, exact).size());
  }
}

TEST_F(Alpha, StreamsDecodeAlikeWithAndWithoutTheirTrailer) {
  const Image rgba = read_image(translucent_png(dir, "chelsea_rgba.png").string());
  for (float q : {1.0f, 6.0f}) {
    EncodeOptions options;
    options.alpha_quantization = 4;
    options.exact = true;
    Image with_metadata = rgba;
    with_metadata.metadata = sample_metadata(true);
    const std::vector<uint8_t> stream = encode(with_metadata, q, options);
    const std::vector<uint8_t> bare = without_trailer(stream);
    // A decoder that knows nothing of trailers reads the whole file as the
    // bare stream; here that decoder is the library given a file whose footer
    // is gone, so that it sees no trailer.
    std::vector<uint8_t> footless(stream.begin(), stream.end() - 20);
    DecodeReport report;
    DecodeOptions tell;
    tell.report = &report;
    const Image plain = decode(bare);
    EXPECT_EQ(plain.channels, 3);
    EXPECT_EQ(decode(footless, tell).samples, plain.samples);
    // Bytes that hold no readable trailer, and the alpha chunk they begin with.
    EXPECT_EQ(report.warnings.size(), 2u);
    EXPECT_TRUE(report.alpha_lost);
    const Image full = decode(stream);
    EXPECT_EQ(full.channels, 4);
    EXPECT_EQ(full.metadata.icc, with_metadata.metadata.icc);
    Image colour = full;
    colour.samples.clear();
    for (size_t i = 0; i < full.samples.size(); ++i)
      if (i % 4 != 3) colour.samples.push_back(full.samples[i]);
    EXPECT_EQ(colour.samples, plain.samples);
  }
}

TEST_F(Alpha, MetadataComesBackByteForByteInPngsAndStripRemovesIt) {
  for (bool colour : {false, true}) {
    Image image = test_image(colour ? "chelsea.ppm" : "camera.pgm", 30, 40, 33, 21);
    image.metadata = sample_metadata(colour);
    const fs::path input = dir / "in.png", stream = dir / "s.kv2", output = dir / "out.png";
    write_image(input.string(), image);
    for (bool strip : {false, true}) {
      EncodeOptions options;
      options.strip_metadata = strip;
      encode_file(input.string(), stream.string(), 3.0f, options);
      decode_file(stream.string(), output.string());
      const Image back = read_image(output.string());
      const TrailerInfo info = read_trailer_info(read_file(stream));
      EXPECT_FALSE(info.alpha);
      if (strip) {
        EXPECT_TRUE(back.metadata.empty());
        EXPECT_TRUE(info.metadata.empty());
        // Nothing to carry: the stream is today's stream.
        EXPECT_EQ(read_file(stream), encode(test_image(colour ? "chelsea.ppm" : "camera.pgm", 30, 40, 33, 21), 3.0f));
      } else {
        EXPECT_EQ(back.metadata.icc, image.metadata.icc);
        EXPECT_EQ(back.metadata.exif, image.metadata.exif);
        EXPECT_EQ(back.metadata.xmp, image.metadata.xmp);
        EXPECT_EQ(info.metadata.exif, image.metadata.exif);
      }
    }
  }
  // A packet beyond libpng's own 8 MB cap is carried whole too.
  Image image = test_image("camera.pgm", 0, 0, 8, 8);
  image.metadata.xmp.assign(9 << 20, 'x');
  write_image((dir / "large.png").string(), image);
  EXPECT_EQ(read_image((dir / "large.png").string()).metadata.xmp, image.metadata.xmp);
}

// A PNG whose ICC profile libpng refuses (it declares more bytes than it
// holds): the image is read, the profile left out, and encoding says so
// unless it strips the metadata anyway.
TEST_F(Alpha, AnInvalidIccProfileIsLeftOutWithAWarning) {
  const std::string png = (kImages / "invalid_icc.png").string(), stream = (dir / "icc.kv2").string();
  const Image image = read_image(png);
  EXPECT_TRUE(image.metadata.icc_invalid);
  EXPECT_TRUE(image.metadata.icc.empty());
  std::vector<std::string> warnings;
  EncodeOptions options;
  options.warnings = &warnings;
  encode_file(png, stream, 8.0f, options);
  EXPECT_EQ(warnings, std::vector<std::string>{"Warning: \"" + png + "\" has an invalid ICC profile; it is left out."});
  EXPECT_TRUE(read_trailer_info(read_file(stream)).metadata.empty());
  warnings.clear();
  encode(image, 8.0f, options);
  EXPECT_EQ(warnings, std::vector<std::string>{"Warning: the image has an invalid ICC profile; it is left out."});
  warnings.clear();
  options.strip_metadata = true;
  encode(image, 8.0f, options);
  EXPECT_TRUE(warnings.empty());
}

TEST_F(Alpha, DamagedTrailersStillGiveTheImageAndSaySo) {
  Image image = test_image("chelsea.ppm", 0, 0, 40, 30);
  Image rgba{image.width, image.height, 4, {}};
  for (size_t p = 0; p < image.samples.size() / 3; ++p) {
    rgba.samples.insert(rgba.samples.end(), image.samples.begin() + 3 * p, image.samples.begin() + 3 * p + 3);
    rgba.samples.push_back(static_cast<int32_t>(p % 256));
  }
  rgba.metadata = sample_metadata(true);
  const std::vector<uint8_t> stream = encode(rgba, 1.0f);
  const std::vector<int32_t> colour = decode(without_trailer(stream)).samples;
  const size_t footer = stream.size() - 20;
  const size_t start = footer - trailer_length(stream);
  auto damaged = [&](std::vector<uint8_t> bytes, const char* what) {
    SCOPED_TRACE(what);
    DecodeReport report;
    DecodeOptions options;
    options.report = &report;
    const Image back = decode(bytes, options);
    EXPECT_EQ(back.channels, 3);
    EXPECT_EQ(back.samples, colour);
    EXPECT_FALSE(report.warnings.empty());
    // The file calls write the image and say the same.
    write_file(dir / "bad.kv2", bytes);
    DecodeReport file_report;
    options.report = &file_report;
    decode_file((dir / "bad.kv2").string(), (dir / "bad.png").string(), options);
    EXPECT_EQ(read_image((dir / "bad.png").string()).channels, 3);
    EXPECT_EQ(file_report.warnings, report.warnings);
    return report;
  };
  // Cut short, the trailer still begins with the alpha chunk's header: told
  // as alpha lost, and by read_trailer_info without decoding.
  for (size_t cut : {size_t{1}, size_t{20}, stream.size() - start - 12}) {
    const std::vector<uint8_t> cut_short(stream.begin(), stream.end() - static_cast<std::ptrdiff_t>(cut));
    EXPECT_TRUE(damaged(cut_short, "truncated").alpha_lost);
    EXPECT_EQ(read_trailer_info(cut_short).warnings.size(), 1u);
  }
  std::vector<uint8_t> huge = stream;
  huge[footer + 3] = 0xFF;
  damaged(huge, "huge length");
  std::vector<uint8_t> wrong = stream;
  wrong[footer] ^= 4;
  damaged(wrong, "wrong length");
  // One byte of the last chunk (metadata) changed: the checksum drops every
  // chunk, and the report says the alpha is lost with them.
  std::vector<uint8_t> flipped = stream;
  flipped[footer - 1] ^= 1;
  EXPECT_TRUE(damaged(flipped, "checksum").alpha_lost);
  // A broken alpha plane behind a valid checksum: told as alpha lost.
  std::vector<uint8_t> alpha_broken(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(start));
  std::vector<uint8_t> chunks(stream.begin() + static_cast<std::ptrdiff_t>(start), stream.begin() + static_cast<std::ptrdiff_t>(footer));
  chunks[12] = 'X';  // the alpha stream's magic
  const uLong crc = crc32(0, chunks.data(), static_cast<uInt>(chunks.size()));
  alpha_broken.insert(alpha_broken.end(), chunks.begin(), chunks.end());
  alpha_broken.insert(alpha_broken.end(), stream.begin() + static_cast<std::ptrdiff_t>(footer), stream.end());
  for (int i = 0; i < 4; ++i) alpha_broken[alpha_broken.size() - 16 + i] = static_cast<uint8_t>(crc >> (8 * i));
  const DecodeReport report = damaged(alpha_broken, "alpha broken");
  EXPECT_TRUE(report.alpha);
  EXPECT_TRUE(report.alpha_lost);
}

TEST_F(Alpha, PamCarriesAlphaAndPnmDropsItWithAWarning) {
  const Image rgba = read_image(translucent_png(dir, "chelsea_rgba.png").string());
  const fs::path stream = dir / "a.kv2";
  write_file(stream, encode(rgba, 1.0f));
  DecodeReport report;
  DecodeOptions options;
  options.report = &report;
  decode_file(stream.string(), (dir / "a.pam").string(), options);
  EXPECT_FALSE(report.alpha_dropped);
  const Image pam = read_image((dir / "a.pam").string());
  EXPECT_EQ(pam.channels, 4);
  EXPECT_EQ(pam.samples, rgba.samples);
  // PAM is read as input too; malformed ones are refused.
  encode_file((dir / "a.pam").string(), (dir / "b.kv2").string(), 1.0f);
  EXPECT_EQ(read_file(dir / "b.kv2"), read_file(stream));
  const std::string two_pixels = "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n";
  write_file(dir / "ok.pam", std::vector<uint8_t>(two_pixels.begin(), two_pixels.end()));
  for (const std::string& bad : std::vector<std::string>{two_pixels, "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nENDHDR\n12345",
                                 "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 0\nENDHDR\n12",
                                 "P7\nWIDTH 99999\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\n12",
                                 "P7\nWIDTH 2\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\n12",
                                 "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 9\nENDHDR\n\x01\x0a",
                                 "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\n"}) {
    write_file(dir / "bad.pam", std::vector<uint8_t>(bad.begin(), bad.end()));
    EXPECT_THROW(read_image((dir / "bad.pam").string()), Error) << bad;
  }
  std::vector<uint8_t> good(two_pixels.begin(), two_pixels.end());
  good.insert(good.end(), {10, 0, 250, 255});
  write_file(dir / "ok.pam", good);
  EXPECT_EQ(read_image((dir / "ok.pam").string()).samples, (std::vector<int32_t>{10, 0, 250, 255}));
  decode_file(stream.string(), (dir / "a.ppm").string(), options);
  EXPECT_TRUE(report.alpha_dropped);
  EXPECT_EQ(read_image((dir / "a.ppm").string()).channels, 3);
  // The classic program prints the warning on standard error and succeeds.
  RunResult r = run_in(dir, KV_KELVANE, {"a.kv2", "c.ppm"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(read_file(dir / "c.ppm"), read_file(dir / "a.ppm"));
}

}  // namespace
}  // namespace kelvane::test
