// The block filter's levels of at most kSmallBlock samples, one function per
// length, shared by every version of the search kernels (search_kernels_tmpl.h).
#pragma once

#include <array>
#include <cstdint>

namespace kv::search_tails {

inline constexpr int kSmallBlock = 32;

// Lifts the low half of length M held in `low` (scratch `spare`, the high
// halves to values + ..., the last level's coefficient to values[0]);
// index M - 1.
using ForwardTail = void (*)(int32_t* low, int32_t* spare, int32_t* d, int32_t* values);
extern const std::array<ForwardTail, kSmallBlock> kForwardTails;

// Rebuilds the low half of length M into `target` from values[0..M)
// (scratch `other` and `d`); index M - 1.
using InverseTail = void (*)(int32_t* target, int32_t* other, int32_t* d, const int32_t* values);
extern const std::array<InverseTail, kSmallBlock> kInverseTails;

// inverse_lift_scattered of a whole block of n = 2 .. kSmallBlock samples; index n - 2.
using ScatteredInverse = void (*)(const int32_t* values, const uint16_t* order, int32_t* out);
extern const std::array<ScatteredInverse, kSmallBlock - 1> kSmallScatteredInverses;

}  // namespace kv::search_tails
