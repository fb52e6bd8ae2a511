// Outputs: never overwritten unasked, never the input, never partial.
#include <sys/stat.h>

#include <csignal>
#include <thread>

#include "cli_support.h"

namespace cli::test {
namespace {

using Files = CliTest;

TEST_F(Files, AnExistingOutputIsKeptUnlessForcedOrSkipped) {
  put_images();
  write_file(dir / "gray.kv2", "old");
  for (const char* command : {"encode", "decode"}) {
    const std::string input = command == std::string("encode") ? "gray.pgm" : "g.kv2";
    const std::string output = command == std::string("encode") ? "gray.kv2" : "g.pgm";
    if (input == "g.kv2") {
      ASSERT_EQ(kelvane({"encode", "gray.pgm", "-o", "g.kv2"}).status, 0);
      write_file(dir / output, "old");
    }
    Result r = kelvane({command, input});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(output + ": already exists (use --force"), std::string::npos) << r.err;
    EXPECT_EQ(text_of(dir / output), "old");
    r = kelvane({command, input, "--skip-existing"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(text_of(dir / output), "old");
    EXPECT_EQ(kelvane({command, input, "--force"}).status, 0);
    EXPECT_NE(text_of(dir / output), "old");
  }
}

// A link is written where it points and stays a link; a pipe is written
// into, never replaced by a file (nor is a device: -o /dev/null).
TEST_F(Files, LinksAndPipesAreWrittenThroughNotReplaced) {
  put_images();
  write_file(dir / "real.kv2", "old");
  fs::create_symlink("real.kv2", dir / "link.kv2");
  ASSERT_EQ(kelvane({"encode", "gray.pgm", "-o", "link.kv2", "--force"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link.kv2"));
  const std::string stream = text_of(dir / "real.kv2");
  EXPECT_NE(stream, "old");
  ASSERT_EQ(veluna({"-c", "gray.pgm", "link.kv2"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link.kv2"));

  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  std::string piped;
  std::thread reader([&] { piped = text_of(dir / "pipe"); });
  const Result r = kelvane({"encode", "gray.pgm", "-o", "pipe"});
  reader.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::is_fifo(dir / "pipe"));
  EXPECT_EQ(piped, stream);
}

TEST_F(Files, TheInputIsNeverOverwrittenEvenWithForce) {
  put_images();
  const std::string image = text_of(dir / "gray.pgm");
  fs::create_hard_link(dir / "gray.pgm", dir / "link.pgm");
  Result r = kelvane({"encode", "gray.pgm", "-o", "link.pgm", "--force"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("link.pgm: is the input file"), std::string::npos) << r.err;
  ASSERT_EQ(kelvane({"encode", "gray.pgm", "-o", "g.kv2"}).status, 0);
  EXPECT_EQ(kelvane({"decode", "g.kv2", "-o", "g.kv2", "--force"}).status, 1);
  EXPECT_EQ(kelvane({"encode", "gray.pgm", "-o", "s.kv2", "--directions", "gray.pgm", "--force"}).status, 1);
  EXPECT_EQ(text_of(dir / "gray.pgm"), image);
  EXPECT_GT(fs::file_size(dir / "g.kv2"), 11u);
  // No temporary file is left by a success or a failure.
  EXPECT_EQ(names_in(dir), (std::vector<std::string>{"colour.ppm", "g.kv2", "gray.pgm", "link.pgm"}));
}

// Two names of one file are one output: the second job fails rather than
// overwrite the first one's stream, and the picture never replaces the stream.
// A file replaced keeps its permissions.
TEST_F(Files, OneFileIsNeverTwoOutputs) {
  put_images();
  Result r = kelvane({"encode", "gray.pgm", (dir / "gray.pgm").string(), "--force"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("gray.kv2: also the output of gray.pgm"), std::string::npos) << r.err;
  r = kelvane({"encode", "gray.pgm", "-o", "new.kv2", "--directions", "./new.kv2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(fs::exists(dir / "new.kv2"));
  ::chmod((dir / "gray.kv2").c_str(), 0600);
  ASSERT_EQ(kelvane({"encode", "gray.pgm", "-q", "20", "--force"}).status, 0);
  EXPECT_EQ(fs::status(dir / "gray.kv2").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(Files, TheDiagnosticPictureIsWrittenOnlyWhereAsked) {
  put_images();
  ASSERT_EQ(kelvane({"encode", "colour.ppm", "-o", "c.kv2"}).status, 0);
  EXPECT_FALSE(fs::exists(dir / "dir.ppm"));
  ASSERT_EQ(kelvane({"encode", "colour.ppm", "-o", "d.kv2", "--directions", "picture.png"}).status, 0);
  EXPECT_EQ(text_of(dir / "c.kv2"), text_of(dir / "d.kv2"));
  EXPECT_EQ(text_of(dir / "picture.png").substr(0, 4), "\x89PNG");
  EXPECT_EQ(kelvane({"encode", "gray.pgm", "colour.ppm", "--directions", "p.pgm"}).status, 2);
}

// Interrupted while coding, the program leaves neither the output nor its
// temporary file behind, and ends by the signal.
TEST_F(Files, AnInterruptedEncodeLeavesNoFile) {
  write_file(dir / "noise.ppm", noise_ppm(1200, 1200));
  for (int signal : {SIGINT, SIGTERM}) {
    const pid_t child = start(dir, KV_KELVANE, {"encode", "noise.ppm", "-o", "noise.kv2", "-T", "1"});
    // Wait for the temporary output to appear: the work has begun.
    bool begun = false;
    for (int i = 0; i < 1000 && !begun; ++i) {
      for (const std::string& name : names_in(dir)) begun |= name.rfind(".noise.kv2.", 0) == 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(begun);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ::kill(child, signal);
    EXPECT_EQ(finish(child), 128 + signal);
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"noise.ppm"});
  }
  // The classic form writes in place: an interrupted run removes what it began.
  const pid_t child = start(dir, KV_KELVANE, {"noise.ppm", "noise.kv2", "8"});
  for (int i = 0; i < 1000 && !fs::exists(dir / "noise.kv2"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(fs::exists(dir / "noise.kv2"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ::kill(child, SIGTERM);
  EXPECT_EQ(finish(child), 128 + SIGTERM);
  EXPECT_EQ(names_in(dir), std::vector<std::string>{"noise.ppm"});
}

// The classic form writes in place: a run that fails part-way (here, at a
// file size limit) removes what it began rather than leave it cut short.
TEST_F(Files, AFailedClassicWriteLeavesNoFile) {
  write_file(dir / "noise.ppm", noise_ppm(200, 200));
  ASSERT_EQ(kelvane({"noise.ppm", "whole.kv2", "8"}).status, 0);
  const std::string limited = "trap '' XFSZ; ulimit -f 8; exec \"$0\" \"$@\"";
  EXPECT_EQ(run(dir, "/bin/sh", {"-c", limited, KV_KELVANE, "noise.ppm", "cut.kv2", "8"}).status, 1);
  EXPECT_NE(run(dir, "/bin/sh", {"-c", limited, KV_KELVANE, "whole.kv2", "cut.ppm"}).status, 0);
  EXPECT_EQ(names_in(dir), (std::vector<std::string>{"dir.ppm", "noise.ppm", "whole.kv2"}));
}

}  // namespace
}  // namespace cli::test
