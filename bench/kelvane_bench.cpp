// kelvane_bench [runs] [image ...]: encode and decode milliseconds per
// megapixel for photographs at q = 1, 8 and 32, with one thread and with every
// hardware thread, beside the figures of the first, straightforward encoder
// (measured on the development machine, one thread, CPU time), and the
// rate-distortion-optimising encoder's time beside the default one's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "enc/enc_state.h"
#include "dec/decode.h"
#include "enc/encode.h"
#include "entropy/magnitude.h"
#include "io/pnm.h"
#include "util/thread_pool.h"

namespace {

struct Timing {
  double wall_ms;
  double cpu_ms;
};

template <typename Work>
Timing time_median(int runs, Work&& work) {
  std::vector<double> walls, cpus;
  for (int r = 0; r < runs; ++r) {
    auto start = std::chrono::steady_clock::now();
    std::clock_t cpu_start = std::clock();
    work();
    cpus.push_back(1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC);
    walls.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(walls.begin(), walls.end());
  std::sort(cpus.begin(), cpus.end());
  return {walls[walls.size() / 2], cpus[cpus.size() / 2]};
}

std::vector<uint8_t> encode(const kv::Image& image, float q, int threads, bool rdo = false) {
  kv::EncoderState state;
  state.console = nullptr;
  state.threads = threads;
  state.rdo = rdo;
  return kv::encode_to_memory(state, image, q);
}

void decode(const std::vector<uint8_t>& stream) {
  kv::DecoderState state;
  kv::decode_from_memory(state, stream.data(), stream.size(), 0);
}

// CPU milliseconds per megapixel of the straightforward implementation
// (commit aa79cb4), one thread, measured in process like the figures beside
// them (encode_image and decode_image on the same images and streams; median
// of 3 encodes and 5 decodes) on the 2-core development machine: encode at
// q = 1, 8, 32, then decode at the same q.
struct Before {
  const char* image;
  double encode[3];
  double decode[3];
};
const Before kBefore[] = {
    {"camera.pgm", {16549, 6997, 5364}, {132, 91, 67}},
    {"coins.pgm", {13211, 6505, 5064}, {136, 99, 70}},
    {"astronaut.ppm", {46384, 20341, 14767}, {394, 287, 213}},
    {"chelsea.ppm", {31586, 16086, 12691}, {346, 224, 158}},
};

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::vector<std::string> images;
  for (int i = 2; i < argc; ++i) images.push_back(argv[i]);
  if (images.empty())
    for (const char* name : {"camera.pgm", "coins.pgm", "astronaut.ppm", "chelsea.ppm"})
      images.push_back(std::string(KV_IMAGES) + "/" + name);
  const int all = kv::default_thread_count();
  const float qualities[] = {1.0f, 8.0f, 32.0f};

  std::printf("ms per megapixel, median of %d runs; 1 thread: CPU time; %d threads: wall time;\n"
              "rdo: the --rdo encoder, 1 thread, and its time over the default encoder's\n",
              runs, all);
  std::printf("%-14s %3s | %10s %9s %9s %7s | %9s %7s | %10s %9s %7s\n", "image", "q", "enc before", "enc 1 thr",
              ("enc " + std::to_string(all) + " thr").c_str(), "enc x", "rdo 1 thr", "rdo/enc", "dec before",
              "dec 1 thr", "dec x");
  for (const std::string& path : images) {
    kv::Image image;
    if (!kv::read_pnm(path.c_str(), image)) {
      std::printf("cannot read %s\n", path.c_str());
      return 1;
    }
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const double megapixels = static_cast<double>(image.width) * image.height / 1e6;
    const Before* before = nullptr;
    for (const Before& b : kBefore)
      if (name == b.image) before = &b;
    for (int qi = 0; qi < 3; ++qi) {
      std::vector<uint8_t> stream;
      Timing one = time_median(runs, [&] { stream = encode(image, qualities[qi], 1); });
      Timing many = time_median(runs, [&] { encode(image, qualities[qi], all); });
      Timing dec = time_median(runs, [&] { decode(stream); });
      const double enc_one = one.cpu_ms / megapixels, enc_many = many.wall_ms / megapixels;
      const double dec_one = dec.cpu_ms / megapixels;
      char rdo_one[32] = "-", rdo_ratio[32] = "-";
      if (qualities[qi] > 1.0f) {  // at q <= 1 the mode writes the default stream
        const double rdo = time_median(runs, [&] { encode(image, qualities[qi], 1, true); }).cpu_ms / megapixels;
        std::snprintf(rdo_one, sizeof rdo_one, "%.0f", rdo);
        std::snprintf(rdo_ratio, sizeof rdo_ratio, "%.2f", rdo / enc_one);
      }
      char before_enc[32] = "-", before_dec[32] = "-", enc_speedup[32] = "-", dec_speedup[32] = "-";
      if (before) {
        std::snprintf(before_enc, sizeof before_enc, "%.0f", before->encode[qi]);
        std::snprintf(before_dec, sizeof before_dec, "%.0f", before->decode[qi]);
        std::snprintf(enc_speedup, sizeof enc_speedup, "%.1fx", before->encode[qi] / enc_one);
        std::snprintf(dec_speedup, sizeof dec_speedup, "%.1fx", before->decode[qi] / dec_one);
      }
      std::printf("%-14s %3.0f | %10s %9.0f %9.0f %7s | %9s %7s | %10s %9.0f %7s\n", name.c_str(), qualities[qi],
                  before_enc, enc_one, enc_many, enc_speedup, rdo_one, rdo_ratio, before_dec, dec_one, dec_speedup);
      std::fflush(stdout);
    }
  }
  return 0;
}
