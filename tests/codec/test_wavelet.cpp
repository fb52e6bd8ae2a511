// The lifting transform: worked examples, a plain re-statement of every
// filter compared on random lines, exact inversion for every filter,
// extension, length and stride, and the boundary extensions themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "common/wavelet.h"

namespace kv {
namespace {

const ExtendFunction kExtensions[] = {extend_replicate, extend_periodic, extend_symmetric, extend_half_symmetric};

std::vector<int32_t> lifted(std::vector<int32_t> line, uint32_t filter, bool forward = true) {
  lift_line(line.data(), static_cast<int>(line.size()), 1, filter, extend_symmetric, forward);
  return line;
}

std::vector<int32_t> ramp(int n) {
  std::vector<int32_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[i] = i;
  return v;
}

TEST(LiftLine, WorkedExamples) {
  const struct {
    uint32_t filter;
    std::vector<int32_t> in, out;
  } cases[] = {
      {7, {10, 20}, {15, 10}},
      {7, {20, 10}, {15, -10}},
      {7, {-7, 0}, {-3, 7}},  // a + ((b - a + 1) >> 1) floors
      {7, {10, 20, 30}, {10, 30, 0}},
      {7, ramp(8), {0, 2, 4, 7, 0, 0, 0, 2}},
      {4, ramp(8), {1, 3, 5, 7, 1, 0, 0, 1}},
      {4, {10, 20}, {15, 10}},
      {9, {1, 2, 3, 4, 5}, {1, 3, 5, 2, 4}},
      {1000, {1, 2, 3, 4, 5, 6}, {1, 3, 5, 2, 4, 6}},
      {static_cast<uint32_t>(-1), {1, 2, 3}, {1, 3, 2}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lifted(c.in, c.filter), c.out) << "filter " << c.filter << ", n " << c.in.size();
    EXPECT_EQ(lifted(c.out, c.filter, false), c.in) << "inverse, filter " << c.filter;
  }
  // A constant line keeps its value in the low half and has no detail. Built
  // by loops: as literals beside the line of 5s, GCC 12 at -O2 for AVX-512
  // targets stored the expected line as eight 5s.
  for (int n : {7, 8}) {
    const std::vector<int32_t> line(static_cast<size_t>(n), 5);
    std::vector<int32_t> expected(static_cast<size_t>(n), 0);
    std::fill_n(expected.begin(), (n + 1) / 2, 5);
    EXPECT_EQ(lifted(line, 7), expected) << "constant line, n " << n;
    EXPECT_EQ(lifted(expected, 7, false), line) << "inverse, constant line, n " << n;
  }
}

TEST(LiftLine, ShortLinesUnchanged) {
  for (uint32_t filter = 0; filter <= 9; ++filter)
    for (bool forward : {true, false}) {
      EXPECT_EQ(lifted({42}, filter, forward), std::vector<int32_t>{42});
      int32_t guard = 17;
      lift_line(&guard, 0, 1, filter, extend_symmetric, forward);
      EXPECT_EQ(guard, 17);
    }
}

// The filters written out plainly: half arrays extended through an index map
// that covers every position, terms evaluated in 64 bits.
using IndexMap = std::function<int(int i, int c)>;

int mod(int a, int p) { return ((a % p) + p) % p; }

const IndexMap kMaps[] = {
    [](int i, int c) { return i < 0 ? 0 : (i >= c ? c - 1 : i); },
    [](int i, int c) { return mod(i, c); },
    [](int i, int c) {
      if (c == 1) return 0;
      int m = mod(i, 2 * c - 2);
      return m < c ? m : 2 * c - 2 - m;
    },
    [](int i, int c) {
      int m = mod(i, 2 * c);
      return m < c ? m : 2 * c - 1 - m;
    },
};

std::vector<int32_t> reference_forward(const std::vector<int32_t>& x, uint32_t filter, const IndexMap& map) {
  const int n = static_cast<int>(x.size());
  if (n < 2) return x;
  const int nl = (n + 1) / 2, nh = n / 2;
  std::vector<int64_t> ev(nl), dv(nh + 1, 0);
  for (int i = 0; i < nl; ++i) ev[i] = x[2 * i];
  for (int i = 0; i < nh; ++i) dv[i] = x[2 * i + 1];
  auto e = [&](int i) { return ev[map(i, nl)]; };
  auto d = [&](int i) { return dv[map(i, nh)]; };
  auto predict = [&](auto term) {
    for (int i = 0; i < nh; ++i) dv[i] += term(i);
  };
  auto update = [&](auto term) {
    for (int i = 0; i < nl; ++i) ev[i] += term(i);
  };
  auto p53 = [&](int i) { return -((e(i) + e(i + 1)) >> 1); };
  auto u53 = [&](int i) { return (d(i - 1) + d(i) + 2) >> 2; };
  auto p4tap = [&](int i) { return (e(i - 1) + e(i + 2) - 9 * (e(i) + e(i + 1)) + 8) >> 4; };
  switch (filter) {
    case 0: predict(p53); update(u53); break;
    case 1: predict(p4tap); update(u53); break;
    case 2:
    case 3:
      predict(p53);
      update(u53);
      predict([&](int i) {
        int64_t s = e(i - 1) - e(i) - e(i + 1) + e(i + 2);
        return filter == 2 ? (s + 8) >> 4 : (s + 16) >> 5;
      });
      break;
    case 4:
      predict([&](int i) { return -ev[i]; });
      update([&](int i) { return (d(i - 1) + 8 * d(i) - d(i + 1) + 8) >> 4; });
      predict([&](int i) { return (6 * (e(i - 1) - e(i + 1)) - e(i - 2) + e(i + 2) + 8) >> 4; });
      break;
    case 5:
      predict([&](int i) { return -ev[i]; });
      update([&](int i) { return d(i) >> 1; });  // d[nh] is an extension for odd n
      dv[nh] = 0;  // read as d[i + 1] by the last predict, before it changes
      predict([&](int i) { return (-e(i - 2) + 5 * e(i - 1) + 4 * e(i) - 8 * e(i + 1) + 6 * dv[i + 1] + 8) >> 4; });
      break;
    case 6:
    case 7:
      predict(p4tap);
      update([&](int i) {
        return filter == 6 ? (5 * (d(i - 1) + d(i)) - d(i - 2) - d(i + 1) + 8) >> 4
                           : (9 * (d(i - 1) + d(i)) - d(i - 2) - d(i + 1) + 16) >> 5;
      });
      break;
    case 8:
      predict([&](int i) { return (-203 * (e(i) + e(i + 1)) + 64) >> 7; });
      update([&](int i) { return (-217 * (d(i - 1) + d(i)) + 2048) >> 12; });
      predict([&](int i) { return (113 * (e(i) + e(i + 1)) + 64) >> 7; });
      update([&](int i) { return (1817 * (d(i - 1) + d(i)) + 2048) >> 12; });
      break;
    default: break;
  }
  std::vector<int32_t> out;
  for (int i = 0; i < nl; ++i) out.push_back(static_cast<int32_t>(ev[i]));
  for (int i = 0; i < nh; ++i) out.push_back(static_cast<int32_t>(dv[i]));
  return out;
}

TEST(LiftLine, MatchesPlainFilters) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int32_t> sample(-5000, 5000);
  for (uint32_t filter = 0; filter <= 9; ++filter)
    for (int x = 0; x < 4; ++x)
      for (int n = 2; n <= 24; ++n) {
        std::vector<int32_t> line(static_cast<size_t>(n));
        for (int32_t& v : line) v = sample(random);
        std::vector<int32_t> got = line;
        lift_line(got.data(), n, 1, filter, kExtensions[x], true);
        ASSERT_EQ(got, reference_forward(line, filter, kMaps[x])) << "filter " << filter << ", extension " << x
                                                                  << ", n " << n;
      }
}

TEST(LiftLine, InverseRestoresEveryLine) {
  std::mt19937 random(11);
  std::uniform_int_distribution<int32_t> sample(-5000, 5000);
  const uint32_t filters[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1000};
  for (uint32_t filter : filters)
    for (ExtendFunction extend : kExtensions)
      for (int stride : {1, 2, 5})
        for (int n = 0; n <= 70; ++n) {
          std::vector<int32_t> buffer(static_cast<size_t>(n * stride + 3));
          for (int32_t& v : buffer) v = sample(random);
          const std::vector<int32_t> original = buffer;
          lift_line(buffer.data(), n, stride, filter, extend, true);
          lift_line(buffer.data(), n, stride, filter, extend, false);
          ASSERT_EQ(buffer, original) << "filter " << filter << ", stride " << stride << ", n " << n;
        }
}

TEST(LiftLine, StrideLeavesSamplesBetweenUntouched) {
  std::vector<int32_t> buffer(24);
  for (int i = 0; i < 24; ++i) buffer[i] = 1000 + 7 * i * i;
  std::vector<int32_t> before = buffer;
  lift_line(buffer.data(), 8, 3, kPlaneFilter, extend_symmetric, true);
  std::vector<int32_t> line;
  for (int k = 0; k < 8; ++k) line.push_back(before[3 * k]);
  const std::vector<int32_t> expected = lifted(line, kPlaneFilter);
  for (int i = 0; i < 24; ++i) {
    if (i % 3 == 0)
      EXPECT_EQ(buffer[i], expected[i / 3]) << i;
    else
      EXPECT_EQ(buffer[i], before[i]) << i;
  }
}

// Extensions of [1, 2, 3, 4] over [-6, 12), and of shorter arrays; slots
// outside the range and the samples themselves must stay as they were.
TEST(Extension, FillsExactlyTheRange) {
  const struct {
    ExtendFunction extend;
    std::vector<int32_t> samples;
    int lo, hi;
    std::vector<int32_t> expected;  // indices lo .. hi - 1
  } cases[] = {
      {extend_symmetric, {1, 2, 3, 4}, -6, 12, {1, 2, 3, 4, 3, 2, 1, 2, 3, 4, 3, 2, 1, 2, 3, 4, 3, 2}},
      {extend_half_symmetric, {1, 2, 3, 4}, -6, 12, {3, 4, 4, 3, 2, 1, 1, 2, 3, 4, 4, 3, 2, 1, 1, 2, 3, 4}},
      {extend_periodic, {1, 2, 3, 4}, -6, 12, {3, 4, 1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4, 1, 2, 3, 4}},
      {extend_replicate, {1, 2, 3, 4}, -6, 12, {1, 1, 1, 1, 1, 1, 1, 2, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4}},
      {extend_symmetric, {8}, -2, 3, {8, 8, 8, 8, 8}},
      {extend_symmetric, {1, 2}, -3, 5, {2, 1, 2, 1, 2, 1, 2, 1}},
      {extend_half_symmetric, {8}, -2, 3, {8, 8, 8, 8, 8}},
      {extend_half_symmetric, {1, 2}, -3, 5, {2, 2, 1, 1, 2, 2, 1, 1}},
      {extend_periodic, {5, 6, 7}, -1, 4, {7, 5, 6, 7, 5}},
      {extend_symmetric, {1, 2, 3}, 0, 3, {1, 2, 3}},
  };
  constexpr int kPad = 8;
  constexpr int32_t kUntouched = -99;
  for (const auto& c : cases) {
    const int count = static_cast<int>(c.samples.size());
    std::vector<int32_t> buffer(static_cast<size_t>(count + 2 * kPad + 6), kUntouched);
    int32_t* x = buffer.data() + kPad + 6;
    std::copy(c.samples.begin(), c.samples.end(), x);
    c.extend(x, count, c.lo, c.hi);
    for (int i = -kPad - 6; i < count + kPad; ++i) {
      const int32_t want = (i >= c.lo && i < c.hi) ? c.expected[i - c.lo] : kUntouched;
      const int32_t want_inside = (i >= 0 && i < count) ? c.samples[i] : want;
      EXPECT_EQ(x[i], want_inside) << "index " << i << ", count " << count << ", range " << c.lo << ".." << c.hi;
    }
  }
}

}  // namespace
}  // namespace kv
