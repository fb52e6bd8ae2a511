// The classic form of the kelvane program, as it has always run.
#include <sys/stat.h>

#include <cerrno>
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

// Nothing at all is at `name`: not even a link.
bool nothing_at(const char* name) {
  struct stat st;
  return ::lstat(name, &st) != 0 && errno == ENOENT;
}

// A regular file (a device or a pipe is never removed).
bool regular_file_at(const char* name) {
  struct stat st;
  return ::lstat(name, &st) == 0 && S_ISREG(st.st_mode);
}

// The diagnostic picture goes to "dir.pgm" or "dir.ppm" in the current
// directory. It is best-effort, but never overwrites the stream or the image
// it came from.
void write_direction_picture(const kelvane::Image& picture, const char* image_name, const char* stream_name) {
  const char* name = picture.channels == 1 ? "dir.pgm" : "dir.ppm";
  if (cli::same_file(name, stream_name) || cli::same_file(name, image_name)) return;
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
  // The stream or image is written in place. A signal that ends the program
  // while it is being written, or a failure (a full disk), removes it: a
  // file this run creates at once; a regular file it overwrites from the
  // encoder's first coded block on (the library opens it a little earlier,
  // so an interruption in between can still leave it cut). A decode writes
  // its image at its end: only a new file is guarded. The diagnostic picture
  // is not.
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
      // A PNM raster that ends early is coded as it was read.
      options.short_raster = true;
      std::vector<std::string> warnings;
      options.warnings = &warnings;
      // Through links, the file written is the one guarded.
      const std::string target = followed_links(argv[2]);
      if (nothing_at(target.c_str())) output.arm(target);
      options.progress = [&output, &target](double) {
        if (!output.armed() && regular_file_at(target.c_str())) output.arm(target);
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
      const std::string target = followed_links(argv[2]);
      if (nothing_at(target.c_str())) output.arm(target);
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
    // What was written is cut short: no file is left under the output's name.
    if (output.armed()) output.remove();
    std::fputs(error.message().c_str(), stdout);
    std::fflush(stdout);
    return kelvane::classic_status(error.code());
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace cli
