// The scalar definitions of the codec's lifting filters, and the plane's
// inverse lifting for any processor.
#define KV_DSP_LEVEL dsp_c
#include "dsp/lifting_tmpl.h"

#include <algorithm>
#include <vector>

namespace kv {

namespace {

// Block filter steps; Sign +1 runs the step forward, -1 undoes it.
template <int Sign>
void block_copy_step(const int32_t* e, int32_t* d, int nh) {
  for (int i = 0; i < nh; ++i) d[i] = add_term<-Sign>(d[i], wrap(e[i]));
}
template <int Sign>
void block_update_step(int32_t* e, int32_t* d, int nl, int nh) {
  extend_guarded(d, nh, -1, nl + 1);
  for (int i = 0; i < nl; ++i) e[i] = add_term<Sign>(e[i], block_update(wrap(d[i - 1]), wrap(d[i]), wrap(d[i + 1])));
}
template <int Sign>
void block_predict_step(int32_t* e, int32_t* d, int nl, int nh) {
  extend_guarded(e, nl, -2, nh + 2);
  for (int i = 0; i < nh; ++i)
    d[i] = add_term<Sign>(d[i], block_predict(wrap(e[i - 2]), wrap(e[i - 1]), wrap(e[i + 1]), wrap(e[i + 2])));
}

}  // namespace

void block_filter(int32_t* e, int32_t* d, int nl, int nh, bool forward) {
  if (forward) {
    block_copy_step<+1>(e, d, nh);
    block_update_step<+1>(e, d, nl, nh);
    block_predict_step<+1>(e, d, nl, nh);
  } else {
    block_predict_step<-1>(e, d, nl, nh);
    block_update_step<-1>(e, d, nl, nh);
    block_copy_step<-1>(e, d, nh);
  }
}

void plane_filter(int32_t* e, int32_t* d, int nl, int nh, bool forward) {
  if (forward) {
    plane_predict_step<+1>(e, d, nl, nh);
    plane_update_step<+1>(e, d, nl, nh);
  } else {
    plane_update_step<-1>(e, d, nl, nh);
    plane_predict_step<-1>(e, d, nl, nh);
  }
}

void lift_block_levels(int32_t* values, const int32_t* lengths, int levels, bool forward) {
  // Halves of at most 512 samples each, with guard slots on both sides.
  int32_t even[512 + 2 * kLineGuard], odd[512 + 2 * kLineGuard];
  int32_t* e = even + kLineGuard;
  int32_t* d = odd + kLineGuard;
  for (int step = 0; step < levels; ++step) {
    const int n = lengths[forward ? step : levels - 1 - step];
    if (n < 2) continue;
    const int nh = n / 2, nl = (n + 1) / 2;
    if (forward) {
      for (int i = 0; i < nh; ++i) {
        e[i] = values[2 * i];
        d[i] = values[2 * i + 1];
      }
      if (nl > nh) e[nh] = values[n - 1];
      block_filter(e, d, nl, nh, true);
      std::copy(e, e + nl, values);
      std::copy(d, d + nh, values + nl);
    } else {
      std::copy(values, values + nl, e);
      std::copy(values + nl, values + n, d);
      block_filter(e, d, nl, nh, false);
      for (int i = 0; i < nh; ++i) {
        values[2 * i] = e[i];
        values[2 * i + 1] = d[i];
      }
      if (nl > nh) values[n - 1] = e[nh];
    }
  }
}

int32_t* lifting_scratch(int slot, size_t count) {
  thread_local std::vector<int32_t> buffers[4];
  std::vector<int32_t>& buffer = buffers[slot];
  if (buffer.size() < count) buffer.resize(count);
  return buffer.data();
}

}  // namespace kv
