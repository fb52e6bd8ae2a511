// libFuzzer entry of the png target; the work is in entries.cpp.
#include "entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::fuzz_png(data, size);
  return 0;
}
