// Exit statuses and what the messages say, the help texts, and the choice
// between the new form and the classic one.
#include "cli_support.h"

namespace cli::test {
namespace {

using Statuses = CliTest;

TEST_F(Statuses, UsageErrorsEndWithTwoAndDoNothing) {
  put_images();
  const std::vector<std::string> before = names_in(dir);
  const std::vector<std::vector<std::string>> bad = {
      {"encode"},
      {"encode", "gray.pgm", "--rod"},
      {"encode", "gray.pgm", "-q", "abc"},
      {"encode", "gray.pgm", "-q", ""},
      {"encode", "gray.pgm", "-q", "nan"},
      {"encode", "gray.pgm", "-q", "inf"},
      {"encode", "gray.pgm", "-q", "8x"},
      {"encode", "gray.pgm", "-q"},
      {"encode", "gray.pgm", "-q", "8", "--lossless"},
      {"encode", "gray.pgm", "--target-size", "0"},
      {"encode", "gray.pgm", "--target-bpp", "-1"},
      {"encode", "gray.pgm", "--target-psnr", "40", "--target-bpp", "1"},
      {"encode", "gray.pgm", "colour.ppm", "-o", "x.kv2"},
      {"encode", "gray.pgm", "-o", "x.kv2", "--output-dir", "."},
      {"encode", "gray.pgm", "--force", "--skip-existing"},
      {"encode", "gray.pgm", "-j", "0"},
      {"encode", "gray.pgm", "--effort", "2"},
      {"encode", "-", "-", "-o", "x.kv2"},
      {"encode", "gray.pgm", "-o", ""},                // an unset variable names no file
      {"decode", "x.kv2", "--output-dir", ""},
      {"encode", "-", "--json"},                       // the stream and the lines would share standard output
      {"encode", "-r", ".", "-o", "-"},                // two images found, one output
      {"encode", "gray.pgm", "--alpha-quantization", "nan"},
      {"encode", "gray.pgm", "--alpha-quantization", "4q"},
      {"encode", "gray.pgm", "--alpha-quantization", ""},
      {"decode", "x.kv2", "--format", "jpg"},
      {"decode", "x.kv2", "--max-memory", "lots"},
      {"info"},
      {"compare", "gray.pgm"},
      {"--bogus"},
      {"-q", "8"},
  };
  for (const auto& args : bad) {
    Result r = kelvane(args);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(r.out, "") << args.back();
    EXPECT_EQ(r.err.rfind("kelvane: ", 0), 0u) << args.back() << ": " << r.err;
  }
  EXPECT_EQ(names_in(dir), before);
}

TEST_F(Statuses, FailuresEndWithOneAndNameTheFileAndTheReason) {
  put_images();
  ASSERT_EQ(kelvane({"encode", "colour.ppm", "-o", "c.kv2"}).status, 0);
  const std::string stream = text_of(dir / "c.kv2");
  write_file(dir / "cut.kv2", stream.substr(0, stream.size() / 2));
  write_file(dir / "other.kv2", "P5 this is no stream");
  write_file(dir / "photo.jpg", "\xFF\xD8\xFF\xE0 a JPEG file");
  // A PNG header announcing 65536 columns.
  write_file(dir / "wide.png", std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\x01\0\0\0\0\0\x01\x08\0\0\0\0", 29) +
                                   std::string(8, '\0'));
  write_file(dir / "deep.png", std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x10\0\0\0\x10\x10\0\0\0\0", 29) +
                                   std::string(8, '\0'));
  write_file(dir / "deep.pgm", std::string("P5 2 1 65535\n\x12\x34\xAB\xCD"));
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"decode", "cut.kv2", "-o", "-"}, "cut.kv2: the stream ends early (truncated or damaged)"},
      {{"decode", "other.kv2", "-o", "-"}, "other.kv2: not a kelvane stream"},
      {{"decode", "c.kv2", "-o", "-", "--max-memory", "1K"}, "c.kv2: the image needs more memory than --max-memory"},
      {{"info", "other.kv2"}, "other.kv2: not a kelvane stream"},
      // Endless sources are given up at their first bytes.
      {{"info", "/dev/zero"}, "/dev/zero: not a kelvane stream"},
      {{"decode", "/dev/zero", "-o", "-"}, "/dev/zero: not a kelvane stream"},
      {{"encode", "/dev/zero", "-o", "-"}, "/dev/zero: not a PNM or PNG image"},
      {{"encode", "photo.jpg", "-o", "-"}, "photo.jpg: not a PNM or PNG image"},
      {{"encode", "wide.png", "-o", "-"}, "wide.png: images wider than 65535 pixels are not supported"},
      {{"encode", "deep.png", "-o", "-"}, "deep.png: the PNG image is damaged or of a kind not supported"},
      {{"encode", "deep.pgm", "--lossless", "-o", "-"}, "deep.pgm: samples deeper than 8 bits cannot be coded losslessly"},
      {{"encode", "missing.pgm", "-o", "-"}, "missing.pgm: no such file or directory"},
      {{"compare", "gray.pgm", "colour.ppm"}, "gray.pgm and colour.ppm differ in shape: 24x20x1 and 32x24x3"},
  };
  for (const auto& [args, message] : cases) {
    Result r = kelvane(args);
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.out, "") << message;
    EXPECT_NE(r.err.find("kelvane: " + message), std::string::npos) << r.err;
  }
}

TEST_F(Statuses, HelpAndVersion) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> pages = {
      {{"--help"}, "Subcommands:"},
      {{"-h"}, "Exit status: 0"},
      {{"encode", "--help"}, "-q,--quantization Q"},
      {{"encode", "--help"}, "--alpha-quantization Q"},
      {{"decode", "--help"}, "--max-memory BYTES"},
      {{"decode", "--help"}, "--format png|pam|pnm"},
      {{"info", "--help"}, "colour_matrix"},
      {{"compare", "--help"}, "Gaussian window"},
  };
  for (const auto& [args, text] : pages) {
    Result r = kelvane(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: kelvane"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
  }
  Result r = kelvane({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "kelvane 2.0.0 (writes and reads Kelvane 2.0 streams)\n");
}

// The classic form answers as always; a hint goes to standard error.
TEST_F(Statuses, WithoutArgumentsOrWithAMistypedCommandTheClassicFormAndAHint) {
  Result r = kelvane({});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out.rfind("Kelvane 2.0 - image compression\n", 0), 0u);
  EXPECT_NE(r.err.find("kelvane --help"), std::string::npos);
  r = kelvane({"encod", "x.png"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("new_decoder: cannot open \"encod\""), std::string::npos);
  EXPECT_EQ(r.err, "kelvane: 'encod' is not a command; did you mean 'encode'? (kelvane --help)\n");
}

}  // namespace
}  // namespace cli::test
