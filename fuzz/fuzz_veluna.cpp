// libFuzzer entry of the veluna target; the work is in entries.cpp.
#include "entries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kv::fuzz_veluna(data, size);
  return 0;
}
