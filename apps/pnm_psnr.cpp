// Compares two PNM images of the same shape: prints the PSNR in dB (peak 255,
// all channels), or "inf" when they are identical, on standard output;
// usage and failures go to standard error (status 2 and 1).
#include <cmath>
#include <cstdio>

#include "io/pnm.h"

namespace {

// Reads `path`; false, with a message naming it, when it cannot be read or
// its raster ends early (missing samples read as -1).
bool read(const char* path, kv::Image& image) {
  if (!kv::read_pnm(path, image)) {
    std::fprintf(stderr, "pnm_psnr: %s: cannot be read as a PNM image\n", path);
    return false;
  }
  for (int32_t sample : image.samples)
    if (sample < 0) {
      std::fprintf(stderr, "pnm_psnr: %s: the image ends early\n", path);
      return false;
    }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: pnm_psnr reference.pnm test.pnm\n", stderr);
    return 2;
  }
  kv::Image a, b;
  if (!read(argv[1], a) || !read(argv[2], b)) return 1;
  if (a.width != b.width || a.height != b.height || a.channels != b.channels) {
    std::fputs("pnm_psnr: the images differ in shape\n", stderr);
    return 1;
  }
  double sse = 0;
  for (size_t i = 0; i < a.samples.size(); ++i) {
    double d = a.samples[i] - b.samples[i];
    sse += d * d;
  }
  if (sse == 0)
    std::puts("inf");
  else
    std::printf("%.3f\n", 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.samples.size()) / sse));
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fputs("pnm_psnr: the result cannot be written\n", stderr);
    return 1;
  }
  return 0;
}
