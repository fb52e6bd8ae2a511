// kelvane compare: PSNR and SSIM between two images.
#include <cerrno>
#include <cstdio>
#include <cmath>
#include <cstring>

#include "cli/commands.h"
#include "cli/compare.h"
#include "cli/json.h"
#include "cli/messages.h"
#include "cli/output_file.h"
#include "cli/progress.h"

namespace cli {

namespace {

// Why an image that was read holds samples below 0 (a PNM raster that ends
// early reads its missing samples as -1); empty when none does.
std::string missing_samples(const kelvane::Image& image) {
  size_t missing = 0;
  for (int32_t sample : image.samples) missing += sample < 0;
  if (missing == 0) return {};
  return "the image ends early: " + std::to_string(missing) + " of its " + std::to_string(image.samples.size()) +
         " samples are missing";
}

// An image file, or a stream (found by its first two bytes) decoded. False,
// with `error` set to the message, when it cannot be read whole.
bool load(const std::string& path, kelvane::Image& image, std::string& error) {
  const std::string name = path == "-" ? std::string("standard input") : path;
  // Standard input and pipes are read whole, once; a file's first two bytes
  // tell a stream from an image.
  const bool once = read_once_only(path);
  std::vector<uint8_t> head;
  if (!read_bytes(path, head, once ? SIZE_MAX : 2)) {
    error = name + ": " + system_reason(errno);
    return false;
  }
  const bool stream = stream_start(head);
  try {
    if (!stream && once) {
      // Read whole above, kept in a temporary file while the image is read.
      TempFile spool;
      if (!spool.create("") || !write_bytes(spool.path(), head)) {
        error = "a temporary file: " + system_reason(errno);
        return false;
      }
      image = kelvane::read_image(spool.path());
    } else if (!stream) {
      image = kelvane::read_image(path);
    } else {
      std::vector<uint8_t> bytes = std::move(head);
      if (!once && !read_bytes(path, bytes)) {
        error = name + ": " + system_reason(errno);
        return false;
      }
      image = kelvane::decode(bytes);
    }
  } catch (const kelvane::Error& thrown) {
    error = describe(thrown, path, stream ? Role::kStreamInput : Role::kImageInput);
    return false;
  }
  const std::string missing = missing_samples(image);
  if (!missing.empty()) error = name + ": " + missing;
  return missing.empty();
}

std::string db_text(double db) {
  char text[32];
  std::snprintf(text, sizeof text, std::isinf(db) ? "inf" : "%.3f", db);
  return text;
}

}  // namespace

int run_compare(const CompareSettings& settings) {
  kelvane::Image a, b;
  std::string error;
  if (load(settings.first, a, error) && load(settings.second, b, error) &&
      (a.width != b.width || a.height != b.height || a.channels != b.channels))
    error = settings.first + " and " + settings.second + " differ in shape: " + std::to_string(a.width) + "x" +
            std::to_string(a.height) + "x" + std::to_string(a.channels) + " and " + std::to_string(b.width) + "x" +
            std::to_string(b.height) + "x" + std::to_string(b.channels);
  if (!error.empty()) {
    message("kelvane: " + error);
    // As for the other commands, a failure has its JSON line too.
    if (settings.json)
      std::printf("%s\n", JsonLine().text("a", settings.first).text("b", settings.second).text("error", error).str().c_str());
    return kFailure;
  }
  const Comparison result = compare_images(a, b);
  if (settings.json) {
    const std::string line = JsonLine()
                                 .text("a", settings.first)
                                 .text("b", settings.second)
                                 .integer("width", a.width)
                                 .integer("height", a.height)
                                 .integer("channels", a.channels)
                                 .number("psnr", result.psnr)
                                 .numbers("channel_psnr", result.channel_psnr)
                                 .number("ssim", result.ssim)
                                 .numbers("channel_ssim", result.channel_ssim)
                                 .text("ssim_window", "gaussian 11x11 sigma 1.5")
                                 .str();
    std::printf("%s\n", line.c_str());
  } else {
    std::printf("PSNR: %s dB", db_text(result.psnr).c_str());
    if (a.channels > 1) {
      std::printf(" (channels:");
      for (double db : result.channel_psnr) std::printf(" %s", db_text(db).c_str());
      std::printf(")");
    }
    std::printf("\nSSIM: %.6f", result.ssim);
    if (a.channels > 1) {
      std::printf(" (channels:");
      for (double value : result.channel_ssim) std::printf(" %.6f", value);
      std::printf(")");
    }
    std::printf(", 11x11 Gaussian window, mean over channels\n");
  }
  std::fflush(stdout);
  return kSuccess;
}

}  // namespace cli
