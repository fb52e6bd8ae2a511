// Functions built twice on x86-64 by GCC, once for processors with 256-bit
// integer vectors, the copy chosen when the program loads.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KV_AVX2_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define KV_AVX2_CLONES
#endif
