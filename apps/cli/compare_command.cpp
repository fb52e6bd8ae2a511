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

// An image file, or a stream (found by its first two bytes) decoded.
bool load(const std::string& path, kelvane::Image& image) {
  std::vector<uint8_t> head;
  if (!read_bytes(path, head, path == "-" ? SIZE_MAX : 2)) {
    message("kelvane: " + path + ": " + system_reason(errno));
    return false;
  }
  const bool stream = head.size() >= 2 && head[0] == 'K' && head[1] == '$';
  try {
    if (!stream && path == "-") {
      // Standard input read whole above, kept in a temporary file while the image is read.
      TempFile spool;
      if (!spool.create("") || !write_bytes(spool.path(), head)) {
        message("kelvane: a temporary file: " + system_reason(errno));
        return false;
      }
      image = kelvane::read_image(spool.path());
      return true;
    }
    if (!stream) {
      image = kelvane::read_image(path);
      return true;
    }
    std::vector<uint8_t> bytes = std::move(head);
    if (path != "-" && !read_bytes(path, bytes)) {
      message("kelvane: " + path + ": " + system_reason(errno));
      return false;
    }
    image = kelvane::decode(bytes);
    return true;
  } catch (const kelvane::Error& error) {
    message("kelvane: " + describe(error, path, stream ? Role::kStreamInput : Role::kImageInput));
    return false;
  }
}

std::string db_text(double db) {
  char text[32];
  std::snprintf(text, sizeof text, std::isinf(db) ? "inf" : "%.3f", db);
  return text;
}

}  // namespace

int run_compare(const CompareSettings& settings) {
  kelvane::Image a, b;
  if (!load(settings.first, a) || !load(settings.second, b)) return kFailure;
  if (a.width != b.width || a.height != b.height || a.channels != b.channels) {
    message("kelvane: " + settings.first + " and " + settings.second + " differ in shape: " +
            std::to_string(a.width) + "x" + std::to_string(a.height) + "x" + std::to_string(a.channels) + " and " +
            std::to_string(b.width) + "x" + std::to_string(b.height) + "x" + std::to_string(b.channels));
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
