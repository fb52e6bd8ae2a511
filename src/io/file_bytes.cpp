#include "io/file_bytes.h"

#include <cstdio>
#include <new>

namespace kv {

bool read_file_bytes(const char* path, std::vector<uint8_t>& bytes, bool (*accept)(const uint8_t*, size_t)) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  constexpr size_t kHead = 8;
  const size_t start = bytes.size();
  bool ok = true;
  try {
    uint8_t chunk[1 << 16];
    size_t got;
    while (ok && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
      const bool checked = bytes.size() - start >= kHead;
      bytes.insert(bytes.end(), chunk, chunk + got);
      if (accept && !checked && bytes.size() - start >= kHead) ok = accept(bytes.data() + start, kHead);
    }
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  ok = ok && !std::ferror(file);
  if (ok && accept && bytes.size() - start < kHead) ok = accept(bytes.data() + start, bytes.size() - start);
  std::fclose(file);
  return ok;
}

}  // namespace kv
