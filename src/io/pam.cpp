#include "io/pam.h"

#include "io/file_bytes.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace kv {

namespace {

constexpr const char* kTupleTypes[] = {"GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};

// Reads the header's decimal value; false when it is missing or above `cap`.
bool parse_number(const std::string& text, uint64_t cap, uint64_t& value) {
  if (text.empty() || text.size() > 12) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value <= cap;
}

}  // namespace

bool has_pam_signature(const uint8_t* data, size_t size) {
  return size >= 3 && data[0] == 'P' && data[1] == '7' && std::isspace(data[2]);
}

bool file_has_pam_signature(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  uint8_t head[3];
  const bool ok = std::fread(head, 1, sizeof head, file) == sizeof head && has_pam_signature(head, sizeof head);
  std::fclose(file);
  return ok;
}

bool read_pam_memory(const uint8_t* data, size_t size, Image& image, const ReadLimits& limits) {
  if (!has_pam_signature(data, size)) return false;
  size_t position = 3;
  uint64_t width = 0, height = 0, depth = 0, maxval = 0;
  bool ended = false;
  // Header lines "NAME value"; comments start with '#'; TUPLTYPE is not needed.
  while (!ended && position < size) {
    const size_t start = position;
    while (position < size && data[position] != '\n') ++position;
    std::string line(reinterpret_cast<const char*>(data) + start, position - start);
    if (position < size) ++position;
    if (line.empty() || line[0] == '#') continue;
    const size_t blank = line.find_first_of(" \t\r");
    const std::string name = line.substr(0, blank);
    std::string value = blank == std::string::npos ? "" : line.substr(blank);
    value.erase(0, value.find_first_not_of(" \t\r"));
    const size_t last = value.find_last_not_of(" \t\r");
    value.erase(last == std::string::npos ? 0 : last + 1);
    uint64_t* field = name == "WIDTH" ? &width : name == "HEIGHT" ? &height : name == "DEPTH" ? &depth
                    : name == "MAXVAL" ? &maxval : nullptr;
    if (field) {
      if (*field != 0 || !parse_number(value, 65535, *field) || *field == 0) return false;
    } else if (name == "ENDHDR") {
      ended = true;
    } else if (name != "TUPLTYPE") {
      return false;
    }
  }
  if (!ended || width == 0 || height == 0 || depth == 0 || depth > 4 || maxval == 0) return false;
  if (width > static_cast<uint64_t>(limits.max_dimension) || height > static_cast<uint64_t>(limits.max_dimension))
    return false;
  const uint64_t count = width * height * depth;
  const uint64_t sample_bytes = maxval > 255 ? 2 : 1;
  const uint64_t max_bytes = limits.max_bytes ? limits.max_bytes : physical_memory_bytes();
  if (count > max_bytes / sizeof(int32_t) || count * sample_bytes > size - position) return false;
  std::vector<int32_t> samples;
  try {
    samples.resize(count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const uint8_t* in = data + position;
  for (int32_t& sample : samples) {
    const uint64_t v = sample_bytes == 2 ? uint64_t{in[0]} << 8 | in[1] : in[0];
    in += sample_bytes;
    if (v > maxval) return false;
    sample = static_cast<int32_t>(maxval == 255 ? v : (v * 255 + maxval / 2) / maxval);
  }
  image.width = static_cast<int32_t>(width);
  image.height = static_cast<int32_t>(height);
  image.channels = static_cast<int32_t>(depth);
  image.samples = std::move(samples);
  image.source_maxval = static_cast<int32_t>(maxval);
  return true;
}

bool read_pam(const char* path, Image& image, const ReadLimits& limits) {
  std::vector<uint8_t> bytes;
  return read_file_bytes(path, bytes) && read_pam_memory(bytes.data(), bytes.size(), image, limits);
}

std::vector<uint8_t> format_pam(int32_t width, int32_t height, int32_t channels, const int32_t* samples) {
  std::vector<uint8_t> bytes;
  if (channels < 1 || channels > 4 || width <= 0 || height <= 0) return bytes;
  char header[128];
  const int length = std::snprintf(header, sizeof header,
                                   "P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n", width,
                                   height, channels, kTupleTypes[channels - 1]);
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(channels);
  bytes.reserve(static_cast<size_t>(length) + count);
  bytes.insert(bytes.end(), header, header + length);
  for (size_t i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(samples[i]));
  return bytes;
}

bool write_pam(const char* path, int32_t width, int32_t height, int32_t channels, const int32_t* samples) {
  const std::vector<uint8_t> bytes = format_pam(width, height, channels, samples);
  if (bytes.empty()) return false;
  std::FILE* file = std::fopen(path, "wb");
  if (!file) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && ok;
}

bool has_pam_name(const char* path) {
  const size_t length = std::strlen(path);
  if (length < 4) return false;
  const char* tail = path + length - 4;
  return tail[0] == '.' && std::tolower(static_cast<unsigned char>(tail[1])) == 'p' &&
         std::tolower(static_cast<unsigned char>(tail[2])) == 'a' &&
         std::tolower(static_cast<unsigned char>(tail[3])) == 'm';
}

}  // namespace kv
