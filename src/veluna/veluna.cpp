#include "veluna/veluna.h"

#include <sys/stat.h>

#include <cstdio>
#include <memory>

#include "entropy/adaptive_model.h"
#include "entropy/range_decoder.h"
#include "entropy/range_encoder.h"
#include "util/error.h"

namespace kv {

namespace {

constexpr uint32_t kEndSymbol = 256;

void new_byte_model(AdaptiveModel& model) { new_context(model, 257, 4096, nullptr); }

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Two names for one file: writing the output would destroy the input first.
void refuse_same_file(const char* input_path, const char* output_path) {
  struct stat in, out;
  if (::stat(input_path, &in) == 0 && ::stat(output_path, &out) == 0 && in.st_dev == out.st_dev &&
      in.st_ino == out.st_ino)
    fail(ErrorCode::kStreamFile, "main: input and output are the same file");
}

void compress_bytes(Encoder& encoder, AdaptiveModel& model, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    write_symbol(encoder, model, bytes[i]);
    update_context(model, bytes[i], 1);
  }
}

// Decodes until the end symbol, handing each byte to `put`.
template <typename Put>
void expand_symbols(Decoder& decoder, Put&& put) {
  AdaptiveModel model;
  new_byte_model(model);
  for (;;) {
    uint32_t symbol = read_symbol(decoder, model);
    if (symbol == kEndSymbol) break;
    update_context(model, symbol, 1);
    put(static_cast<uint8_t>(symbol));
  }
  kill_decoder(decoder);
}

}  // namespace

void veluna_compress_file(const char* input_path, const char* compressed_path) {
  refuse_same_file(input_path, compressed_path);
  AdaptiveModel model;
  new_byte_model(model);
  // The input is opened first, so that a missing one leaves an existing
  // output as it was; an output that cannot be created is still the failure
  // told first, as new_encoder tells it.
  File input(std::fopen(input_path, "rb"));
  if (!input) {
    if (!File(std::fopen(compressed_path, "ab")))
      fail(ErrorCode::kStreamFile, "new_encoder: cannot open \"%s\"", compressed_path);
    fail(ErrorCode::kStreamFile, "main: Cannot open \"%s\"", input_path);
  }
  Encoder encoder;
  new_encoder(encoder, compressed_path);
  std::vector<uint8_t> chunk(1 << 16);
  for (;;) {
    size_t got = std::fread(chunk.data(), 1, chunk.size(), input.get());
    compress_bytes(encoder, model, chunk.data(), got);
    if (got < chunk.size()) break;
  }
  // A read error is not the end of the data: coding what came before it would
  // pass off a truncated file as the whole.
  if (std::ferror(input.get())) fail(ErrorCode::kStreamFile, "main: read error");
  write_symbol(encoder, model, kEndSymbol);
  kill_encoder(encoder);
}

void veluna_expand_file(const char* compressed_path, const char* output_path) {
  refuse_same_file(compressed_path, output_path);
  Decoder decoder;
  new_decoder(decoder, compressed_path);
  File output(std::fopen(output_path, "wb"));
  if (!output) fail(ErrorCode::kStreamFile, "main: Cannot open \"%s\"", output_path);
  std::vector<uint8_t> chunk(1 << 16);
  size_t filled = 0;
  auto write_chunk = [&] {
    if (std::fwrite(chunk.data(), 1, filled, output.get()) != filled) fail(ErrorCode::kStreamFile, "main: write error");
    filled = 0;
  };
  try {
    expand_symbols(decoder, [&](uint8_t byte) {
      chunk[filled++] = byte;
      if (filled == chunk.size()) write_chunk();
    });
  } catch (const Error&) {
    // What was decoded before the failure stays in the file.
    std::fwrite(chunk.data(), 1, filled, output.get());
    throw;
  }
  write_chunk();
  // A full disk shows up at the flush or the close at the latest.
  std::FILE* file = output.release();
  if (std::fclose(file) != 0) fail(ErrorCode::kStreamFile, "main: write error");
}

std::vector<uint8_t> veluna_compress(std::span<const uint8_t> input) {
  std::vector<uint8_t> compressed;
  AdaptiveModel model;
  new_byte_model(model);
  Encoder encoder;
  new_memory_encoder(encoder, compressed);
  compress_bytes(encoder, model, input.data(), input.size());
  write_symbol(encoder, model, kEndSymbol);
  kill_encoder(encoder);
  return compressed;
}

std::vector<uint8_t> veluna_expand(std::span<const uint8_t> compressed) {
  std::vector<uint8_t> output;
  Decoder decoder;
  new_memory_decoder(decoder, compressed.data(), compressed.size());
  expand_symbols(decoder, [&](uint8_t byte) { output.push_back(byte); });
  return output;
}

}  // namespace kv
