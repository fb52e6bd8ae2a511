// Shared helpers of the codec's stream tests: scratch directories, running
// the programs as a user does, coding images in memory.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "io/pnm.h"

namespace kv::test {

namespace fs = std::filesystem;

std::vector<uint8_t> read_file(const fs::path& path);
std::string read_text(const fs::path& path);
void write_file(const fs::path& path, const std::vector<uint8_t>& bytes);
void write_file(const fs::path& path, const std::string& text);
fs::path data_path(const std::string& relative);

struct RunResult {
  int status;       // exit status 0..255 (a status of -1 reads as 255)
  std::string out;  // everything printed on standard output
};
// Runs `program` with `args` in directory `dir`.
RunResult run(const fs::path& dir, const std::string& program, const std::vector<std::string>& args);

// A fresh directory, removed with the test.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  fs::path dir;
};

// How encode_memory runs the encoder.
struct EncodeSettings {
  int threads = 0;                // 0: every hardware thread
  bool reference = false;         // the plain search without caches
  bool rate_distortion = false;   // the rate-distortion-optimising mode
};
// Codes an image in memory through the codec's own steps, quietly.
std::vector<uint8_t> encode_memory(const Image& image, float base_q, const EncodeSettings& settings = {});
// Decodes a stream in memory; failures throw Error.
Image decode_memory(const std::vector<uint8_t>& stream, uint64_t memory_limit = 0);

Image load_image(const std::string& name);  // from tests/data/images
Image crop(const Image& image, int x0, int y0, int w, int h);
double psnr(const Image& a, const Image& b);
uint64_t fnv1a(const std::vector<uint8_t>& bytes);

}  // namespace kv::test
