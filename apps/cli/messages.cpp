#include "cli/messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace cli {

namespace {

constexpr uint64_t kMaxSide = 65535;

std::string side_reason(uint64_t width, uint64_t height) {
  if (width > kMaxSide) return "images wider than 65535 pixels are not supported";
  if (height > kMaxSide) return "images taller than 65535 pixels are not supported";
  if (width == 0 || height == 0) return "the image has no pixels";
  return {};
}

uint32_t big_endian(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

std::string png_reason(const std::vector<uint8_t>& head) {
  // The IHDR chunk follows the signature: length, type, width, height, depth, colour type.
  if (head.size() < 29 || std::memcmp(head.data() + 12, "IHDR", 4) != 0) return "the PNG image is damaged";
  std::string sides = side_reason(big_endian(head.data() + 16), big_endian(head.data() + 20));
  if (!sides.empty()) return sides;
  return "the PNG image is damaged or of a kind not supported";
}

// Reads the next header number of a PNM, skipping blanks and comments; -1 when there is none.
int64_t pnm_number(const std::vector<uint8_t>& head, size_t& at) {
  while (at < head.size()) {
    if (head[at] == '#') {
      while (at < head.size() && head[at] != '\n') ++at;
    } else if (std::isspace(head[at])) {
      ++at;
    } else {
      break;
    }
  }
  if (at >= head.size() || !std::isdigit(head[at])) return -1;
  int64_t value = 0;
  while (at < head.size() && std::isdigit(head[at]) && value < (int64_t{1} << 40)) value = value * 10 + (head[at++] - '0');
  return value;
}

std::string pnm_reason(const std::vector<uint8_t>& head) {
  size_t at = 2;
  const int64_t width = pnm_number(head, at);
  const int64_t height = pnm_number(head, at);
  if (width < 0 || height < 0) return "the PNM header is damaged";
  std::string sides = side_reason(static_cast<uint64_t>(width), static_cast<uint64_t>(height));
  if (!sides.empty()) return sides;
  return "the PNM image is damaged, ends early or is too large for this machine's memory";
}

}  // namespace

std::string system_reason(int error) {
  std::string text = std::strerror(error);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string warning_line(const std::string& file, const std::string& line) {
  const std::string prefix = "Warning: ";
  const std::string text = line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line;
  return (file == "-" ? std::string("standard input") : file) + ": warning: " + text;
}

std::string image_read_reason(const std::string& path) {
  if (path == "-") return "not a PNM or PNG image the program reads";
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return system_reason(errno);
  if (S_ISDIR(st.st_mode)) return "is a folder (use -r to code the images in it)";
  // A pipe or device was read once already: opening it again could wait for ever.
  if (!S_ISREG(st.st_mode)) return "not a PNM or PNG image the program reads";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return system_reason(errno);
  std::vector<uint8_t> head(4096);
  const ssize_t got = ::read(fd, head.data(), head.size());
  const int error = errno;
  ::close(fd);
  if (got < 0) return system_reason(error);
  head.resize(static_cast<size_t>(got));
  if (head.empty()) return "the file is empty";
  static const uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (head.size() >= 8 && std::memcmp(head.data(), kPng, 8) == 0) return png_reason(head);
  if (head.size() >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '6') return pnm_reason(head);
  if (head.size() >= 2 && head[0] == 'P' && head[1] == '7')
    return "the PAM image is damaged or of a kind not supported (grey, grey+alpha, RGB, RGB+alpha)";
  return "not a PNM or PNG image";
}

std::string describe(const kelvane::Error& error, const std::string& file, Role role, uint64_t memory_limit) {
  using kelvane::ErrorCode;
  std::string reason;
  switch (error.code()) {
    case ErrorCode::kImageRead:
      reason = image_read_reason(file);
      break;
    case ErrorCode::kImageWrite:
      reason = "cannot be written";
      break;
    case ErrorCode::kNotAStream:
      reason = "not a kelvane stream";
      break;
    case ErrorCode::kOutOfMemory:
      reason = memory_limit ? "the image needs more memory than --max-memory allows"
                            : "the image needs more memory than this machine has";
      break;
    case ErrorCode::kInvalidImage: {
      // The library's "Invalid image: <why>." says why where it knows.
      const std::string prefix = "Invalid image: ";
      const std::string& text = error.message();
      if (text.starts_with(prefix) && text.ends_with('.'))
        reason = text.substr(prefix.size(), text.size() - prefix.size() - 1);
      else
        reason = "the image is not one the codec takes (1 to 65535 pixels a side, 1 to 255 channels, samples 0 to 255)";
      break;
    }
    case ErrorCode::kTruncatedStream:
      reason = "the stream ends early (truncated or damaged)";
      break;
    case ErrorCode::kCorruptStream:
      reason = "the stream is damaged (it holds values no encoder writes)";
      break;
    case ErrorCode::kStreamFile:
      reason = role == Role::kOutput ? "cannot be written" : "cannot be read";
      break;
    case ErrorCode::kEncodeFailed:
      reason = "the encoder cannot code this image (" + error.message() + ")";
      break;
    default:
      reason = error.message();
      break;
  }
  return (file == "-" ? std::string(role == Role::kOutput ? "standard output" : "standard input") : file) + ": " +
         reason;
}

}  // namespace cli
