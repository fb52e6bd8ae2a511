// The classic form of the kelvane program, as it has always run.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "cli/classic.h"
#include "cli/output_file.h"
#include "kelvane/kelvane.h"

namespace {

const char kBanner[] =
    "Kelvane 2.0 - image compression\n"
    " encoding: kelvane image.pnm compressed.kv2 quantization\n"
    " decoding: kelvane compressed.kv2 image.pnm\n";

bool exists(const char* name) {
  struct stat st;
  return ::stat(name, &st) == 0;
}

bool is_regular(const char* name) {
  struct stat st;
  return ::stat(name, &st) == 0 && S_ISREG(st.st_mode);
}

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

// True when the name ends in ".png" or ".pam" (any case): formats that hold alpha.
bool holds_alpha(const char* name) {
  const size_t length = std::strlen(name);
  if (length < 4) return false;
  char tail[5] = {};
  for (int i = 0; i < 4; ++i) tail[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[length - 4 + i])));
  return std::strcmp(tail, ".png") == 0 || std::strcmp(tail, ".pam") == 0;
}

void print_warnings(const std::vector<std::string>& warnings) {
  for (const std::string& line : warnings) std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

namespace cli {

int run_classic(int argc, char** argv) {
  std::puts(kBanner);
  // The outputs are written in place. A signal that ends the program while
  // one is being written removes it: a new file at once, an existing one
  // once the encoder has begun to code into it (before, it is still whole).
  install_cleanup_handler();
  RemovedOnSignal output;
  try {
    // Only the number of arguments chooses the mode; extra ones are ignored.
    if (argc - 1 >= 3) {
      kelvane::EncodeOptions options;
      options.console = stdout;
      kelvane::Image picture;
      options.direction_picture = &picture;
      // A fourth argument "--rdo" chooses the rate-distortion-optimising
      // encoder; any other further argument is ignored.
      options.rate_distortion = argc - 1 >= 4 && std::strcmp(argv[4], "--rdo") == 0;
      // The classic streams stay as they always were: metadata is left out
      // (a translucent image's alpha is kept, in the stream's trailer).
      options.strip_metadata = true;
      std::vector<std::string> warnings;
      options.warnings = &warnings;
      if (!exists(argv[2])) output.arm(argv[2]);
      options.progress = [&output, name = argv[2]](double) {
        if (!output.armed() && is_regular(name)) output.arm(name);
      };
      kelvane::encode_file(argv[1], argv[2], static_cast<float>(std::atof(argv[3])), options);
      output.disarm();
      print_warnings(warnings);
      write_direction_picture(picture, argv[1], argv[2]);
    } else if (argc - 1 == 2) {
      kelvane::DecodeOptions options;
      options.console = stdout;
      kelvane::DecodeReport report;
      options.report = &report;
      if (!exists(argv[2])) output.arm(argv[2]);
      kelvane::decode_file(argv[1], argv[2], options);
      output.disarm();
      print_warnings(report.warnings);
      // The image is written; a non-zero status says the alpha its format
      // would have held is missing.
      if (report.alpha_lost && holds_alpha(argv[2])) {
        std::fflush(stdout);
        return 1;
      }
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

}  // namespace cli
