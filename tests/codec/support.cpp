#include "support.h"

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "util/error.h"
#include "dec/decode.h"
#include "enc/encode.h"
#include "reference_search.h"
#include "entropy/magnitude.h"

namespace kv::test {

std::vector<uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string read_text(const fs::path& path) {
  std::vector<uint8_t> bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

void write_file(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

void write_file(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

fs::path data_path(const std::string& relative) { return fs::path(KV_TEST_DATA) / relative; }

namespace {
std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
}  // namespace

RunResult run(const fs::path& dir, const std::string& program, const std::vector<std::string>& args) {
  std::string command = "cd ";
  command += quote(dir.string());
  command += " && exec ";
  command += quote(program);
  for (const std::string& arg : args) {
    command += ' ';
    command += quote(arg);
  }
  RunResult result{-1, ""};
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, got);
  int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
  return result;
}

void ScratchDir::SetUp() {
  char pattern[] = "/tmp/kelvane-test-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir = pattern;
}

void ScratchDir::TearDown() { fs::remove_all(dir); }

std::vector<uint8_t> encode_memory(const Image& image, float base_q, const EncodeSettings& settings) {
  EncoderState state;
  state.threads = settings.threads;
  if (settings.reference) state.search = search_plainly;
  state.rdo = settings.rate_distortion;
  return encode_to_memory(state, image, base_q);
}

Image decode_memory(const std::vector<uint8_t>& stream, uint64_t memory_limit) {
  DecoderState state;
  return decode_from_memory(state, stream.data(), stream.size(), memory_limit);
}

Image load_image(const std::string& name) {
  Image image;
  EXPECT_TRUE(read_pnm(data_path("images/" + name).c_str(), image)) << name;
  return image;
}

Image crop(const Image& image, int x0, int y0, int w, int h) {
  Image out{w, h, image.channels, {}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < image.channels; ++c)
        out.samples.push_back(image.samples[(static_cast<size_t>(y0 + y) * image.width + x0 + x) * image.channels + c]);
  return out;
}

double psnr(const Image& a, const Image& b) {
  double sse = 0;
  for (size_t i = 0; i < a.samples.size(); ++i) {
    double d = a.samples[i] - b.samples[i];
    sse += d * d;
  }
  if (sse == 0) return INFINITY;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.samples.size()) / sse);
}

uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

}  // namespace kv::test
