#include "entropy/range_decoder.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "util/error.h"

namespace kv {

namespace decoder_detail {

namespace {

constexpr size_t kWindowSize = 1 << 16;

// Moves real bytes into the reservoir while there is room and input; returns
// false once the input is exhausted. The reservoir holds at most 63 bits, so
// that a reader can mark their end with one more (SymbolReader).
bool fill(Decoder& d) {
  if (d.reservoir_bits <= 55 && d.size - d.position >= 8) {
    // The bytes the loop below would take, (63 - reservoir_bits) / 8 of
    // them, in one load.
    uint64_t word;
    std::memcpy(&word, d.data + d.position, sizeof word);
    if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
    const int bytes = (63 - d.reservoir_bits) >> 3;
    const int unused = 64 - 8 * bytes;
    d.reservoir |= (word >> unused << unused) >> d.reservoir_bits;
    d.reservoir_bits += 8 * bytes;
    d.position += static_cast<size_t>(bytes);
    return true;
  }
  while (d.reservoir_bits <= 55) {
    if (d.position == d.size) {
      if (!d.file) return false;
      size_t got = std::fread(d.window.data(), 1, d.window.size(), d.file);
      if (got == 0) {
        if (std::ferror(d.file)) fail(ErrorCode::kStreamFile, "get_bit: read error");
        return false;
      }
      d.data = d.window.data();
      d.size = got;
      d.position = 0;
    }
    d.reservoir |= uint64_t{d.data[d.position++]} << (56 - d.reservoir_bits);
    d.reservoir_bits += 8;
  }
  return true;
}

}  // namespace

void refill(Decoder& d, int n) {
  if (fill(d)) return;
  while (d.reservoir_bits < n) {
    // Past the end: two fetches of all-one bits, then a read error.
    if (d.pad_bits > 13) fail(ErrorCode::kTruncatedStream, "get_bit: read error");
    d.pad_bits += 8;
    d.reservoir |= uint64_t{0xFF} << (56 - d.reservoir_bits);
    d.reservoir_bits += 8;
  }
}

void out_of_range(const char* operation) { fail(ErrorCode::kCorruptStream, "%s: out of range", operation); }

}  // namespace decoder_detail

using namespace decoder_detail;

namespace {

void start(Decoder& d) {
  d.reservoir = 0;
  d.reservoir_bits = 0;
  d.consumed_bits = 0;
  d.pad_bits = 0;
  d.low = 0;
  d.high = 0xFFFF;
  d.value = take_bits(d, 16);
}

}  // namespace

Decoder::~Decoder() {
  if (file) std::fclose(file);
}

void new_decoder(Decoder& decoder, const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) fail(ErrorCode::kStreamFile, "new_decoder: cannot open \"%s\"", path);
  if (decoder.file) std::fclose(decoder.file);
  decoder.file = file;
  decoder.window.resize(kWindowSize);
  decoder.data = decoder.window.data();
  decoder.size = 0;
  decoder.position = 0;
  start(decoder);
}

void new_memory_decoder(Decoder& decoder, const uint8_t* data, size_t size) {
  if (decoder.file) std::fclose(decoder.file);
  decoder.file = nullptr;
  decoder.data = data;
  decoder.size = size;
  decoder.position = 0;
  start(decoder);
}

bool stream_holds(Decoder& decoder, uint64_t bytes) {
  Decoder& d = decoder;
  if (!d.file) return d.size >= bytes;
  struct stat status;
  if (::fstat(::fileno(d.file), &status) == 0 && S_ISREG(status.st_mode))
    return static_cast<uint64_t>(status.st_size) >= bytes;
  // The bytes taken into the reservoir so far, then those waiting in the window.
  const uint64_t taken = (d.consumed_bits + static_cast<uint64_t>(d.reservoir_bits) - d.pad_bits) / 8;
  if (taken >= bytes) return true;
  const size_t wanted = static_cast<size_t>(bytes - taken);
  size_t waiting = d.size - d.position;
  if (waiting >= wanted) return true;
  if (d.pad_bits != 0) return false;  // the input has ended already
  std::memmove(d.window.data(), d.data + d.position, waiting);
  while (waiting < wanted) {
    // The window grows with what arrives, not with what is asked for.
    if (waiting == d.window.size()) d.window.resize(std::min(wanted, 2 * waiting));
    const size_t got = std::fread(d.window.data() + waiting, 1, d.window.size() - waiting, d.file);
    if (got == 0) break;
    waiting += got;
  }
  d.data = d.window.data();
  d.size = waiting;
  d.position = 0;
  return waiting >= wanted;
}

uint32_t decoder_bytes(const Decoder& decoder) {
  return static_cast<uint32_t>((decoder.consumed_bits + 7) / 8);
}

uint32_t get_bit(Decoder& decoder) { return take_bits(decoder, 1); }

uint32_t read_bits(Decoder& decoder, int n) {
  if (n <= 0) return 0;
  if (decoder.value < decoder.low || decoder.value > decoder.high) out_of_range("read_bits");
  uint64_t r = decoder.high - decoder.low + 1;
  uint64_t v = (((uint64_t{decoder.value} - decoder.low + 1) << n) - 1) / r;
  uint64_t t = v * r;
  narrow(decoder, static_cast<uint32_t>(t >> n), static_cast<uint32_t>((t + r) >> n));
  return static_cast<uint32_t>(v);
}

uint32_t read_fraction(Decoder& decoder, uint32_t n) {
  if (n <= 1) return 0;
  if (decoder.value < decoder.low || decoder.value > decoder.high) out_of_range("read_fraction");
  uint64_t r = decoder.high - decoder.low + 1;
  uint64_t v = ((uint64_t{decoder.value} - decoder.low + 1) * n - 1) / r;
  uint64_t t = v * r;
  narrow(decoder, static_cast<uint32_t>(t / n), static_cast<uint32_t>((t + r) / n));
  return static_cast<uint32_t>(v);
}

uint32_t read_float(Decoder& decoder) {
  uint32_t b0 = read_bits(decoder, 8);
  uint32_t b1 = read_bits(decoder, 8);
  uint32_t b2 = read_bits(decoder, 8);
  uint32_t b3 = read_bits(decoder, 8);
  return b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

uint32_t kill_decoder(Decoder& decoder) {
  if (decoder.file) {
    int status = std::fclose(decoder.file);
    decoder.file = nullptr;
    if (status != 0) fail(ErrorCode::kStreamFile, "kill_decoder: cannot close file");
  }
  return decoder_bytes(decoder);
}

}  // namespace kv
