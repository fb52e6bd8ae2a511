// Standard input and output: data only when asked, messages on standard error.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "cli_support.h"

namespace cli::test {
namespace {

class Pipes : public CliTest {
 protected:
  Result kelvane_to(const std::vector<std::string>& args, int output_fd) {
    return run(dir, KV_KELVANE, args, "", output_fd);
  }
};

TEST_F(Pipes, EncodeThroughPipesWritesTheSameStreamAsToAFile) {
  put_images();
  ASSERT_EQ(kelvane({"encode", "colour.ppm", "-o", "file.kv2"}).status, 0);
  const std::string stream = text_of(dir / "file.kv2");
  Result piped = kelvane({"encode", "-", "-o", "-"}, text_of(dir / "colour.ppm"));
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, stream);
  // Standard input goes to standard output without -o.
  EXPECT_EQ(kelvane({"encode", "-"}, text_of(dir / "colour.ppm")).out, stream);
  EXPECT_EQ(kelvane({"encode", "-", "-o", "named.kv2"}, text_of(dir / "colour.ppm")).status, 0);
  EXPECT_EQ(text_of(dir / "named.kv2"), stream);
}

TEST_F(Pipes, DecodeToStandardOutputIsPnmUnlessPngIsAsked) {
  put_images();
  ASSERT_EQ(kelvane({"encode", "gray.pgm", "-o", "g.kv2", "--lossless"}).status, 0);
  Result pnm = kelvane({"decode", "g.kv2", "-o", "-"});
  EXPECT_EQ(pnm.status, 0) << pnm.err;
  EXPECT_EQ(pnm.out, text_of(dir / "gray.pgm"));
  Result png = kelvane({"decode", "-", "--format", "png"}, text_of(dir / "g.kv2"));
  EXPECT_EQ(png.out.substr(0, 4), "\x89PNG");
  // A name ending in .png chooses PNG; --format overrides the name.
  ASSERT_EQ(kelvane({"decode", "g.kv2", "-o", "g.png"}).status, 0);
  EXPECT_EQ(text_of(dir / "g.png"), png.out);
  ASSERT_EQ(kelvane({"decode", "g.kv2", "-o", "g2.png", "--format", "pnm"}).status, 0);
  EXPECT_EQ(text_of(dir / "g2.png"), pnm.out);
}

TEST_F(Pipes, MessagesAndNoProgressGoToStandardError) {
  write_file(dir / "noise.ppm", noise_ppm(160, 160));
  Result r = kelvane({"encode", "noise.ppm", "-o", "n.kv2", "-T", "1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("noise.ppm -> n.kv2: 160x160, 3 channels"), std::string::npos) << r.err;
  // Standard error is a file here: no progress bar.
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
  r = kelvane({"encode", "noise.ppm", "-o", "q.kv2", "--quiet", "--force"});
  EXPECT_EQ(r.err, "");
}

TEST_F(Pipes, BinaryDataIsNeverWrittenToATerminal) {
  put_images();
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::grantpt(terminal), 0);
  ASSERT_EQ(::unlockpt(terminal), 0);
  const int screen = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(screen, 0);
  Result r = kelvane_to({"encode", "gray.pgm", "-o", "-"}, screen);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("refusing to write a compressed stream to a terminal"), std::string::npos) << r.err;
  ASSERT_EQ(kelvane({"encode", "gray.pgm"}).status, 0);
  EXPECT_EQ(kelvane_to({"decode", "gray.kv2", "-o", "-"}, screen).status, 1);
  EXPECT_EQ(run(dir, KV_VELUNA, {"-c", "gray.pgm", "-"}, "", screen).status, 1);
  ::close(screen);
  ::close(terminal);
}

// A named pipe is read once, as standard input is; what standard output
// cannot take fails the run.
TEST_F(Pipes, NamedPipesInAndAFullStandardOutput) {
  put_images();
  ASSERT_EQ(kelvane({"encode", "gray.pgm"}).status, 0);
  ASSERT_EQ(::mkfifo((dir / "pipe.pgm").c_str(), 0600), 0);
  // The writer waits at most 10 s for the program to open the pipe, and a
  // second opening (the fault) ends its write, not this test, with EPIPE.
  const std::string image = text_of(dir / "gray.pgm");
  std::signal(SIGPIPE, SIG_IGN);
  std::thread writer([&] {
    int fd = -1;
    for (int i = 0; i < 1000 && fd < 0; ++i) {
      fd = ::open((dir / "pipe.pgm").c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, 0);
    EXPECT_EQ(::write(fd, image.data(), image.size()), static_cast<ssize_t>(image.size()));
    ::close(fd);
  });
  const Result r = kelvane({"encode", "pipe.pgm", "-o", "piped.kv2"});
  writer.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(text_of(dir / "piped.kv2"), text_of(dir / "gray.kv2"));

  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"info", "gray.kv2"},
                                               {"encode", "gray.pgm", "-o", "x.kv2", "--json"}}) {
    const Result failed = run(dir, KV_KELVANE, args, "", full);
    EXPECT_EQ(failed.status, 1) << args[0];
    EXPECT_NE(failed.err.find("standard output: cannot be written"), std::string::npos) << failed.err;
  }
  ::close(full);
}

TEST_F(Pipes, CompareReadsAnImageOrAStreamFromStandardInput) {
  put_images();
  Result r = kelvane({"compare", "-", "gray.pgm"}, text_of(dir / "gray.pgm"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 15), "PSNR: inf dB\nSS");
  ASSERT_EQ(kelvane({"encode", "gray.pgm", "--lossless"}).status, 0);
  r = kelvane({"compare", "-", "gray.pgm"}, text_of(dir / "gray.kv2"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 15), "PSNR: inf dB\nSS");
  // A raster cut short is no image to measure.
  const std::string image = text_of(dir / "gray.pgm");
  r = kelvane({"compare", "gray.pgm", "-", "--json"}, image.substr(0, image.size() - 3));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("standard input: the image ends early: 3 of"), std::string::npos) << r.err;
  EXPECT_NE(json_field(r.out, "error"), "<missing>") << r.out;
}

}  // namespace
}  // namespace cli::test
