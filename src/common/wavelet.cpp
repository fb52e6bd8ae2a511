#include "common/wavelet.h"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "dsp/vector_clones.h"

namespace kv {

namespace {

// Lifting terms are evaluated in 32-bit arithmetic that wraps instead of
// overflowing: identical results for every line whose sums fit, and defined
// behaviour for the garbage a damaged stream can decode to.
inline uint32_t u(int32_t v) { return static_cast<uint32_t>(v); }
inline int32_t shift(uint32_t v, int k) { return static_cast<int32_t>(v) >> k; }  // floor division

using Term = int32_t (*)(const int32_t* e, const int32_t* d, int i);

struct LiftStep {
  bool predict;      // changes the odd array d from the even array e; else the reverse
  int lo;            // extension range of the array read: [lo, hi)
  bool hi_from_even; // hi counts from nl (else from nh)
  int hi_add;
  int sign;          // +1 adds the term in the forward direction, -1 subtracts it
  bool zero_tail;    // the step reads d[i + 1] and needs d[nh] = 0 beforehand
  Term term;
};

int32_t p_53(const int32_t* e, const int32_t*, int i) { return shift(u(e[i]) + u(e[i + 1]), 1); }
int32_t u_53(const int32_t*, const int32_t* d, int i) { return shift(u(d[i - 1]) + u(d[i]) + 2u, 2); }
int32_t p_four_tap(const int32_t* e, const int32_t*, int i) {
  return shift(u(e[i - 1]) + u(e[i + 2]) - 9u * (u(e[i]) + u(e[i + 1])) + 8u, 4);
}
int32_t p_second_8(const int32_t* e, const int32_t*, int i) {
  return shift(u(e[i - 1]) - u(e[i]) - u(e[i + 1]) + u(e[i + 2]) + 8u, 4);
}
int32_t p_second_16(const int32_t* e, const int32_t*, int i) {
  return shift(u(e[i - 1]) - u(e[i]) - u(e[i + 1]) + u(e[i + 2]) + 16u, 5);
}
int32_t p_copy(const int32_t* e, const int32_t*, int i) { return e[i]; }
int32_t u_block(const int32_t*, const int32_t* d, int i) {
  return shift(u(d[i - 1]) + 8u * u(d[i]) - u(d[i + 1]) + 8u, 4);
}
int32_t p_block(const int32_t* e, const int32_t*, int i) {
  return shift(6u * (u(e[i - 1]) - u(e[i + 1])) - u(e[i - 2]) + u(e[i + 2]) + 8u, 4);
}
int32_t u_half(const int32_t*, const int32_t* d, int i) { return d[i] >> 1; }
int32_t p_type5(const int32_t* e, const int32_t* d, int i) {
  return shift(0u - u(e[i - 2]) + 5u * u(e[i - 1]) + 4u * u(e[i]) - 8u * u(e[i + 1]) + 6u * u(d[i + 1]) + 8u, 4);
}
int32_t u_type6(const int32_t*, const int32_t* d, int i) {
  return shift(5u * (u(d[i - 1]) + u(d[i])) - u(d[i - 2]) - u(d[i + 1]) + 8u, 4);
}
int32_t u_plane(const int32_t*, const int32_t* d, int i) {
  return shift(9u * (u(d[i - 1]) + u(d[i])) - u(d[i - 2]) - u(d[i + 1]) + 16u, 5);
}
int32_t p_97_a(const int32_t* e, const int32_t*, int i) { return shift(u(-203) * (u(e[i]) + u(e[i + 1])) + 64u, 7); }
int32_t u_97_b(const int32_t*, const int32_t* d, int i) {
  return shift(u(-217) * (u(d[i - 1]) + u(d[i])) + 2048u, 12);
}
int32_t p_97_c(const int32_t* e, const int32_t*, int i) { return shift(113u * (u(e[i]) + u(e[i + 1])) + 64u, 7); }
int32_t u_97_d(const int32_t*, const int32_t* d, int i) {
  return shift(1817u * (u(d[i - 1]) + u(d[i])) + 2048u, 12);
}

struct Filter {
  int count;
  LiftStep steps[4];
};

// hi is given as (from nl?, offset): e is extended as a signal of nl samples, d of nh.
const Filter kFilters[9] = {
    {2, {{true, 0, false, 1, -1, false, p_53}, {false, -1, true, 0, +1, false, u_53}}},
    {2, {{true, -1, false, 2, +1, false, p_four_tap}, {false, -1, true, 0, +1, false, u_53}}},
    {3,
     {{true, 0, false, 1, -1, false, p_53},
      {false, -1, true, 0, +1, false, u_53},
      {true, -1, false, 2, +1, false, p_second_8}}},
    {3,
     {{true, 0, false, 1, -1, false, p_53},
      {false, -1, true, 0, +1, false, u_53},
      {true, -1, false, 2, +1, false, p_second_16}}},
    {3,
     {{true, 0, false, 0, -1, false, p_copy},
      {false, -1, true, 1, +1, false, u_block},
      {true, -2, false, 2, +1, false, p_block}}},
    {3,
     {{true, 0, false, 0, -1, false, p_copy},
      {false, 0, true, 0, +1, false, u_half},
      {true, -2, false, 1, +1, true, p_type5}}},
    {2, {{true, -1, false, 2, +1, false, p_four_tap}, {false, -2, true, 1, +1, false, u_type6}}},
    {2, {{true, -1, false, 2, +1, false, p_four_tap}, {false, -2, true, 1, +1, false, u_plane}}},
    {4,
     {{true, 0, false, 1, +1, false, p_97_a},
      {false, -1, true, 0, +1, false, u_97_b},
      {true, 0, false, 1, +1, false, p_97_c},
      {false, -1, true, 0, +1, false, u_97_d}}},
};

inline void apply(int32_t& x, int32_t term, int sign) {
  x = static_cast<int32_t>(sign > 0 ? u(x) + u(term) : u(x) - u(term));
}

void run_step(const LiftStep& step, int32_t* e, int32_t* d, int nl, int nh, ExtendFunction extend, int sign) {
  int hi = (step.hi_from_even ? nl : nh) + step.hi_add;
  if (step.predict) {
    extend(e, nl, step.lo, hi);
    if (step.zero_tail) d[nh] = 0;
    // Upwards when adding, downwards when undoing: a step that reads d[i + 1]
    // then always sees it as it was before the forward step.
    if (sign * step.sign > 0) {
      for (int i = 0; i < nh; ++i) apply(d[i], step.term(e, d, i), +1);
    } else {
      for (int i = nh - 1; i >= 0; --i) apply(d[i], step.term(e, d, i), -1);
    }
  } else {
    extend(d, nh, step.lo, hi);
    for (int i = 0; i < nl; ++i) apply(e[i], step.term(e, d, i), sign * step.sign);
  }
}

// extend_symmetric for the at most two samples the two filters below read
// beyond either end: from 3 samples on each is a direct mirror image.
inline void extend_two(int32_t* x, int c, int lo, int hi) {
  if (c < 3) [[unlikely]] {
    extend_symmetric(x, c, lo, hi);
    return;
  }
  for (int j = -1; j >= lo; --j) x[j] = x[-j];
  for (int j = c; j < hi; ++j) x[j] = x[2 * c - 2 - j];
}

// The two filters the codec uses, with symmetric extension, written out so
// that the loops run without calls or branches; the results equal the
// generic steps.
template <int Sign>
inline void add_term(int32_t& x, uint32_t term) {
  x = static_cast<int32_t>(Sign > 0 ? u(x) + term : u(x) - term);
}

template <int Sign>
void block_copy_step(int32_t* e, int32_t* d, int nh) {
  for (int i = 0; i < nh; ++i) add_term<-Sign>(d[i], u(e[i]));
}
template <int Sign>
void block_update_step(int32_t* e, int32_t* d, int nl, int nh) {
  extend_two(d, nh, -1, nl + 1);
  for (int i = 0; i < nl; ++i) add_term<Sign>(e[i], u(shift(u(d[i - 1]) + 8u * u(d[i]) - u(d[i + 1]) + 8u, 4)));
}
template <int Sign>
void block_predict_step(int32_t* e, int32_t* d, int nl, int nh) {
  extend_two(e, nl, -2, nh + 2);
  for (int i = 0; i < nh; ++i)
    add_term<Sign>(d[i], u(shift(6u * (u(e[i - 1]) - u(e[i + 1])) - u(e[i - 2]) + u(e[i + 2]) + 8u, 4)));
}

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

template <int Sign>
[[gnu::always_inline]] inline void plane_predict_step(int32_t* e, int32_t* d, int nl, int nh) {
  extend_two(e, nl, -1, nh + 2);
  for (int i = 0; i < nh; ++i)
    add_term<Sign>(d[i], u(shift(u(e[i - 1]) + u(e[i + 2]) - 9u * (u(e[i]) + u(e[i + 1])) + 8u, 4)));
}
template <int Sign>
[[gnu::always_inline]] inline void plane_update_step(int32_t* e, int32_t* d, int nl, int nh) {
  extend_two(d, nh, -2, nl + 1);
  for (int i = 0; i < nl; ++i)
    add_term<Sign>(e[i], u(shift(9u * (u(d[i - 1]) + u(d[i])) - u(d[i - 2]) - u(d[i + 1]) + 16u, 5)));
}

[[gnu::always_inline]] inline void plane_filter(int32_t* e, int32_t* d, int nl, int nh, bool forward) {
  if (forward) {
    plane_predict_step<+1>(e, d, nl, nh);
    plane_update_step<+1>(e, d, nl, nh);
  } else {
    plane_update_step<-1>(e, d, nl, nh);
    plane_predict_step<-1>(e, d, nl, nh);
  }
}

constexpr int kGuard = 4;

}  // namespace

void extend_replicate(int32_t* x, int c, int lo, int hi) {
  for (int j = -1; j >= lo; --j) x[j] = x[0];
  for (int j = c; j < hi; ++j) x[j] = x[c - 1];
}

void extend_periodic(int32_t* x, int c, int lo, int hi) {
  for (int j = -1; j >= lo; --j) x[j] = x[j + c];
  for (int j = c; j < hi; ++j) x[j] = x[j - c];
}

void extend_symmetric(int32_t* x, int c, int lo, int hi) {
  if (c == 1) {
    extend_replicate(x, c, lo, hi);
    return;
  }
  const int period = 2 * c - 2;
  for (int j = -1; j >= lo; --j) x[j] = -j <= c - 1 ? x[-j] : x[j + period];
  for (int j = c; j < hi; ++j) {
    int k = j - (c - 1);
    x[j] = k <= c - 1 ? x[c - 1 - k] : x[j - period];
  }
}

void extend_half_symmetric(int32_t* x, int c, int lo, int hi) {
  const int period = 2 * c;
  for (int j = -1; j >= lo; --j) x[j] = -j <= c ? x[-j - 1] : x[j + period];
  for (int j = c; j < hi; ++j) {
    int k = j - (c - 1);
    x[j] = k <= c ? x[c - k] : x[j - period];
  }
}

void lift_block_levels(int32_t* values, const int32_t* lengths, int levels, bool forward) {
  // Halves of at most 512 samples each, with guard slots on both sides.
  int32_t even[512 + 2 * kGuard], odd[512 + 2 * kGuard];
  int32_t* e = even + kGuard;
  int32_t* d = odd + kGuard;
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

namespace {

// The two halves of a line of nl + nh samples (nh <= nl) in scratch that
// belongs to the thread and only grows, with guard slots on both sides of
// each half.
struct LineHalves {
  int32_t* low;
  int32_t* high;
};
LineHalves line_halves(int nl) {
  thread_local std::vector<int32_t> scratch;
  const size_t half = static_cast<size_t>(nl) + 2 * kGuard;
  if (scratch.size() < 2 * half) scratch.resize(2 * half);
  return {scratch.data() + kGuard, scratch.data() + half + kGuard};
}

template <int Step>
[[gnu::always_inline]] inline void inverse_plane_row_at(int32_t* start, int n, ptrdiff_t runtime_step) {
  if (n < 2) return;
  const ptrdiff_t step = Step ? Step : runtime_step;
  const int nh = n / 2;
  const int nl = (n + 1) / 2;
  const LineHalves halves = line_halves(nl);
  int32_t* e = halves.low;
  int32_t* d = halves.high;
  for (int i = 0; i < nl; ++i) e[i] = start[i * step];
  for (int i = 0; i < nh; ++i) d[i] = start[(nl + i) * step];
  plane_filter(e, d, nl, nh, false);
  for (int i = 0; i < nh; ++i) {
    start[(2 * i) * step] = e[i];
    start[(2 * i + 1) * step] = d[i];
  }
  if (nl > nh) start[(n - 1) * step] = e[nh];
}

}  // namespace

// In 256-bit vectors where the processor has them, like the columns
// (plane.cpp): the filter's steps are inlined into each copy.
KV_AVX2_CLONES void inverse_plane_row(int32_t* start, int n, ptrdiff_t step) {
  // Only the unit step is worth knowing: at a step of 3 the compiler builds
  // vectors of the gathered samples through the stack, and every build
  // waits for its own stores.
  if (step == 1)
    inverse_plane_row_at<1>(start, n, 1);
  else
    inverse_plane_row_at<0>(start, n, step);
}

void lift_line(int32_t* start, int n, int stride, uint32_t filter, ExtendFunction extend, bool forward) {
  if (n < 2) return;
  const int nh = n / 2;
  const int nl = (n + 1) / 2;
  const LineHalves halves = line_halves(nl);
  int32_t* e = halves.low;
  int32_t* d = halves.high;
  const ptrdiff_t step = stride;

  if (forward) {
    for (int i = 0; i < nl; ++i) e[i] = start[(2 * i) * step];
    for (int i = 0; i < nh; ++i) d[i] = start[(2 * i + 1) * step];
  } else {
    for (int i = 0; i < nl; ++i) e[i] = start[i * step];
    for (int i = 0; i < nh; ++i) d[i] = start[(nl + i) * step];
  }

  if (extend == extend_symmetric && filter == kBlockFilter) {
    block_filter(e, d, nl, nh, forward);
  } else if (extend == extend_symmetric && filter == kPlaneFilter) {
    plane_filter(e, d, nl, nh, forward);
  } else if (filter < 9) {
    const Filter& f = kFilters[filter];
    if (forward) {
      for (int s = 0; s < f.count; ++s) run_step(f.steps[s], e, d, nl, nh, extend, +1);
    } else {
      for (int s = f.count - 1; s >= 0; --s) run_step(f.steps[s], e, d, nl, nh, extend, -1);
    }
  }

  if (forward) {
    for (int i = 0; i < nl; ++i) start[i * step] = e[i];
    for (int i = 0; i < nh; ++i) start[(nl + i) * step] = d[i];
  } else {
    for (int i = 0; i < nl; ++i) start[(2 * i) * step] = e[i];
    for (int i = 0; i < nh; ++i) start[(2 * i + 1) * step] = d[i];
  }
}

}  // namespace kv
