#include "dsp/colour_kernels.h"

#include <cstdint>
#include <utility>

namespace kv {

namespace {

// x + sign round(s) as lift(x, s, sign) gives it, with `ok` cleared where
// lift would fail. No branches: the checks are gathered in `ok`, and floor is
// taken from the truncation of a value whose range has been checked first.
inline int64_t lift_unchecked(int64_t x, double s, bool& ok, int sign = +1) {
  const double t = s + 0.5;
  // floor(t) > -2^32 and floor(t) < 2^32, a NaN failing both.
  const bool in_range = t >= -4294967295.0 && t < 4294967296.0;
  ok &= in_range;
  const double safe = in_range ? t : 0.0;
  int64_t r = static_cast<int64_t>(safe);
  r -= static_cast<double>(r) > safe ? 1 : 0;
  const int64_t y = x + sign * r;
  ok &= y >= INT32_MIN && y <= INT32_MAX;
  return y;
}

// scale(x, factor) likewise.
inline int64_t scale_unchecked(int64_t x, double factor, bool& ok) {
  const double y = static_cast<double>(x) * factor;
  const bool in_range = y > -2147483649.0 && y < 2147483648.0;
  ok &= in_range;
  return static_cast<int32_t>(in_range ? y : 0.0);
}

}  // namespace

bool forward_pixel3(const double* m, const int32_t* permutation, int32_t* x) {
  int32_t y[3] = {x[0], x[1], x[2]};
  std::swap(y[0], y[permutation[0]]);
  std::swap(y[1], y[permutation[1]]);
  bool ok = true;
  int64_t x0 = y[0], x1 = y[1], x2 = y[2];
  x2 = lift_unchecked(x2, 0.0 + m[6] * static_cast<double>(x0) + m[7] * static_cast<double>(x1), ok, -1);
  x1 = lift_unchecked(x1, 0.0 + m[3] * static_cast<double>(x0) + m[5] * static_cast<double>(x2), ok, -1);
  x0 = lift_unchecked(x0, 0.0 + m[1] * static_cast<double>(x1) + m[2] * static_cast<double>(x2), ok, -1);
  x2 = lift_unchecked(x2, 0.0 + m[0] * static_cast<double>(x0) + m[4] * static_cast<double>(x1), ok, -1);
  x2 = scale_unchecked(x2, m[8], ok);
  if (!ok) return false;
  x[0] = static_cast<int32_t>(x0);
  x[1] = static_cast<int32_t>(x1);
  x[2] = static_cast<int32_t>(x2);
  return true;
}

bool inverse_pixel3(const double* m, const int32_t* permutation, int32_t* x) {
  bool ok = true;
  int64_t x0 = x[0], x1 = x[1], x2 = x[2];
  x2 = scale_unchecked(x2, m[8], ok);
  x2 = lift_unchecked(x2, 0.0 + m[0] * static_cast<double>(x0) + m[4] * static_cast<double>(x1), ok);
  x0 = lift_unchecked(x0, 0.0 + m[1] * static_cast<double>(x1) + m[2] * static_cast<double>(x2), ok);
  x1 = lift_unchecked(x1, 0.0 + m[3] * static_cast<double>(x0) + m[5] * static_cast<double>(x2), ok);
  x2 = lift_unchecked(x2, 0.0 + m[6] * static_cast<double>(x0) + m[7] * static_cast<double>(x1), ok);
  if (!ok) return false;
  int32_t y[3] = {static_cast<int32_t>(x0), static_cast<int32_t>(x1), static_cast<int32_t>(x2)};
  std::swap(y[1], y[permutation[1]]);
  std::swap(y[0], y[permutation[0]]);
  x[0] = y[0];
  x[1] = y[1];
  x[2] = y[2];
  return true;
}


namespace dsp_c {

int64_t inverse_colour3(const double* factors, const int32_t* permutation, int32_t* samples, int64_t from,
                        int64_t pixels) {
  for (int64_t p = from; p < pixels; ++p)
    if (!inverse_pixel3(factors, permutation, samples + p * 3)) return p;
  return pixels;
}

}  // namespace dsp_c

}  // namespace kv
