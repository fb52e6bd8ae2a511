// The order-0 byte compressor: every byte is a symbol of one adaptive model of
// 257 symbols (limit 4096, increment 1), and symbol 256 ends the data.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kv {

// File to file. Failures throw kelvane::Error (util/error.h).
void veluna_compress_file(const char* input_path, const char* compressed_path);
void veluna_expand_file(const char* compressed_path, const char* output_path);

// Memory to memory, the same coded bytes as the files.
std::vector<uint8_t> veluna_compress(std::span<const uint8_t> input);
std::vector<uint8_t> veluna_expand(std::span<const uint8_t> compressed);

}  // namespace kv
