// Functions built twice on x86-64 by GCC, once for processors with 256-bit
// integer vectors (AVX2), the copy chosen when the program loads; or built
// for AVX2 alone, to be called only where the processor has it.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KV_AVX2_CLONES [[gnu::target_clones("avx2", "default")]]
#define KV_AVX2_TARGET [[gnu::target("avx2")]]
#define KV_HAS_AVX2() __builtin_cpu_supports("avx2")
#else
#define KV_AVX2_CLONES
#define KV_AVX2_TARGET
#define KV_HAS_AVX2() false
#endif
