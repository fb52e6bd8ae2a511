// target_encode image stream (--size BYTES | --bpp X | --psnr DB) [--rdo]: one
// targeted encode through the library, for bench/compare's equal-size runs
// (the same as the command line's targets). Prints the value chosen, the
// bytes and the encodes tried; status 1 and the message when the target
// cannot be reached.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kelvane/kelvane.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: target_encode image stream (--size BYTES | --bpp X | --psnr DB) [--rdo]\n");
    return 2;
  }
  kelvane::EncodeOptions options;
  options.threads = 0;
  const std::string kind = argv[3];
  options.target.value = std::strtod(argv[4], nullptr);
  options.target.kind = kind == "--size"  ? kelvane::Target::Kind::kBytes
                        : kind == "--bpp" ? kelvane::Target::Kind::kBitsPerPixel
                                          : kelvane::Target::Kind::kPsnr;
  options.rate_distortion = argc > 5 && std::string(argv[5]) == "--rdo";
  kelvane::EncodeReport report;
  options.report = &report;
  try {
    kelvane::encode_file(argv[1], argv[2], 0.0f, options);
  } catch (const kelvane::Error& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  std::printf("q %.9g bytes %llu psnr %.4f encodes %d\n", static_cast<double>(report.quantization),
              static_cast<unsigned long long>(report.bytes), report.psnr, report.encodes);
  return 0;
}
