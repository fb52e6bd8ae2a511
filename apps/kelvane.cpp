// The kelvane program: the library's file calls behind a command line.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kelvane/kelvane.h"

namespace {

const char kBanner[] =
    "Kelvane 2.0 - image compression\n"
    " encoding: kelvane image.pnm compressed.kv2 quantization\n"
    " decoding: kelvane compressed.kv2 image.pnm\n";

bool same_file(const char* a, const char* b) {
  struct stat sa, sb;
  return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The diagnostic picture goes to "dir.pgm" or "dir.ppm" in the current
// directory. It is best-effort, but never overwrites the stream or the image
// it came from.
void write_direction_picture(const kelvane::Image& picture, const char* image_name, const char* stream_name) {
  const char* name = picture.channels == 1 ? "dir.pgm" : "dir.ppm";
  if (same_file(name, stream_name) || same_file(name, image_name)) return;
  try {
    kelvane::write_image(name, picture);
  } catch (const kelvane::Error&) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::puts(kBanner);
  try {
    // Only the number of arguments chooses the mode; extra ones are ignored.
    if (argc - 1 >= 3) {
      kelvane::EncodeOptions options;
      options.console = stdout;
      kelvane::Image picture;
      options.direction_picture = &picture;
      // A fourth argument "--rdo" chooses the rate-distortion-optimising
      // encoder, and "--effort 2" after it its slower, smaller setting; any
      // other further argument is ignored.
      options.rate_distortion = argc - 1 >= 4 && std::strcmp(argv[4], "--rdo") == 0;
      if (options.rate_distortion && argc - 1 >= 6 && std::strcmp(argv[5], "--effort") == 0)
        options.effort = std::atoi(argv[6]) >= 2 ? 2 : 1;
      kelvane::encode_file(argv[1], argv[2], static_cast<float>(std::atof(argv[3])), options);
      write_direction_picture(picture, argv[1], argv[2]);
    } else if (argc - 1 == 2) {
      kelvane::DecodeOptions options;
      options.console = stdout;
      kelvane::decode_file(argv[1], argv[2], options);
    } else {
      return -1;
    }
  } catch (const kelvane::Error& error) {
    std::fputs(error.message().c_str(), stdout);
    std::fflush(stdout);
    return kelvane::classic_status(error.code());
  }
  std::fflush(stdout);
  return 0;
}
