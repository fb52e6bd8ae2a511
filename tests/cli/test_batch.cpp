// Many files in one run: naming, folders, jobs, failures among successes.
#include "cli_support.h"

namespace cli::test {
namespace {

using Batch = CliTest;

TEST_F(Batch, JobsAndThreadsDoNotChangeTheBytes) {
  std::vector<std::string> args{"encode", "--quiet", "-q", "6"};
  for (int i = 0; i < 5; ++i) {
    const std::string name = "in" + std::to_string(i) + (i % 2 ? ".ppm" : ".pgm");
    write_file(dir / name, pnm_crop(i % 2 ? "chelsea.ppm" : "coins.pgm", 10 * i, 7 * i, 40, 30));
    args.push_back(name);
  }
  fs::create_directory(dir / "one");
  fs::create_directory(dir / "two");
  std::vector<std::string> one = args, two = args;
  one.insert(one.end(), {"--output-dir", "one", "-j", "1"});
  two.insert(two.end(), {"--output-dir", "two", "-j", "3", "-T", "1"});
  ASSERT_EQ(kelvane(one).status, 0);
  ASSERT_EQ(kelvane(two).status, 0);
  ASSERT_EQ(names_in(dir / "one"), (std::vector<std::string>{"in0.kv2", "in1.kv2", "in2.kv2", "in3.kv2", "in4.kv2"}));
  for (size_t i = 4; i < args.size(); ++i) {
    const std::string stream = fs::path(args[i]).stem().string() + ".kv2";
    EXPECT_EQ(read_file(dir / "one" / stream), read_file(dir / "two" / stream)) << stream;
    // The same bytes as the file coded alone.
    EXPECT_EQ(kelvane({"encode", "-q", "6", "-"}, text_of(dir / args[i])).out, text_of(dir / "one" / stream));
  }
}

TEST_F(Batch, RecursiveInputsMirrorTheirFolders) {
  fs::create_directories(dir / "in" / "a");
  fs::create_directories(dir / "in" / "b" / "c");
  fs::create_directory(dir / "out");
  write_file(dir / "in" / "a" / "x.pgm", pnm_crop("camera.pgm", 0, 0, 16, 16));
  write_file(dir / "in" / "b" / "c" / "y.ppm", pnm_crop("astronaut.ppm", 0, 0, 16, 16));
  write_file(dir / "in" / "notes.txt", "not an image");
  Result r = kelvane({"encode", "in", "-r", "--output-dir", "out"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(dir / "out" / "a" / "x.kv2"));
  EXPECT_TRUE(fs::exists(dir / "out" / "b" / "c" / "y.kv2"));
  EXPECT_FALSE(fs::exists(dir / "out" / "notes.kv2"));
  // Decoding mirrors back, naming PNM files by their channels.
  fs::create_directory(dir / "back");
  EXPECT_EQ(kelvane({"decode", "-r", "out", "--output-dir", "back"}).status, 0);
  EXPECT_TRUE(fs::exists(dir / "back" / "a" / "x.pgm"));
  EXPECT_TRUE(fs::exists(dir / "back" / "b" / "c" / "y.ppm"));
  // A folder without -r is an error, not a silent skip.
  r = kelvane({"encode", "in", "--output-dir", "out", "--force"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("in: is a folder (use -r"), std::string::npos) << r.err;
}

TEST_F(Batch, AFailedFileDoesNotStopTheOthersAndIsNamed) {
  put_images();
  write_file(dir / "bad.pgm", "not an image");
  fs::create_directory(dir / "folder");
  Result r = kelvane({"encode", "gray.pgm", "bad.pgm", "folder", "colour.ppm", "-j", "2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(fs::exists(dir / "gray.kv2"));
  EXPECT_TRUE(fs::exists(dir / "colour.kv2"));
  EXPECT_FALSE(fs::exists(dir / "bad.kv2"));
  // The failures are named in the order they end, which two jobs at once leave open.
  const size_t summary = r.err.find("2 of 4 files done; failed: ");
  ASSERT_NE(summary, std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" bad.pgm", summary), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" folder", summary), std::string::npos) << r.err;
}

TEST_F(Batch, AnOutputFolderThatCannotBeWrittenFailsBeforeAnyWork) {
  put_images();
  const std::vector<std::string> before = names_in(dir);
  Result r = kelvane({"encode", "gray.pgm", "colour.ppm", "--output-dir", "missing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing: the output folder cannot be written"), std::string::npos) << r.err;
  r = kelvane({"decode", "x.kv2", "--output-dir", "gray.pgm"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(names_in(dir), before);
}

}  // namespace
}  // namespace cli::test
