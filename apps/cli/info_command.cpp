// kelvane info: what stream headers and trailers say, read without decoding.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "cli/json.h"
#include "cli/messages.h"
#include "cli/output_file.h"
#include "cli/progress.h"

namespace cli {

namespace {

// Enough of any stream for its header: 11 bytes and a 255 x 255 colour matrix.
constexpr size_t kHeaderBytes = 1 << 20;

// The trailer's footer ends the file: its chunk bytes L (4, little-endian),
// checksum (4), version (1), 3 zero bytes and the magic (docs/format.md).
constexpr size_t kFooterBytes = 20;
constexpr char kTrailerMagic[] = "KV2TRAIL";

// Reads `length` bytes of `fd` from `offset`; false, errno set, on failure
// (a file shorter than that included).
bool read_at(int fd, uint64_t offset, size_t length, std::vector<uint8_t>& bytes) {
  bytes.resize(length);
  for (size_t done = 0; done < length;) {
    const ssize_t got = ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(got);
  }
  return true;
}

// The end of the file at `path`, `size` bytes long, as much as
// kelvane::read_trailer_info needs: the trailer and its footer when the
// footer is there and its length fits the file, else the last bytes only
// (whose damage the library then reports), or, when no footer ends it and
// `whole` allows, the whole file (in which the library finds a trailer whose
// end was cut off). False, errno set, when the file cannot be read.
bool read_trailer_bytes(const std::string& path, uint64_t size, bool whole, std::vector<uint8_t>& tail) {
  tail.clear();
  if (size < kFooterBytes) return true;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = read_at(fd, size - kFooterBytes, kFooterBytes, tail);
  if (ok && std::memcmp(tail.data() + 12, kTrailerMagic, 8) == 0) {
    const uint64_t length = uint64_t{tail[0]} | uint64_t{tail[1]} << 8 | uint64_t{tail[2]} << 16 |
                            uint64_t{tail[3]} << 24;
    if (length <= size - kFooterBytes)
      ok = read_at(fd, size - kFooterBytes - length, static_cast<size_t>(length) + kFooterBytes, tail);
  } else if (ok && whole) {
    ok = read_at(fd, 0, static_cast<size_t>(size), tail);
  }
  const int error = errno;
  ::close(fd);
  errno = error;
  return ok;
}

std::string json_texts(const std::vector<std::string>& lines) {
  std::string json = "[";
  for (const std::string& line : lines) {
    if (json.size() > 1) json += ',';
    json += json_string(line);
  }
  return json + "]";
}

}  // namespace

int run_info(const InfoSettings& settings) {
  int status = kSuccess;
  for (const std::string& file : settings.files) {
    // A failure is told on standard error and, with --json, in the file's line.
    const auto failed = [&](const std::string& text) {
      message("kelvane: " + text);
      if (settings.json) std::printf("%s\n", JsonLine().text("file", file).text("error", text).str().c_str());
      std::fflush(stdout);
      status = kFailure;
    };
    std::vector<uint8_t> head;
    // Standard input and pipes are read whole (their end holds the trailer),
    // given up at once when they do not start as a stream; a regular file is
    // read only at its start and end.
    const bool whole = read_once_only(file);
    if (!read_bytes(file, head, whole ? SIZE_MAX : kHeaderBytes, whole ? stream_start : nullptr)) {
      failed((file == "-" ? std::string("standard input") : file) + ": " +
             (errno ? system_reason(errno) : std::string("not a kelvane stream")));
      continue;
    }
    uint64_t size = head.size();
    struct stat st;
    if (!whole && ::stat(file.c_str(), &st) == 0) size = static_cast<uint64_t>(st.st_size);
    std::vector<uint8_t> tail;
    // A stream without a footer is read whole to look for a trailer cut
    // short, up to a size that keeps the memory bounded.
    constexpr uint64_t kWholeStreamBytes = uint64_t{1} << 28;
    if (!whole && !read_trailer_bytes(file, size, stream_start(head) && size <= kWholeStreamBytes, tail)) {
      failed(file + ": " + system_reason(errno));
      continue;
    }
    kelvane::StreamInfo info;
    kelvane::TrailerInfo trailer;
    try {
      info = kelvane::read_info(head);
      trailer = kelvane::read_trailer_info(whole ? head : tail);
    } catch (const kelvane::Error& error) {
      failed(describe(error, file, Role::kStreamInput));
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
      const kelvane::Metadata& metadata = trailer.metadata;
      line.integer("bytes", static_cast<int64_t>(size))
          .number("bits_per_pixel", bpp)
          .raw("alpha", trailer.alpha ? "true" : "false")
          .integer("alpha_bytes", static_cast<int64_t>(trailer.alpha_bytes))
          .raw("metadata", JsonLine()
                               .integer("icc", static_cast<int64_t>(metadata.icc.size()))
                               .integer("exif", static_cast<int64_t>(metadata.exif.size()))
                               .integer("xmp", static_cast<int64_t>(metadata.xmp.size()))
                               .str())
          .raw("warnings", json_texts(trailer.warnings));
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
      if (trailer.alpha)
        std::printf("  alpha: yes, %llu bytes\n", static_cast<unsigned long long>(trailer.alpha_bytes));
      else
        std::printf("  alpha: no\n");
      const kelvane::Metadata& metadata = trailer.metadata;
      if (metadata.empty())
        std::printf("  metadata: none\n");
      else
        std::printf("  metadata: ICC %zu bytes, EXIF %zu bytes, XMP %zu bytes\n", metadata.icc.size(),
                    metadata.exif.size(), metadata.xmp.size());
      for (const std::string& warning : trailer.warnings) std::printf("  trailer warning: %s\n", warning.c_str());
    }
    std::fflush(stdout);
  }
  return status;
}

}  // namespace cli
