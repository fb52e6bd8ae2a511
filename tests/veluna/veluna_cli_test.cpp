// The veluna program as a user meets it: what it prints, how it exits and
// which files it leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../entropy/test_support.h"
#include "run_program.h"

namespace kv {
namespace {

using ::testing::MatchesRegex;
using test::ProgramResult;
using Bytes = std::vector<uint8_t>;

const std::string kBanner = "VELUNA: a simple arithmetic coder\n";
const std::string kUsage = "Usage:\n veluna -c infile compressedfile\n veluna -d compressedfile outfile\n";

ProgramResult veluna(const std::vector<std::string>& arguments) { return test::run_program(KV_VELUNA, arguments); }

std::string vector_path(const std::string& name) { return std::string(KV_TEST_DATA) + "/veluna_vectors/" + name; }

void expect_success(const ProgramResult& result) {
  EXPECT_EQ(result.status, 0) << result.output;
  // The timing line ends the output without a newline.
  EXPECT_THAT(result.output, MatchesRegex("VELUNA: a simple arithmetic coder\n[0-9]+\\.[0-9][0-9][0-9]s"));
}

void expect_failure(const ProgramResult& result, const std::string& message) {
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, kBanner + message);
}

TEST(VelunaCommandLineTest, UsageErrors) {
  test::ScratchDir dir;
  std::string in = vector_path("abc"), out = dir.file("out");
  const std::vector<std::vector<std::string>> bad = {
      {}, {"-c"}, {"-c", in}, {"-x", in, out}, {"c", in, out}, {"", in, out}, {"-c", in, out, "extra"}, {"-C", in, out},
  };
  for (const auto& arguments : bad) {
    ProgramResult result = veluna(arguments);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.output, kBanner + kUsage);
  }
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(VelunaCommandLineTest, OnlyTheSecondCharacterOfTheOptionCounts) {
  test::ScratchDir dir;
  expect_success(veluna({"xc", vector_path("text"), dir.file("t.vl")}));
  EXPECT_EQ(test::read_file(dir.file("t.vl")), test::read_file(vector_path("text.vl")));
  expect_success(veluna({"-dfoo", dir.file("t.vl"), dir.file("t")}));
  EXPECT_EQ(test::read_file(dir.file("t")), test::read_file(vector_path("text")));
  expect_success(veluna({"+cd", vector_path("a"), dir.file("a.vl")}));
  EXPECT_EQ(test::read_file(dir.file("a.vl")), test::read_file(vector_path("a.vl")));
}

TEST(VelunaCommandLineTest, ReferenceFiles) {
  test::ScratchDir dir;
  for (std::string name : {"empty", "a", "abc", "allbytes", "text"}) {
    expect_success(veluna({"-c", vector_path(name), dir.file(name + ".vl")}));
    EXPECT_EQ(test::read_file(dir.file(name + ".vl")), test::read_file(vector_path(name + ".vl"))) << name;
    expect_success(veluna({"-d", vector_path(name + ".vl"), dir.file(name)}));
    EXPECT_EQ(test::read_file(dir.file(name)), test::read_file(vector_path(name))) << name;
  }
}

TEST(VelunaCommandLineTest, FilesThatCannotBeOpened) {
  test::ScratchDir dir;
  std::string missing = dir.file("missing");
  // A failure leaves no compressed file behind.
  expect_failure(veluna({"-c", missing, dir.file("m.vl")}), "main: Cannot open \"" + missing + "\"");
  EXPECT_FALSE(std::filesystem::exists(dir.file("m.vl")));

  std::string nowhere = dir.file("no/such/file");
  expect_failure(veluna({"-c", vector_path("a"), nowhere}), "new_encoder: cannot open \"" + nowhere + "\"");
  expect_failure(veluna({"-d", missing, dir.file("x")}), "new_decoder: cannot open \"" + missing + "\"");
  expect_failure(veluna({"-d", vector_path("a.vl"), nowhere}), "main: Cannot open \"" + nowhere + "\"");
}

TEST(VelunaCommandLineTest, DamagedCompressedFiles) {
  test::ScratchDir dir;
  expect_failure(veluna({"-d", vector_path("empty"), dir.file("out")}), "get_bit: read error");

  Bytes compressed = test::read_file(vector_path("text.vl"));
  for (size_t length : {size_t{1}, size_t{2}, compressed.size() / 2, compressed.size() - 5}) {
    test::write_file(dir.file("cut.vl"), Bytes(compressed.begin(), compressed.begin() + length));
    expect_failure(veluna({"-d", dir.file("cut.vl"), dir.file("out")}), "get_bit: read error");
  }
  // Damage in the middle decodes to other bytes until the data runs out or
  // happens to hold an end symbol; either way the program ends normally.
  for (size_t position : {size_t{0}, size_t{100}, compressed.size() / 2}) {
    Bytes damaged = compressed;
    damaged[position] ^= 0x5A;
    test::write_file(dir.file("bad.vl"), damaged);
    ProgramResult result = veluna({"-d", dir.file("bad.vl"), dir.file("out")});
    EXPECT_TRUE(result.status == 0 || result.output == kBanner + "get_bit: read error" ||
                result.output == kBanner + "read_symbol: out of range")
        << result.output;
    EXPECT_NE(test::read_file(dir.file("out")), test::read_file(vector_path("text")));
  }
}

TEST(VelunaCommandLineTest, FullDiskIsAWriteError) {
  test::ScratchDir dir;
  // Small output fails at the close, large output while it is written.
  expect_failure(veluna({"-d", vector_path("text.vl"), "/dev/full"}), "main: write error");
  Bytes big(300000);
  uint32_t x = 1;
  for (auto& b : big) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  test::write_file(dir.file("big"), big);
  expect_success(veluna({"-c", dir.file("big"), dir.file("big.vl")}));
  expect_failure(veluna({"-d", dir.file("big.vl"), "/dev/full"}), "main: write error");
  // Compressing: a failed write during coding, or at the final flush.
  expect_failure(veluna({"-c", dir.file("big"), "/dev/full"}), "put_bit: write error");
  expect_failure(veluna({"-c", vector_path("text"), "/dev/full"}), "kill_encoder: cannot close file");
}

TEST(VelunaCommandLineTest, UnreadableInputIsAReadError) {
  test::ScratchDir dir;
  // A directory opens for reading, but reading it fails.
  expect_failure(veluna({"-c", dir.path.string(), dir.file("d.vl")}), "main: read error");
}

TEST(VelunaCommandLineTest, InputAndOutputTheSameFile) {
  test::ScratchDir dir;
  const std::string message = "main: input and output are the same file";
  std::string plain = dir.file("plain"), packed = dir.file("packed.vl");
  std::filesystem::copy_file(vector_path("text"), plain);
  std::filesystem::copy_file(vector_path("text.vl"), packed);
  std::filesystem::create_hard_link(plain, dir.file("plain.link"));
  std::filesystem::create_symlink(packed, dir.file("packed.symlink"));

  expect_failure(veluna({"-c", plain, plain}), message);
  expect_failure(veluna({"-c", plain, dir.file("plain.link")}), message);
  expect_failure(veluna({"-d", packed, packed}), message);
  expect_failure(veluna({"-d", dir.file("packed.symlink"), packed}), message);
  EXPECT_EQ(test::read_file(plain), test::read_file(vector_path("text")));
  EXPECT_EQ(test::read_file(packed), test::read_file(vector_path("text.vl")));
}

}  // namespace
}  // namespace kv
