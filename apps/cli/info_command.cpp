// kelvane info: what stream headers say, read without decoding.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "cli/commands.h"
#include "cli/json.h"
#include "cli/messages.h"
#include "cli/output_file.h"
#include "cli/progress.h"

namespace cli {

namespace {

// Enough of any stream for its header: 11 bytes and a 255 x 255 colour matrix.
constexpr size_t kHeaderBytes = 1 << 20;

}  // namespace

int run_info(const InfoSettings& settings) {
  int status = kSuccess;
  for (const std::string& file : settings.files) {
    std::vector<uint8_t> head;
    const bool whole = file == "-";
    if (!read_bytes(file, head, whole ? SIZE_MAX : kHeaderBytes)) {
      message("kelvane: " + (whole ? std::string("standard input") : file) + ": " + system_reason(errno));
      status = kFailure;
      continue;
    }
    uint64_t size = head.size();
    struct stat st;
    if (!whole && ::stat(file.c_str(), &st) == 0) size = static_cast<uint64_t>(st.st_size);
    kelvane::StreamInfo info;
    try {
      info = kelvane::read_info(head);
    } catch (const kelvane::Error& error) {
      message("kelvane: " + describe(error, file, Role::kStreamInput));
      status = kFailure;
      continue;
    }
    const double bpp = 8.0 * static_cast<double>(size) / (static_cast<double>(info.width) * info.height);
    if (settings.json) {
      std::string rows = "[";
      for (int r = 0; r < info.channels && !info.colour_matrix.empty(); ++r) {
        rows += r ? ",[" : "[";
        for (int c = 0; c < info.channels; ++c) {
          if (c) rows += ",";
          rows += json_number(info.colour_matrix[static_cast<size_t>(r * info.channels + c)]);
        }
        rows += "]";
      }
      rows += "]";
      JsonLine line;
      line.text("file", file)
          .integer("width", info.width)
          .integer("height", info.height)
          .integer("channels", info.channels)
          .number("quantization", info.quantization);
      if (info.colour_matrix.empty())
        line.null("colour_matrix");
      else
        line.raw("colour_matrix", rows);
      line.integer("bytes", static_cast<int64_t>(size)).number("bits_per_pixel", bpp);
      std::printf("%s\n", line.str().c_str());
    } else {
      std::printf("%s: %dx%d, %d channel%s, quantization %g (%s), %llu bytes, %.3f bpp\n", file.c_str(), info.width,
                  info.height, info.channels, info.channels == 1 ? "" : "s", static_cast<double>(info.quantization),
                  info.quantization > 1 ? "lossy" : "lossless", static_cast<unsigned long long>(size), bpp);
      if (!info.colour_matrix.empty()) {
        std::printf("  colour matrix:\n");
        for (int r = 0; r < info.channels; ++r) {
          std::printf("   ");
          for (int c = 0; c < info.channels; ++c)
            std::printf(" %9.6f", info.colour_matrix[static_cast<size_t>(r * info.channels + c)]);
          std::printf("\n");
        }
      }
    }
    std::fflush(stdout);
  }
  return status;
}

}  // namespace cli
