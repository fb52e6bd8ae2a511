// Helpers of the library's tests: scratch directories, files, running the
// programs in a directory, test images, and PNG files made with libpng.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kelvane/kelvane.h"
#include "kelvane/veluna.h"

namespace kelvane::test {

namespace fs = std::filesystem;

std::vector<uint8_t> read_file(const fs::path& path);
void write_file(const fs::path& path, const std::vector<uint8_t>& bytes);

struct RunResult {
  int status = -1;  // exit status 0..255, -1 when the program did not exit
  std::string out;  // standard output
};
// Runs `program` with `args`, its working directory `dir`.
RunResult run_in(const fs::path& dir, const std::string& program, const std::vector<std::string>& args);

class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  fs::path dir;
};

// A w x h window of a photograph from the test data.
Image test_image(const std::string& name, int x0, int y0, int w, int h);

// A PNG as libpng writes it: rows packed at `bit_depth` bits per sample.
struct PngPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  int colour_type = 0;  // PNG_COLOR_TYPE_*
  int bit_depth = 8;
  bool interlaced = false;
  std::vector<uint8_t> rows;       // height rows of packed samples, each starting on a byte
  std::vector<uint8_t> palette;    // r, g, b of each entry
  std::vector<uint8_t> alphas;     // tRNS of a palette image
  std::optional<std::vector<uint16_t>> transparent;  // tRNS of a grey (1 value) or RGB (3) image
};
// Packs samples (one per value, `bit_depth` bits each, most significant first) into rows.
std::vector<uint8_t> pack_rows(const std::vector<uint16_t>& values, uint32_t samples_per_row, int bit_depth);
void write_png_file(const fs::path& path, const PngPicture& picture);

}  // namespace kelvane::test
