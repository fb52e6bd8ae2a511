// The search kernels for any processor, and the levels of small lengths that
// the longer blocks' forward transforms of every version share.
#define KV_DSP_LEVEL dsp_c
#include "dsp/search_kernels_tmpl.h"

namespace kv::search_tails {
namespace {

template <int M>
void forward_tail(int32_t* low, int32_t* spare, int32_t* d, int32_t* values) {
  forward_levels<M>(low, spare, d, values);
}
template <int... K>
constexpr std::array<ForwardTail, sizeof...(K)> forward_tails(std::integer_sequence<int, K...>) {
  return {&forward_tail<K + 1>...};
}

}  // namespace

const std::array<ForwardTail, kSmallBlock> kForwardTails =
    forward_tails(std::make_integer_sequence<int, kSmallBlock>());

}  // namespace kv::search_tails
