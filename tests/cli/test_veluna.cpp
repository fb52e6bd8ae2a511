// veluna's additions: help, version, pipes, and outputs that appear only
// when complete. Its classic texts are proven in tests/veluna.
#include <filesystem>

#include "cli_support.h"

namespace cli::test {
namespace {

using Veluna = CliTest;

const std::string kBanner = "VELUNA: a simple arithmetic coder\n";

TEST_F(Veluna, HelpAndVersion) {
  for (const char* option : {"-h", "--help"}) {
    Result r = veluna({option});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(" veluna -c infile compressedfile\n"), std::string::npos) << r.out;
  }
  Result r = veluna({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "veluna 2.0.0\n");
}

TEST_F(Veluna, PipesCarryOnlyTheData) {
  const std::string text = "some text, some text, some more text\n";
  write_file(dir / "plain", text);
  ASSERT_EQ(veluna({"-c", "plain", "packed"}).status, 0);
  const std::string packed = text_of(dir / "packed");
  Result r = veluna({"-c", "-", "-"}, text);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, packed);
  // With the data on standard output, the banner and timing go to standard error.
  EXPECT_EQ(r.err.rfind(kBanner, 0), 0u);
  r = veluna({"-d", "-", "-"}, packed);
  EXPECT_EQ(r.out, text);
  EXPECT_EQ(veluna({"-d", "-", "back"}, packed).status, 0);
  EXPECT_EQ(text_of(dir / "back"), text);
  EXPECT_EQ(veluna({"-c", "plain", "-"}).out, packed);
}

TEST_F(Veluna, AFailureLeavesNothingUnderTheOutputName) {
  fs::create_directory(dir / "folder");
  Result r = veluna({"-c", "folder", "out.vl"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kBanner + "main: read error");
  write_file(dir / "plain", std::string(5000, 'x') + "tail");
  ASSERT_EQ(veluna({"-c", "plain", "packed"}).status, 0);
  write_file(dir / "cut", text_of(dir / "packed").substr(0, 10));
  r = veluna({"-d", "cut", "out"});
  EXPECT_EQ(r.out, kBanner + "get_bit: read error");
  r = veluna({"-d", "-", "out"}, text_of(dir / "cut"));
  EXPECT_EQ(r.out, kBanner + "get_bit: read error");
  // An existing output stays as it was.
  write_file(dir / "kept", "kept");
  EXPECT_EQ(veluna({"-d", "cut", "kept"}).status, 1);
  EXPECT_EQ(text_of(dir / "kept"), "kept");
  EXPECT_EQ(names_in(dir), (std::vector<std::string>{"cut", "folder", "kept", "packed", "plain"}));
}

}  // namespace
}  // namespace cli::test
