// The --json lines: one object per file with every field, on standard output.
#include <algorithm>
#include <sstream>

#include "cli_support.h"

namespace cli::test {
namespace {

using Json = CliTest;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(Json, EncodeWritesOneCompleteLinePerFile) {
  put_images();
  Result r = kelvane({"encode", "gray.pgm", "colour.ppm", "--json", "-j", "2", "-q", "8"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    const bool colour = json_field(line, "input") == "\"colour.ppm\"";
    const std::string output = colour ? "colour.kv2" : "gray.kv2";
    EXPECT_EQ(json_field(line, "output"), "\"" + output + "\"");
    EXPECT_EQ(json_field(line, "width"), colour ? "32" : "24");
    EXPECT_EQ(json_field(line, "height"), colour ? "24" : "20");
    EXPECT_EQ(json_field(line, "channels"), colour ? "3" : "1");
    EXPECT_EQ(json_field(line, "alpha"), "false");
    EXPECT_EQ(json_field(line, "quantization"), "8");
    EXPECT_EQ(json_field(line, "tuned"), "false");
    const double bytes = std::stod(json_field(line, "bytes"));
    EXPECT_EQ(bytes, fs::file_size(dir / output));
    EXPECT_NEAR(std::stod(json_field(line, "bits_per_pixel")), 8 * bytes / (colour ? 32 * 24 : 24 * 20), 1e-9);
    EXPECT_GT(std::stod(json_field(line, "psnr")), 25);
    EXPECT_GE(std::stod(json_field(line, "milliseconds")), 0);
  }
  // A failure or a skip has its line too.
  write_file(dir / "bad.pgm", "not an image");
  r = kelvane({"encode", "bad.pgm", "gray.pgm", "--json", "--skip-existing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "{\"input\":\"bad.pgm\",\"output\":\"bad.kv2\",\"error\":\"bad.pgm: not a PNM or PNG image\"}\n"
            "{\"input\":\"gray.pgm\",\"output\":\"gray.kv2\",\"skipped\":true}\n");
  // A name that is not UTF-8 still makes a valid line.
  write_file(dir / "b\xFF\xC3\xA9.pgm", "not an image");
  r = kelvane({"encode", "b\xFF\xC3\xA9.pgm", "--json"});
  EXPECT_EQ(json_field(r.out, "input"), "\"b\\ufffd\xC3\xA9.pgm\"");
  // An exact image has no finite PSNR: null.
  r = kelvane({"encode", "gray.pgm", "-o", "l.kv2", "--lossless", "--json"});
  EXPECT_EQ(json_field(r.out, "psnr"), "null");
  EXPECT_EQ(json_field(r.out, "quantization"), "1");
}

TEST_F(Json, DecodeInfoAndCompareLines) {
  put_images();
  ASSERT_EQ(kelvane({"encode", "colour.ppm", "-o", "c.kv2", "-q", "12.5"}).status, 0);
  ASSERT_EQ(kelvane({"encode", "gray.pgm", "-o", "g.kv2", "-q", "12.5"}).status, 0);
  Result r = kelvane({"decode", "c.kv2", "-o", "c.ppm", "--json"});
  EXPECT_EQ(json_field(r.out, "output"), "\"c.ppm\"");
  EXPECT_EQ(json_field(r.out, "bytes"), std::to_string(fs::file_size(dir / "c.kv2")));
  EXPECT_NE(json_field(r.out, "milliseconds"), "<missing>");

  // info reads the header only: a stream cut after it still answers.
  write_file(dir / "head.kv2", text_of(dir / "c.kv2").substr(0, 11 + 9 * 4));
  r = kelvane({"info", "c.kv2", "head.kv2", "g.kv2", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(json_field(lines[0], "width"), "32");
  EXPECT_EQ(json_field(lines[0], "quantization"), "12.5");
  EXPECT_EQ(json_field(lines[1], "colour_matrix"), json_field(lines[0], "colour_matrix"));
  const std::string before_warnings = lines[0].substr(0, lines[0].find("\"warnings\""));
  EXPECT_EQ(std::count(before_warnings.begin(), before_warnings.end(), '['), 4);
  EXPECT_EQ(json_field(lines[1], "bytes"), "47");
  EXPECT_EQ(json_field(lines[2], "colour_matrix"), "null");
  EXPECT_EQ(json_field(lines[2], "channels"), "1");
  r = kelvane({"info", "colour.ppm", "--json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(json_field(r.out, "error"), "\"colour.ppm: not a kelvane stream\"");

  r = kelvane({"compare", "colour.ppm", "c.kv2", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_GT(std::stod(json_field(r.out, "psnr")), 20);
  const std::string channels = json_field(r.out, "channel_psnr");
  EXPECT_EQ(std::count(channels.begin(), channels.end(), ','), 2);
  const double ssim = std::stod(json_field(r.out, "ssim"));
  EXPECT_GT(ssim, 0.5);
  EXPECT_LT(ssim, 1);
}

}  // namespace
}  // namespace cli::test
