// Helpers of the command-line tests: the programs run as a user runs them,
// with standard input given and standard output and error kept apart.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace cli::test {

namespace fs = std::filesystem;

struct Result {
  int status = -1;   // exit status; 128 + signal when a signal ended it
  std::string out;   // standard output
  std::string err;   // standard error
};

std::vector<uint8_t> read_file(const fs::path& path);
void write_file(const fs::path& path, const std::string& bytes);
std::string text_of(const fs::path& path);

// Runs `program` with `args` in `dir`, `input` on its standard input. Its
// standard output goes to `output_fd` when that is not -1 (Result::out then
// stays empty).
Result run(const fs::path& dir, const std::string& program, const std::vector<std::string>& args,
           const std::string& input = "", int output_fd = -1);
// Starts `program` in `dir` with standard input, output and error on
// /dev/null; returns its process id.
pid_t start(const fs::path& dir, const std::string& program, const std::vector<std::string>& args);
// Waits for `child`; its exit status as Result::status.
int finish(pid_t child);

// A test image of the shared data cut to w x h, as PNM bytes.
std::string pnm_crop(const std::string& name, int x0, int y0, int w, int h);
// A 3-channel PNM of pseudo-random noise: slow to code.
std::string noise_ppm(int w, int h);

// The value of `key` in a --json line, as its text: a string with its
// quotes, a number, an object or an array (of numbers, of rows of numbers, or
// of strings without ']'); "<missing>" when absent.
std::string json_field(const std::string& line, const std::string& key);

// The names in `dir` (not recursive), sorted.
std::vector<std::string> names_in(const fs::path& dir);

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  Result kelvane(const std::vector<std::string>& args, const std::string& input = "") {
    return run(dir, KV_KELVANE, args, input);
  }
  Result veluna(const std::vector<std::string>& args, const std::string& input = "") {
    return run(dir, KV_VELUNA, args, input);
  }
  // gray.pgm (24 x 20) and colour.ppm (32 x 24) in the scratch folder.
  void put_images();
  fs::path dir;
};

}  // namespace cli::test
