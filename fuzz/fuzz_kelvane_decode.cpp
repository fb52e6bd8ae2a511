// libFuzzer entry of the kelvane_decode target; the work is in entries.cpp.
#include "entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::fuzz_kelvane_decode(data, size);
  return 0;
}
