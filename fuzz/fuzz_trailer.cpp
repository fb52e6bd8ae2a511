// libFuzzer entry of the trailer target; the work is in entries.cpp.
#include "entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::fuzz_trailer(data, size);
  return 0;
}
