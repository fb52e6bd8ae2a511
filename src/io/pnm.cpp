#include "io/pnm.h"

#include <cstdio>
#include <memory>
#include <new>

#include "util/chunk_arena.h"

namespace kv {

namespace {

constexpr int kEnd = -1;

// Bytes of a file or of memory, one at a time, end of input as kEnd.
class ByteSource {
 public:
  ByteSource(const uint8_t* data, size_t size) : next_(data), end_(data + size) {}
  explicit ByteSource(std::FILE* file) : file_(file), buffer_(1 << 16) {}

  int get() {
    if (next_ == end_ && !refill()) return kEnd;
    return *next_++;
  }
  bool failed() const { return failed_; }

 private:
  bool refill() {
    if (!file_) return false;
    size_t got = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    if (got == 0) {
      if (std::ferror(file_)) failed_ = true;
      return false;
    }
    next_ = buffer_.data();
    end_ = next_ + got;
    return true;
  }

  std::FILE* file_ = nullptr;
  std::vector<uint8_t> buffer_;
  const uint8_t* next_ = nullptr;
  const uint8_t* end_ = nullptr;
  bool failed_ = false;
};

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Skips blanks, control bytes and comments; returns the first other byte
// (consumed) or kEnd.
int skip_blanks(ByteSource& in) {
  for (;;) {
    int c = in.get();
    if (c == kEnd) return kEnd;
    if (c == '#') {
      do c = in.get();
      while (c != '\n' && c != '\r' && c != kEnd);
      continue;
    }
    if (c > 32) return c;
  }
}

// Largest decimal value kept; anything longer is an overflow.
constexpr uint64_t kNumberCap = uint64_t{1} << 40;

// Reads the digits following `first` (a digit) up to and including the byte
// that ends them.
uint64_t read_digits(ByteSource& in, int first) {
  uint64_t value = static_cast<uint64_t>(first - '0');
  for (int c = in.get(); is_digit(c); c = in.get()) {
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > kNumberCap) value = kNumberCap;
  }
  return value;
}

bool read_dimension(ByteSource& in, int64_t max_dimension, int32_t& out) {
  int c = skip_blanks(in);
  if (!is_digit(c)) return false;
  uint64_t value = read_digits(in, c);
  if (value == 0 || value > static_cast<uint64_t>(max_dimension) || value > INT32_MAX) return false;
  out = static_cast<int32_t>(value);
  return true;
}

bool read_image(ByteSource& in, Image& image, const ReadLimits& limits) {
  if (in.get() != 'P') return false;
  int kind = in.get();
  if (kind < '1' || kind > '6') return false;
  kind -= '0';
  int32_t width, height;
  if (!read_dimension(in, limits.max_dimension, width) || !read_dimension(in, limits.max_dimension, height))
    return false;
  if (kind % 3 != 1) {  // P2, P3, P5, P6 carry a maximum value, neither kept nor checked
    int c = skip_blanks(in);
    if (is_digit(c)) read_digits(in, c);
  }
  const int32_t channels = (kind == 3 || kind == 6) ? 3 : 1;
  const uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * channels;
  const uint64_t max_bytes = limits.max_bytes ? limits.max_bytes : physical_memory_bytes();
  if (count > max_bytes / sizeof(int32_t)) return false;
  std::vector<int32_t> samples;
  try {
    assign_zeroed_in_big_pages(samples, count);
  } catch (const std::bad_alloc&) {
    return false;
  }

  switch (kind) {
    case 5:
    case 6:
      for (int32_t& sample : samples) sample = in.get();  // -1 once the raster runs out
      break;
    case 2:
    case 3:
      for (int32_t& sample : samples) {
        int c = skip_blanks(in);
        uint64_t value = is_digit(c) ? read_digits(in, c) : 0;
        if (value > 65535) return false;  // no PNM sample exceeds 16 bits
        sample = static_cast<int32_t>(value);
      }
      break;
    case 1:
      for (int32_t& sample : samples) {
        int c = skip_blanks(in);
        if (!is_digit(c)) {
          sample = 255;
          continue;
        }
        uint64_t value = read_digits(in, c);
        if (value > INT32_MAX) return false;
        sample = value != 0 ? 0 : 255;
      }
      break;
    case 4: {
      int32_t* out = samples.data();
      for (int32_t y = 0; y < height; ++y) {
        int byte = 0;
        for (int32_t x = 0; x < width; ++x) {
          if (x % 8 == 0) {
            byte = in.get();
            if (byte == kEnd) byte = 0xFF;  // past the end every bit reads as 1
          } else {
            byte <<= 1;
          }
          *out++ = (byte & 0x80) ? 0 : 255;
        }
      }
      break;
    }
  }
  if (in.failed()) return false;
  image.width = width;
  image.height = height;
  image.channels = channels;
  image.samples = std::move(samples);
  return true;
}

}  // namespace

bool read_pnm_memory(const uint8_t* data, size_t size, Image& image, const ReadLimits& limits) {
  ByteSource in(data, size);
  return read_image(in, image, limits);
}

bool read_pnm(const char* path, Image& image, const ReadLimits& limits) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  ByteSource in(file);
  bool ok = read_image(in, image, limits);
  std::fclose(file);
  return ok;
}

std::vector<uint8_t> format_pnm(int32_t width, int32_t height, int32_t channels, const int32_t* samples) {
  std::vector<uint8_t> bytes;
  if ((channels != 1 && channels != 3) || width <= 0 || height <= 0) return bytes;
  char header[64];
  int length = std::snprintf(header, sizeof header, "P%c\n%d %d\n255\n", channels == 1 ? '5' : '6', width, height);
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(channels);
  assign_zeroed_in_big_pages(bytes, static_cast<size_t>(length) + count);
  std::copy(header, header + length, bytes.begin());
  for (size_t i = 0; i < count; ++i) bytes[static_cast<size_t>(length) + i] = static_cast<uint8_t>(samples[i]);
  return bytes;
}

bool write_pnm(const char* path, int32_t width, int32_t height, int32_t channels, const int32_t* samples) {
  std::vector<uint8_t> bytes = format_pnm(width, height, channels, samples);
  if (bytes.empty()) return false;
  std::FILE* file = std::fopen(path, "wb");
  if (!file) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return (std::fclose(file) == 0) && ok;
}

}  // namespace kv
