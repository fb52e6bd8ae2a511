// The inverse levels of small fixed lengths (a decoded leaf's whole inverse,
// and the last levels of longer blocks), built without automatic
// vectorisation (src/CMakeLists.txt): compilers vectorise their unrolled steps
// by storing lanes one by one and loading them back as a vector across those
// stores, which the processor cannot forward, so each such load waits for
// the stores to reach the cache. Every version of the search kernels calls
// these.
#define KV_SEARCH_TAILS_ONLY
#include "dsp/search_kernels_tmpl.h"

namespace kv::search_tails {
namespace {

template <int M>
void inverse_tail(int32_t* target, int32_t* other, int32_t* d, const int32_t* values) {
  rebuild_low<M>(target, other, d, values);
}
template <int N>
void inverse_scattered_small(const int32_t* values, const uint16_t* order, int32_t* out) {
  inverse_scattered_fixed<N>(values, order, out);
}
template <int... K>
constexpr std::array<InverseTail, sizeof...(K)> inverse_tails(std::integer_sequence<int, K...>) {
  return {&inverse_tail<K + 1>...};
}
template <int... K>
constexpr std::array<ScatteredInverse, sizeof...(K)> scattered_inverses(std::integer_sequence<int, K...>) {
  return {&inverse_scattered_small<K + 2>...};
}
}  // namespace

const std::array<InverseTail, kSmallBlock> kInverseTails =
    inverse_tails(std::make_integer_sequence<int, kSmallBlock>());
const std::array<ScatteredInverse, kSmallBlock - 1> kSmallScatteredInverses =
    scattered_inverses(std::make_integer_sequence<int, kSmallBlock - 1>());

}  // namespace kv::search_tails
