// The library as a program uses it: results equal to the command line's
// files, calls running at the same time, failures handed back.
#include <bit>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "api_support.h"

namespace kelvane::test {
namespace {

const std::string kBanner =
    "Kelvane 2.0 - image compression\n"
    " encoding: kelvane image.pnm compressed.kv2 quantization\n"
    " decoding: kelvane compressed.kv2 image.pnm\n\n";

template <typename Call>
void expect_error(Call&& call, int status, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "no error; expected " << message;
  } catch (const Error& error) {
    EXPECT_EQ(classic_status(error.code()), status);
    EXPECT_EQ(error.message(), message);
    EXPECT_EQ(std::string(error.what()), message);
  }
}

// Everything printed to a console file while `call` runs.
template <typename Options, typename Call>
std::string console_of(Call&& call) {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  Options options;
  options.console = file;
  call(options);
  std::string text;
  std::rewind(file);
  for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
  std::fclose(file);
  return text;
}

class SameAsTheProgram : public ScratchDir {};

TEST_F(SameAsTheProgram, MemoryCodingEqualsTheProgramsFiles) {
  struct Case {
    Image image;
    const char* name;
    const char* q;
  } cases[] = {
      {test_image("coins.pgm", 20, 10, 37, 29), "image.pgm", "8"},
      {test_image("coins.pgm", 0, 0, 16, 16), "image.pgm", "1"},
      {test_image("astronaut.ppm", 60, 40, 25, 18), "image.ppm", "12.5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " q " + c.q);
    write_image((dir / c.name).string(), c.image);
    ASSERT_EQ(run_in(dir, KV_KELVANE, {c.name, "cli.kv2", c.q}).status, 0);
    ASSERT_EQ(run_in(dir, KV_KELVANE, {"cli.kv2", std::string("cli.") + (c.image.channels == 1 ? "pgm" : "ppm")}).status,
              0);
    const std::vector<uint8_t> stream = encode(c.image, std::stof(c.q));
    EXPECT_EQ(stream, read_file(dir / "cli.kv2"));
    const Image decoded = decode(stream);
    const Image cli = read_image((dir / (std::string("cli.") + (c.image.channels == 1 ? "pgm" : "ppm"))).string());
    EXPECT_EQ(decoded.width, c.image.width);
    EXPECT_EQ(decoded.channels, c.image.channels);
    EXPECT_EQ(decoded.samples, cli.samples);
    if (std::string(c.q) == "1") {
      EXPECT_EQ(decoded.samples, c.image.samples);  // lossless
    }
  }
}

TEST_F(SameAsTheProgram, FileCallsWriteTheProgramsFilesAndConsole) {
  const Image image = test_image("chelsea.ppm", 30, 30, 19, 23);
  write_image((dir / "image.ppm").string(), image);
  RunResult encoded = run_in(dir, KV_KELVANE, {(dir / "image.ppm").string(), (dir / "cli.kv2").string(), "6"});
  RunResult decoded = run_in(dir, KV_KELVANE, {(dir / "cli.kv2").string(), (dir / "cli.ppm").string()});
  ASSERT_EQ(encoded.status, 0);
  ASSERT_EQ(decoded.status, 0);
  const std::string api_encoded = console_of<EncodeOptions>([&](const EncodeOptions& options) {
    encode_file((dir / "image.ppm").string(), (dir / "cli.kv2").string(), 6.0f, options);
  });
  EXPECT_EQ(kBanner + api_encoded, encoded.out);
  const std::string api_decoded = console_of<DecodeOptions>([&](const DecodeOptions& options) {
    decode_file((dir / "cli.kv2").string(), (dir / "cli.ppm").string(), options);
  });
  EXPECT_EQ(kBanner + api_decoded, decoded.out);

  encode_file((dir / "image.ppm").string(), (dir / "api.kv2").string(), 6.0f);
  decode_file((dir / "api.kv2").string(), (dir / "api.ppm").string());
  EXPECT_EQ(read_file(dir / "api.kv2"), read_file(dir / "cli.kv2"));
  EXPECT_EQ(read_file(dir / "api.ppm"), read_file(dir / "cli.ppm"));
  EXPECT_EQ(encode(image, 6.0f), read_file(dir / "cli.kv2"));
}

TEST_F(SameAsTheProgram, DirectionPictureOnlyWhenAsked) {
  const Image image = test_image("coins.pgm", 5, 5, 24, 16);
  write_image((dir / "image.pgm").string(), image);
  const fs::path cli_dir = dir / "cli";
  fs::create_directory(cli_dir);
  ASSERT_EQ(run_in(cli_dir, KV_KELVANE, {(dir / "image.pgm").string(), "s.kv2", "8"}).status, 0);
  const fs::path here = fs::current_path();
  fs::current_path(dir);
  encode_file("image.pgm", "quiet.kv2", 8.0f);
  const bool quiet_picture = fs::exists("dir.pgm");
  fs::current_path(here);
  EXPECT_FALSE(quiet_picture);
  Image picture;
  EncodeOptions options;
  options.direction_picture = &picture;
  const std::vector<uint8_t> stream = encode(image, 8.0f, options);
  EXPECT_EQ(stream, read_file(dir / "quiet.kv2"));
  write_image((dir / "dir.pgm").string(), picture);
  EXPECT_EQ(read_file(dir / "dir.pgm"), read_file(cli_dir / "dir.pgm"));
}

TEST(Concurrency, EncodesAtTheSameTimeGiveTheBytesOfEachAlone) {
  const Image grey = test_image("camera.pgm", 100, 100, 64, 48);
  const Image colour = test_image("astronaut.ppm", 200, 150, 40, 40);
  EncodeOptions options;
  options.threads = 2;
  const std::vector<uint8_t> grey_alone = encode(grey, 10.0f, options);
  const std::vector<uint8_t> colour_alone = encode(colour, 3.0f, options);
  const std::vector<uint8_t> veluna_alone = veluna_compress(grey_alone);
  std::vector<uint8_t> grey_runs[3], colour_runs[3];
  Image decoded_runs[3];
  std::thread first([&] {
    for (auto& run : grey_runs) run = encode(grey, 10.0f, options);
  });
  std::thread second([&] {
    for (auto& run : colour_runs) run = encode(colour, 3.0f, options);
  });
  std::thread third([&] {
    for (auto& run : decoded_runs) run = decode(colour_alone);
  });
  const std::vector<uint8_t> veluna_meanwhile = veluna_compress(grey_alone);
  first.join();
  second.join();
  third.join();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(grey_runs[i], grey_alone);
    EXPECT_EQ(colour_runs[i], colour_alone);
    EXPECT_EQ(decoded_runs[i].samples, decode(colour_alone).samples);
  }
  EXPECT_EQ(veluna_meanwhile, veluna_alone);
}

TEST(Concurrency, ThreadCountDoesNotChangeTheStream) {
  const Image image = test_image("chelsea.ppm", 0, 0, 48, 40);
  EncodeOptions one;
  one.threads = 1;
  EncodeOptions all;
  EXPECT_EQ(encode(image, 5.0f, one), encode(image, 5.0f, all));
  // More threads than any machine gives are capped, not a system error.
  const Image large = test_image("chelsea.ppm", 0, 0, 256, 256);
  EncodeOptions excessive;
  excessive.threads = 100000;
  EXPECT_EQ(encode(large, 8.0f, excessive), encode(large, 8.0f, one));
}

class Failures : public ScratchDir {};

TEST_F(Failures, StreamsAreCheckedAndReportedWithTheProgramsMessages) {
  expect_error([] { decode(std::vector<uint8_t>{'X', '$', 0, 4, 0, 4, 1, 0, 0, 0x80, 0x3F}); }, 255,
               "Not a Kelvane 2.0 file.");
  // The header is read through the coder: an empty stream runs out first.
  expect_error([] { decode(std::vector<uint8_t>{}); }, 1, "get_bit: read error");
  // 64 x 64 x 3 samples need 48 KiB.
  const std::vector<uint8_t> header{'K', '$', 0, 64, 0, 64, 3, 0, 0, 0x80, 0x3F};
  DecodeOptions small;
  small.memory_limit = 48 * 1024 - 1;
  expect_error([&] { decode(header, small); }, 255, "Not enough memory.");
  small.memory_limit = 48 * 1024;
  expect_error([&] { decode(header, small); }, 1, "get_bit: read error");

  std::vector<uint8_t> stream = encode(test_image("coins.pgm", 0, 0, 32, 32), 1.0f);
  stream.resize(stream.size() / 2);
  expect_error([&] { decode(stream); }, 1, "get_bit: read error");
}

// A 16-bit ramp, coded as the 8-bit rounding of its samples when lossy.
TEST_F(Failures, DeepSamplesAreReducedWhenLossyAndRefusedWhenLossless) {
  std::vector<uint8_t> file{'P', '5', ' ', '4', ' ', '4', ' ', '6', '5', '5', '3', '5', '\n'};
  Image rounded{4, 4, 1, {}};
  for (int i = 0; i < 16; ++i) {
    const uint32_t value = static_cast<uint32_t>(i) * 4369u;  // 0 .. 65535
    file.push_back(static_cast<uint8_t>(value >> 8));
    file.push_back(static_cast<uint8_t>(value & 0xFF));
    rounded.samples.push_back(static_cast<int32_t>((value * 255 + 32767) / 65535));
  }
  const std::string deep = (dir / "deep.pgm").string(), stream = (dir / "deep.kv2").string();
  write_file(deep, file);
  for (float lossless : {1.0f, 0.5f})
    expect_error([&] { encode_file(deep, stream, lossless); }, 255,
                 "Error reading file \"" + deep + "\": samples deeper than 8 bits cannot be coded losslessly.");
  EXPECT_FALSE(fs::exists(stream));
  std::vector<std::string> warnings;
  EncodeOptions options;
  options.warnings = &warnings;
  encode_file(deep, stream, 4.0f, options);
  EXPECT_EQ(warnings, std::vector<std::string>{"Warning: \"" + deep +
                                               "\" has samples up to 65535; they are coded reduced to 8 bits."});
  EXPECT_EQ(read_file(stream), encode(rounded, 4.0f));
  // The same rules for the image read into memory, which keeps its depth.
  const Image read = read_image(deep);
  EXPECT_EQ(read.maxval, 65535);
  expect_error([&] { encode(read, 1.0f); }, 255, "Invalid image: samples deeper than 8 bits cannot be coded losslessly.");
  warnings.clear();
  EXPECT_EQ(encode(read, 4.0f, options), encode(rounded, 4.0f));
  EXPECT_EQ(warnings.size(), 1u);
}

// A PNM raster that ends early is refused, unless coded as read as the
// classic program codes it.
TEST_F(Failures, AShortRasterIsRefusedUnlessAskedFor) {
  const std::string image = (dir / "short.pgm").string(), stream = (dir / "short.kv2").string();
  write_file(image, std::vector<uint8_t>{'P', '5', ' ', '2', ' ', '2', ' ', '2', '5', '5', '\n', 9, 9, 9});
  expect_error([&] { encode_file(image, stream, 8.0f); }, 255,
               "Error reading file \"" + image + "\": the image ends early.");
  EXPECT_FALSE(fs::exists(stream));
  EncodeOptions options;
  options.short_raster = true;
  encode_file(image, stream, 1.0f, options);
  EXPECT_EQ(decode(read_file(stream)).samples, (std::vector<int32_t>{9, 9, 9, 0}));
}

// A stream file far shorter than its header's shape needs ends as its
// decode would, without the image, whether its size is known or not.
TEST_F(Failures, ShortStreamFilesAndPipesFailBeforeTheImage) {
  const std::string stream = (dir / "huge.kv2").string();
  write_file(stream, std::vector<uint8_t>{'K', '$', 0xFF, 0xFF, 0xFF, 0xFF, 3, 0, 0, 0, 0x41, 1, 2, 3});
  DecodeOptions unlimited;
  unlimited.memory_limit = uint64_t{1} << 46;
  const std::string out = (dir / "out.ppm").string();
  expect_error([&] { decode_file(stream, out, unlimited); }, 1, "get_bit: read error");
  std::FILE* pipe = ::popen(("cat " + stream).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  expect_error([&] { decode_file("/dev/fd/" + std::to_string(::fileno(pipe)), out, unlimited); }, 1,
               "get_bit: read error");
  ::pclose(pipe);
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(Failures, FilesAreCheckedAndNothingIsOverwritten) {
  const std::string missing = (dir / "missing.pgm").string();
  expect_error([&] { encode_file(missing, (dir / "out.kv2").string(), 8.0f); }, 255,
               "Error reading file \"" + missing + "\".");
  EXPECT_FALSE(fs::exists(dir / "out.kv2"));
  expect_error([&] { read_image(missing); }, 255, "Error reading file \"" + missing + "\".");
  const std::string missing_stream = (dir / "missing.kv2").string();
  expect_error([&] { decode_file(missing_stream, (dir / "out.pgm").string()); }, 1,
               "new_decoder: cannot open \"" + missing_stream + "\"");

  const std::string image = (dir / "image.pgm").string();
  write_image(image, test_image("coins.pgm", 0, 0, 8, 8));
  const std::vector<uint8_t> original = read_file(image);
  expect_error([&] { encode_file(image, image, 8.0f); }, 255, "Error writing file \"" + image + "\".");
  EXPECT_EQ(read_file(image), original);
  const std::string nowhere = (dir / "no/such/dir/out.kv2").string();
  expect_error([&] { encode_file(image, nowhere, 8.0f); }, 1, "new_encoder: cannot open \"" + nowhere + "\"");

  const std::string stream = (dir / "s.kv2").string();
  encode_file(image, stream, 8.0f);
  expect_error([&] { decode_file(stream, stream); }, 255, "Error writing file \"" + stream + "\".");
  expect_error([&] { decode_file(stream, "/dev/full"); }, 255, "Error writing file \"/dev/full\".");
}

TEST_F(Failures, ImagesOfImpossibleShapesAreRefused) {
  for (const Image& image : {Image{2, 2, 1, {1, 2, 3}}, Image{0, 2, 1, {}}, Image{2, 2, 0, {}},
                             Image{65536, 1, 1, std::vector<int32_t>(65536)}, Image{1, 1, 256, std::vector<int32_t>(256)}})
    expect_error([&] { encode(image, 1.0f); }, 255, "Invalid image.");
  for (const int32_t sample : {-1, 256, 100000})
    expect_error([&] { encode(Image{2, 1, 1, {0, sample}}, 1.0f); }, 255, "Invalid image: samples must lie in 0..255.");
  expect_error([] { Image::from_8bit(std::vector<uint8_t>(5), 2, 2, 1); }, 255, "Invalid image.");
  for (const float q : {NAN, -INFINITY})
    expect_error([&] { encode(Image{2, 1, 1, {0, 1}}, q); }, 1, "The quantization value is not a finite number.");
}

TEST_F(Failures, VelunaReportsItsOwnMessages) {
  expect_error([] { veluna_expand(std::vector<uint8_t>{}); }, 1, "get_bit: read error");
  const std::string input = (dir / "missing").string();
  expect_error([&] { veluna_compress_file(input, (dir / "out").string()); }, 1,
               "main: Cannot open \"" + input + "\"");
}

// The encoder's own account of its stream: the image and PSNR it reports are
// exactly what decoding the stream gives, in every mode (the rate-distortion
// mode at both efforts), lossless or not, grey or colour, and with any number
// of threads.
TEST(EncodeReport, RebuiltImageAndPsnrEqualTheDecodersOwn) {
  const Image images[] = {test_image("camera.pgm", 150, 100, 97, 70), test_image("chelsea.ppm", 120, 40, 66, 51),
                          Image{1, 1, 3, {7, 200, 90}}, Image{5, 1, 1, {0, 255, 3, 128, 77}}};
  for (const Image& image : images) {
    for (float q : {1.0f, 3.0f, 9.5f, 40.0f, 200.0f}) {
      for (int mode : {0, 1, 2}) {  // default; rate-distortion at effort 1 and 2
        const bool rdo = mode > 0;
        EncodeReport report;
        EncodeOptions options;
        options.rate_distortion = rdo;
        options.effort = mode == 2 ? 2 : 1;
        options.threads = rdo ? 2 : 1;
        options.report = &report;
        const std::vector<uint8_t> stream = encode(image, q, options);
        const std::string where = std::to_string(image.width) + "x" + std::to_string(image.height) + " q " +
                                  std::to_string(q) + (rdo ? " rdo effort " + std::to_string(options.effort) : "");
        EncodeOptions single;
        single.threads = 1;
        single.rate_distortion = rdo;
        single.effort = options.effort;
        EXPECT_EQ(stream, encode(image, q, single)) << where;
        const Image decoded = decode(stream);
        EXPECT_EQ(report.rebuilt.samples, decoded.samples) << where;
        EXPECT_EQ(report.rebuilt.channels, image.channels) << where;
        // The value the header carries (bytes 7-10, least significant first),
        // which effort 2 may have chosen.
        const uint32_t header_q = uint32_t{stream[7]} | uint32_t{stream[8]} << 8 | uint32_t{stream[9]} << 16 |
                                  uint32_t{stream[10]} << 24;
        EXPECT_EQ(report.quantization, std::bit_cast<float>(header_q)) << where;
        double squares = 0;
        for (size_t i = 0; i < image.samples.size(); ++i) {
          const double d = static_cast<double>(image.samples[i]) - decoded.samples[i];
          squares += d * d;
        }
        if (q <= 1.0f) {
          EXPECT_EQ(squares, 0.0) << where;
          EXPECT_TRUE(std::isinf(report.psnr)) << where;
        } else if (squares > 0) {
          EXPECT_DOUBLE_EQ(report.psnr, 10 * std::log10(255.0 * 255.0 * image.samples.size() / squares)) << where;
        }
      }
    }
  }
}

TEST(EightBit, ConvertsBothWaysWithClamping) {
  const std::vector<uint8_t> bytes{0, 1, 127, 128, 254, 255};
  const Image image = Image::from_8bit(bytes, 3, 2, 1);
  EXPECT_EQ(image.width, 3);
  EXPECT_EQ(image.height, 2);
  EXPECT_EQ(image.samples, (std::vector<int32_t>{0, 1, 127, 128, 254, 255}));
  EXPECT_EQ(image.to_8bit(), bytes);
  const Image wide{3, 1, 1, {-3, 300, 77}};
  EXPECT_EQ(wide.to_8bit(), (std::vector<uint8_t>{0, 255, 77}));
  // An 8-bit image through the codec and back, losslessly.
  const Image colour = Image::from_8bit(bytes, 2, 1, 3);
  EXPECT_EQ(decode(encode(colour, 0.5f)).to_8bit(), bytes);
}

TEST(Veluna, MemoryAndFilesAgree) {
  std::vector<uint8_t> data;
  for (int i = 0; i < 5000; ++i) data.push_back(static_cast<uint8_t>((i * i) % 251 % 7));
  const std::vector<uint8_t> compressed = veluna_compress(data);
  EXPECT_LT(compressed.size(), data.size() / 2);
  EXPECT_EQ(veluna_expand(compressed), data);
  EXPECT_EQ(veluna_expand(veluna_compress(std::vector<uint8_t>{})), std::vector<uint8_t>{});

  char pattern[] = "/tmp/kelvane-api-veluna-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  write_file(dir / "in", data);
  veluna_compress_file((dir / "in").string(), (dir / "c").string());
  EXPECT_EQ(read_file(dir / "c"), compressed);
  veluna_expand_file((dir / "c").string(), (dir / "out").string());
  EXPECT_EQ(read_file(dir / "out"), data);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelvane::test
