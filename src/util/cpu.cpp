#include "util/cpu.h"

namespace kv {

unsigned cpu_flags() {
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
  // GCC and clang both provide these (the latter defines __GNUC__ as well).
  __builtin_cpu_init();
  unsigned flags = 0;
  if (__builtin_cpu_supports("sse2")) flags |= kCpuSse2;
  if ((flags & kCpuSse2) && __builtin_cpu_supports("avx2")) flags |= kCpuAvx2;
  return flags;
#else
  return 0;
#endif
}

}  // namespace kv
