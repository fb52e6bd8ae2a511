// Compares two PNM images of the same shape: prints the PSNR in dB (peak 255,
// all channels), or "inf" when they are identical, on standard output;
// usage and failures go to standard error (status 2 and 1).
#include <cmath>
#include <cstdio>

#include "io/pnm.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: pnm_psnr reference.pnm test.pnm\n", stderr);
    return 2;
  }
  kv::Image a, b;
  if (!kv::read_pnm(argv[1], a) || !kv::read_pnm(argv[2], b)) {
    std::fputs("pnm_psnr: cannot read the images\n", stderr);
    return 1;
  }
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
  return 0;
}
