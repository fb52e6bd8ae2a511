#include "io/pnm.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  explicit ByteSource(std::FILE* file) : file_(file), buffer_(1 << 16) {
    struct stat status;
    if (::fstat(::fileno(file), &status) == 0 && S_ISREG(status.st_mode))
      file_size_ = static_cast<uint64_t>(status.st_size);
  }

  int get() {
    if (next_ == end_ && !refill()) return kEnd;
    return *next_++;
  }
  bool failed() const { return failed_; }

  // Whether at least `n` more bytes are to come: a regular file's size tells;
  // other files (pipes) are read ahead until they hold n or end, so the
  // buffer grows to at most n bytes.
  bool holds(uint64_t n) {
    const uint64_t waiting = static_cast<uint64_t>(end_ - next_);
    if (waiting >= n) return true;
    if (!file_) return false;
    if (file_size_ != kUnknownSize) return file_size_ - fetched_ + waiting >= n;
    // The buffer grows with what arrives, not with what is asked for.
    std::vector<uint8_t> ahead(std::max<size_t>(buffer_.size(), static_cast<size_t>(waiting)));
    std::copy(next_, end_, ahead.begin());
    size_t have = static_cast<size_t>(waiting);
    while (have < n) {
      if (have == ahead.size()) ahead.resize(static_cast<size_t>(std::min<uint64_t>(n, 2 * uint64_t{have})));
      const size_t got = std::fread(ahead.data() + have, 1, ahead.size() - have, file_);
      if (got == 0) {
        if (std::ferror(file_)) failed_ = true;
        break;
      }
      have += got;
    }
    fetched_ += have - waiting;
    buffer_ = std::move(ahead);
    next_ = buffer_.data();
    end_ = next_ + have;
    return have >= n;
  }

 private:
  static constexpr uint64_t kUnknownSize = ~uint64_t{0};

  bool refill() {
    if (!file_) return false;
    size_t got = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    if (got == 0) {
      if (std::ferror(file_)) failed_ = true;
      return false;
    }
    fetched_ += got;
    next_ = buffer_.data();
    end_ = next_ + got;
    return true;
  }

  std::FILE* file_ = nullptr;
  uint64_t file_size_ = kUnknownSize;  // known for regular files
  uint64_t fetched_ = 0;               // bytes read from the file so far
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
// that ends them. A comment may end a number as a blank does ("2#x\n" is 2):
// it is consumed with the line it ends.
uint64_t read_digits(ByteSource& in, int first) {
  uint64_t value = static_cast<uint64_t>(first - '0');
  int c = in.get();
  for (; is_digit(c); c = in.get()) {
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > kNumberCap) value = kNumberCap;
  }
  if (c == '#') {
    do c = in.get();
    while (c != '\n' && c != '\r' && c != kEnd);
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

// A sample of 0..maxval as one of 0..255, rounded; values above maxval
// (which no valid file holds) give 255.
int32_t scale_sample(uint32_t value, uint32_t maxval) {
  if (value >= maxval) return 255;
  return static_cast<int32_t>((value * 255u + maxval / 2) / maxval);
}

// How far short of its declared length a raster may be: the samples of a
// raster cut off in transfer still make an image, but a header must not
// make the reader allocate much more than the file can fill.
constexpr uint64_t kShortRasterAllowance = 64 * 1024;

bool read_image(ByteSource& in, Image& image, const ReadLimits& limits) {
  if (in.get() != 'P') return false;
  int kind = in.get();
  if (kind < '1' || kind > '6') return false;
  kind -= '0';
  int32_t width, height;
  if (!read_dimension(in, limits.max_dimension, width) || !read_dimension(in, limits.max_dimension, height))
    return false;
  uint64_t maxval = 255;  // also where the field is absent
  if (kind % 3 != 1) {  // P2, P3, P5, P6 carry a maximum value
    int c = skip_blanks(in);
    if (is_digit(c)) maxval = read_digits(in, c);
    if (maxval == 0 || maxval > 65535) return false;
  }
  const int32_t channels = (kind == 3 || kind == 6) ? 3 : 1;
  const uint64_t count = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * channels;
  const uint64_t max_bytes = limits.max_bytes ? limits.max_bytes : physical_memory_bytes();
  if (count > max_bytes / sizeof(int32_t)) return false;
  const bool wide = maxval > 255;  // two bytes per binary sample
  // The least bytes the raster takes: P4 packs 8 samples a byte, ASCII
  // samples take at least one byte each.
  const uint64_t least_raster = kind == 4   ? static_cast<uint64_t>(height) * ((static_cast<uint64_t>(width) + 7) / 8)
                                : wide && kind >= 5 ? 2 * count
                                                    : count;
  if (least_raster > kShortRasterAllowance && !in.holds((least_raster - kShortRasterAllowance + 1) / 2)) return false;
  std::vector<int32_t> samples;
  try {
    assign_zeroed_in_big_pages(samples, count);
  } catch (const std::bad_alloc&) {
    return false;
  }

  const uint32_t scale_from = static_cast<uint32_t>(maxval);
  const bool scaled = scale_from != 255;
  switch (kind) {
    case 5:
    case 6:
      if (!scaled) {
        for (int32_t& sample : samples) sample = in.get();  // -1 once the raster runs out
      } else {
        for (int32_t& sample : samples) {
          int value = in.get();
          if (wide && value != kEnd) {
            const int low = in.get();
            value = low == kEnd ? kEnd : (value << 8) | low;
          }
          sample = value == kEnd ? kEnd : scale_sample(static_cast<uint32_t>(value), scale_from);
        }
      }
      break;
    case 2:
    case 3:
      for (int32_t& sample : samples) {
        int c = skip_blanks(in);
        uint64_t value = is_digit(c) ? read_digits(in, c) : 0;
        if (value > 65535) return false;  // no PNM sample exceeds 16 bits
        sample = scaled ? scale_sample(static_cast<uint32_t>(value), scale_from) : static_cast<int32_t>(value);
      }
      break;
    case 1:
      // Each digit is a pixel, blanks between them or not ("0110" is four):
      // 1 (any digit but 0) black, 0 white; any other byte white.
      for (int32_t& sample : samples) {
        const int c = skip_blanks(in);
        sample = is_digit(c) && c != '0' ? 0 : 255;
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
  image.source_maxval = static_cast<int32_t>(maxval);
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
  if ((channels != 1 && channels != 3) || width <= 0 || height <= 0) return false;
  std::FILE* file = std::fopen(path, "wb");
  if (!file) return false;
  // Written a stretch at a time: the bytes never need the image's room again.
  bool ok = std::fprintf(file, "P%c\n%d %d\n255\n", channels == 1 ? '5' : '6', width, height) > 0;
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(channels);
  std::vector<uint8_t> bytes(std::min<size_t>(count, size_t{1} << 16));
  for (size_t done = 0; ok && done < count; done += bytes.size()) {
    const size_t n = std::min(bytes.size(), count - done);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(samples[done + i]);
    ok = std::fwrite(bytes.data(), 1, n, file) == n;
  }
  return (std::fclose(file) == 0) && ok;
}

}  // namespace kv
