// Whole files read into memory, for the readers that parse from bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kv {

// Appends the whole file at `path` to `bytes`. When `accept` is given it sees
// the first 8 bytes as soon as they have arrived (or all of a shorter file),
// and reading stops there unless it returns true, so that an endless source
// (a device, a pipe) that holds no image is given up at once. False when the
// file cannot be opened or read, memory runs out, or `accept` refused it.
bool read_file_bytes(const char* path, std::vector<uint8_t>& bytes,
                     bool (*accept)(const uint8_t* head, size_t size) = nullptr);

}  // namespace kv
