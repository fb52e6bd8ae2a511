// libFuzzer entry of the pnm_encode target; the work is in entries.cpp.
#include "entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::fuzz_pnm_encode(data, size);
  return 0;
}
