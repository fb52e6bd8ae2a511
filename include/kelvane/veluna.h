// veluna: order-0 adaptive coding of any bytes over kelvane's arithmetic
// coder. Failures throw kelvane::Error.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kelvane/error.h"

namespace kelvane {

std::vector<uint8_t> veluna_compress(std::span<const uint8_t> input);
std::vector<uint8_t> veluna_expand(std::span<const uint8_t> compressed);
// Neither writes over the file it reads. Both write their output as they
// code: a failure part-way leaves it cut short (an expansion keeps what it
// decoded before the damage), but a compression whose input cannot be
// opened leaves an existing output as it was.
void veluna_compress_file(const std::string& input_path, const std::string& compressed_path);
void veluna_expand_file(const std::string& compressed_path, const std::string& output_path);

}  // namespace kelvane
