// The plane's inverse lifting (dsp.h: inverse_plane_row, inverse_plane_columns),
// included once per processor level: by lifting.cpp (any processor) and
// x86/lifting_avx2.cpp (built for AVX2). The includer defines KV_DSP_LEVEL,
// the namespace the functions go to.
#include <cstddef>
#include <cstdint>

#include "dsp/lifting.h"
#include "dsp/lifting_steps.h"

namespace kv {
namespace {

constexpr int kLineGuard = 4;

template <int Sign>
[[gnu::always_inline]] inline int32_t add_term(int32_t x, uint32_t term) {
  return unwrap(Sign > 0 ? wrap(x) + term : wrap(x) - term);
}

// The plane filter's two steps on halves held with guard slots.
template <int Sign>
[[gnu::always_inline]] inline void plane_predict_step(int32_t* e, int32_t* d, int nl, int nh) {
  extend_guarded(e, nl, -1, nh + 2);
  for (int i = 0; i < nh; ++i)
    d[i] = add_term<Sign>(d[i], plane_predict(wrap(e[i - 1]), wrap(e[i]), wrap(e[i + 1]), wrap(e[i + 2])));
}
template <int Sign>
[[gnu::always_inline]] inline void plane_update_step(int32_t* e, int32_t* d, int nl, int nh) {
  extend_guarded(d, nh, -2, nl + 1);
  for (int i = 0; i < nl; ++i)
    e[i] = add_term<Sign>(e[i], plane_update(wrap(d[i - 2]), wrap(d[i - 1]), wrap(d[i]), wrap(d[i + 1])));
}

// Step: the step when the compiler is to know it, else 0 (runtime_step).
template <int Step>
[[gnu::always_inline]] inline void inverse_plane_row_at(int32_t* start, int n, ptrdiff_t runtime_step) {
  if (n < 2) return;
  const ptrdiff_t step = Step ? Step : runtime_step;
  const int nh = n / 2;
  const int nl = (n + 1) / 2;
  const size_t half = static_cast<size_t>(nl) + 2 * kLineGuard;
  int32_t* e = lifting_scratch(0, half) + kLineGuard;
  int32_t* d = lifting_scratch(1, half) + kLineGuard;
  for (int i = 0; i < nl; ++i) e[i] = start[i * step];
  for (int i = 0; i < nh; ++i) d[i] = start[(nl + i) * step];
  plane_update_step<-1>(e, d, nl, nh);
  plane_predict_step<-1>(e, d, nl, nh);
  for (int i = 0; i < nh; ++i) {
    start[(2 * i) * step] = e[i];
    start[(2 * i + 1) * step] = d[i];
  }
  if (nl > nh) start[(n - 1) * step] = e[nh];
}

// The inverse plane filter down a batch of columns at once. The batch is
// held row by row, so that each lifting step combines whole rows; the
// extension becomes a choice of rows, made by extending an array of row
// numbers exactly as the filter extends the samples.
// Pixel: the pixel step when the compiler is to know it (1 makes the batch's
// copies contiguous), else 0.
template <int Pixel>
[[gnu::always_inline]] inline void inverse_columns_at(int32_t* origin, int w, int h, ptrdiff_t runtime_pixel,
                                                      ptrdiff_t row) {
  constexpr int kBatch = 16;
  const int nh = h / 2, nl = (h + 1) / 2;
  const ptrdiff_t pixel = Pixel ? Pixel : runtime_pixel;
  // Rows of the extended halves: low j in [-1, nh + 2), high j in [-2, nl + 1).
  int32_t* low = lifting_scratch(0, static_cast<size_t>(nl) + 2 * kLineGuard) + kLineGuard;
  int32_t* high = lifting_scratch(1, static_cast<size_t>(nh) + 2 * kLineGuard) + kLineGuard;
  for (int j = 0; j < nl; ++j) low[j] = j;
  for (int j = 0; j < nh; ++j) high[j] = nl + j;
  extend_guarded(low, nl, -1, nh + 2);
  extend_guarded(high, nh, -2, nl + 1);
  int32_t* t = lifting_scratch(2, static_cast<size_t>(kBatch) * static_cast<size_t>(h));
  auto at = [&](int tile_row) { return t + static_cast<ptrdiff_t>(tile_row) * kBatch; };
  for (int x0 = 0; x0 < w; x0 += kBatch) {
    const int count = w - x0 < kBatch ? w - x0 : kBatch;
    for (int y = 0; y < h; ++y) {
      const int32_t* source = origin + y * row + x0 * pixel;
      int32_t* target = at(y);
      for (int c = 0; c < count; ++c) target[c] = source[c * pixel];
    }
    // Update undone.
    for (int i = 0; i < nl; ++i) {
      int32_t* e = at(i);
      const int32_t *d2 = at(high[i - 2]), *d1 = at(high[i - 1]), *d0 = at(high[i]), *d3 = at(high[i + 1]);
      for (int c = 0; c < kBatch; ++c)
        e[c] = add_term<-1>(e[c], plane_update(wrap(d2[c]), wrap(d1[c]), wrap(d0[c]), wrap(d3[c])));
    }
    // Predict undone.
    for (int i = 0; i < nh; ++i) {
      int32_t* d = at(nl + i);
      const int32_t *e1 = at(low[i - 1]), *e0 = at(low[i]), *e2 = at(low[i + 1]), *e3 = at(low[i + 2]);
      for (int c = 0; c < kBatch; ++c)
        d[c] = add_term<-1>(d[c], plane_predict(wrap(e1[c]), wrap(e0[c]), wrap(e2[c]), wrap(e3[c])));
    }
    // Low and high rows interleave again.
    for (int y = 0; y < h; ++y) {
      const int32_t* source = at(y % 2 == 0 ? y / 2 : nl + y / 2);
      int32_t* target = origin + y * row + x0 * pixel;
      for (int c = 0; c < count; ++c) target[c * pixel] = source[c];
    }
  }
}

}  // namespace
}  // namespace kv

namespace kv::KV_DSP_LEVEL {

void inverse_plane_row(int32_t* start, int n, ptrdiff_t step) {
  // Only the unit step is worth knowing: at a step of 3 the compiler builds
  // vectors of the gathered samples through the stack, and every build
  // waits for its own stores.
  if (step == 1)
    inverse_plane_row_at<1>(start, n, 1);
  else
    inverse_plane_row_at<0>(start, n, step);
}

void inverse_plane_columns(int32_t* origin, int w, int h, ptrdiff_t pixel, ptrdiff_t row) {
  if (h < 2) return;
  if (pixel == 1)
    inverse_columns_at<1>(origin, w, h, 1, row);
  else
    inverse_columns_at<0>(origin, w, h, pixel, row);
}

}  // namespace kv::KV_DSP_LEVEL
