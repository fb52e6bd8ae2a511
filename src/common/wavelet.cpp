#include "common/wavelet.h"

#include <cstddef>

namespace kv {

void lift_line(int32_t* start, int n, int stride, uint32_t filter, ExtendFunction extend, bool forward) {
  if (n < 2) return;
  const int nh = n / 2;
  const int nl = (n + 1) / 2;
  // The two halves with four guard slots on both sides of each.
  constexpr int kGuard = 4;
  const size_t half = static_cast<size_t>(nl) + 2 * kGuard;
  int32_t* scratch = lifting_scratch(3, 2 * half);
  int32_t* e = scratch + kGuard;
  int32_t* d = scratch + half + kGuard;
  const ptrdiff_t step = stride;

  if (forward) {
    for (int i = 0; i < nl; ++i) e[i] = start[(2 * i) * step];
    for (int i = 0; i < nh; ++i) d[i] = start[(2 * i + 1) * step];
  } else {
    for (int i = 0; i < nl; ++i) e[i] = start[i * step];
    for (int i = 0; i < nh; ++i) d[i] = start[(nl + i) * step];
  }

  if (extend == extend_symmetric && filter == kBlockFilter)
    block_filter(e, d, nl, nh, forward);
  else if (extend == extend_symmetric && filter == kPlaneFilter)
    plane_filter(e, d, nl, nh, forward);
  else
    lift_halves(e, d, nl, nh, filter, extend, forward);

  if (forward) {
    for (int i = 0; i < nl; ++i) start[i * step] = e[i];
    for (int i = 0; i < nh; ++i) start[(nl + i) * step] = d[i];
  } else {
    for (int i = 0; i < nl; ++i) start[(2 * i) * step] = e[i];
    for (int i = 0; i < nh; ++i) start[(2 * i + 1) * step] = d[i];
  }
}

}  // namespace kv
