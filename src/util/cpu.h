// The processor's instruction-set extensions that the kernels (dsp/) have
// versions for, detected once.
#pragma once

namespace kv {

// Bits of a CPU feature mask; each level implies the ones before it in the
// kernels' use (an AVX2 kernel may use SSE2 as well).
enum CpuFlag : unsigned {
  kCpuSse2 = 1u << 0,
  kCpuAvx2 = 1u << 1,
};
inline constexpr unsigned kCpuAll = kCpuSse2 | kCpuAvx2;

// The flags this processor has; 0 where none is known (any processor other
// than x86, or a compiler without the GNU builtins).
unsigned cpu_flags();

}  // namespace kv
