// rd_points [--rdo] [--effort N] [--write PREFIX] IMAGE Q...: one line per
// quantization value, "q bits_per_pixel psnr encode_cpu_ms", from the library's
// encode report (the image every decoder rebuilds), one thread. Feeds
// bench/rd_bd.py. --write keeps each stream as PREFIX<q>.kv2.
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "kelvane/kelvane.h"

int main(int argc, char** argv) {
  kelvane::EncodeOptions options;
  options.threads = 1;
  const char* prefix = nullptr;
  int arg = 1;
  for (; arg < argc && argv[arg][0] == '-' && argv[arg][1] == '-'; ++arg) {
    if (std::strcmp(argv[arg], "--rdo") == 0) {
      options.rate_distortion = true;
    } else if (std::strcmp(argv[arg], "--effort") == 0 && arg + 1 < argc) {
      options.effort = std::atoi(argv[++arg]);
    } else if (std::strcmp(argv[arg], "--write") == 0 && arg + 1 < argc) {
      prefix = argv[++arg];
    } else {
      std::fprintf(stderr, "unknown option %s\n", argv[arg]);
      return 2;
    }
  }
  if (argc - arg < 2) {
    std::fprintf(stderr, "usage: rd_points [--rdo] [--effort N] [--write PREFIX] IMAGE Q...\n");
    return 2;
  }
  try {
    const kelvane::Image image = kelvane::read_image(argv[arg]);
    for (int k = arg + 1; k < argc; ++k) {
      kelvane::EncodeReport report;
      options.report = &report;
      const std::clock_t start = std::clock();
      const std::vector<uint8_t> stream = kelvane::encode(image, static_cast<float>(std::atof(argv[k])), options);
      const double ms = 1000.0 * static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
      const double bpp = 8.0 * static_cast<double>(stream.size()) / (static_cast<double>(image.width) * image.height);
      std::printf("%s %.6f %.4f %.1f\n", argv[k], bpp, report.psnr, ms);
      std::fflush(stdout);
      if (prefix) {
        std::ofstream out(std::string(prefix) + argv[k] + ".kv2", std::ios::binary);
        out.write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));
      }
    }
  } catch (const kelvane::Error& error) {
    std::fprintf(stderr, "rd_points: %s\n", error.message().c_str());
    return 1;
  }
  return 0;
}
