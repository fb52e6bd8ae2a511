#include "common/lifting_filters.h"

#include "dsp/lifting_steps.h"

namespace kv {

namespace {

// Terms in 32-bit arithmetic that wraps (dsp/lifting_steps.h).
inline uint32_t u(int32_t v) { return wrap(v); }
inline int32_t shift(uint32_t v, int k) { return unwrap(v) >> k; }  // floor division

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
  return unwrap(plane_predict(u(e[i - 1]), u(e[i]), u(e[i + 1]), u(e[i + 2])));
}
int32_t p_second_8(const int32_t* e, const int32_t*, int i) {
  return shift(u(e[i - 1]) - u(e[i]) - u(e[i + 1]) + u(e[i + 2]) + 8u, 4);
}
int32_t p_second_16(const int32_t* e, const int32_t*, int i) {
  return shift(u(e[i - 1]) - u(e[i]) - u(e[i + 1]) + u(e[i + 2]) + 16u, 5);
}
int32_t p_copy(const int32_t* e, const int32_t*, int i) { return e[i]; }
int32_t u_block(const int32_t*, const int32_t* d, int i) { return unwrap(block_update(u(d[i - 1]), u(d[i]), u(d[i + 1]))); }
int32_t p_block(const int32_t* e, const int32_t*, int i) {
  return unwrap(block_predict(u(e[i - 2]), u(e[i - 1]), u(e[i + 1]), u(e[i + 2])));
}
int32_t u_half(const int32_t*, const int32_t* d, int i) { return d[i] >> 1; }
int32_t p_type5(const int32_t* e, const int32_t* d, int i) {
  return shift(0u - u(e[i - 2]) + 5u * u(e[i - 1]) + 4u * u(e[i]) - 8u * u(e[i + 1]) + 6u * u(d[i + 1]) + 8u, 4);
}
int32_t u_type6(const int32_t*, const int32_t* d, int i) {
  return shift(5u * (u(d[i - 1]) + u(d[i])) - u(d[i - 2]) - u(d[i + 1]) + 8u, 4);
}
int32_t u_plane(const int32_t*, const int32_t* d, int i) {
  return unwrap(plane_update(u(d[i - 2]), u(d[i - 1]), u(d[i]), u(d[i + 1])));
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

void lift_halves(int32_t* e, int32_t* d, int nl, int nh, uint32_t filter, ExtendFunction extend, bool forward) {
  if (filter >= 9) return;
  const Filter& f = kFilters[filter];
  if (forward) {
    for (int s = 0; s < f.count; ++s) run_step(f.steps[s], e, d, nl, nh, extend, +1);
  } else {
    for (int s = f.count - 1; s >= 0; --s) run_step(f.steps[s], e, d, nl, nh, extend, -1);
  }
}

}  // namespace kv
