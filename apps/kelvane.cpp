// The kelvane program: the library's file calls behind a command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kelvane/kelvane.h"

namespace {

const char kBanner[] =
    "Kelvane 2.0 - image compression\n"
    " encoding: kelvane image.pnm compressed.kv2 quantization\n"
    " decoding: kelvane compressed.kv2 image.pnm\n";

}  // namespace

int main(int argc, char** argv) {
  std::puts(kBanner);
  kelvane::Options options;
  options.console = stdout;
  options.direction_picture = true;
  // A fourth argument "--rdo" chooses the rate-distortion-optimising encoder;
  // any other further argument is ignored.
  options.rate_distortion = argc - 1 >= 4 && std::strcmp(argv[4], "--rdo") == 0;
  try {
    // Only the number of arguments chooses the mode; extra ones are ignored.
    if (argc - 1 >= 3)
      kelvane::encode_file(argv[1], argv[2], static_cast<float>(std::atof(argv[3])), options);
    else if (argc - 1 == 2)
      kelvane::decode_file(argv[1], argv[2], options);
    else
      return -1;
  } catch (const kelvane::Error& error) {
    std::fputs(error.message().c_str(), stdout);
    std::fflush(stdout);
    return error.status();
  }
  std::fflush(stdout);
  return 0;
}
