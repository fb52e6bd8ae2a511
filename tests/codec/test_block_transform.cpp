// Direction tables, scan orders, band layouts, the directional block
// transform with its quantiser, the diagnostic painting, and the encoder's
// direction search over them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "../entropy/test_support.h"
#include "common/block_transform.h"
#include "reference_search.h"
#include "entropy/magnitude.h"

namespace kv {
namespace {

using Pairs = std::vector<std::pair<int32_t, int32_t>>;
Pairs pairs(const std::vector<ScanDirection>& table) {
  Pairs out;
  for (ScanDirection d : table) out.push_back({d.dx, d.dy});
  return out;
}

std::vector<int32_t> scan(int w, int h, ScanDirection direction) {
  std::vector<int32_t> position(static_cast<size_t>(w * h));
  scan_positions(w, h, direction, position.data());
  return position;
}

// Samples of a block inside a larger buffer, with strides that are not the
// compact ones, and guard samples around it.
struct StridedBlock {
  int w, h;
  std::vector<int32_t> buffer;
  static constexpr int kStep = 3;
  int row() const { return kStep * w + 2; }
  StridedBlock(int w_, int h_, std::mt19937& random, int32_t range) : w(w_), h(h_) {
    buffer.resize(static_cast<size_t>(1 + (h - 1) * row() + (w - 1) * kStep + 1 + 2));
    std::uniform_int_distribution<int32_t> sample(-range, range);
    for (int32_t& v : buffer) v = sample(random);
  }
  BlockView view() { return {buffer.data() + 1, w, h, kStep, row()}; }
  int32_t& at(int x, int y) { return buffer[static_cast<size_t>(1 + y * row() + x * kStep)]; }
};

struct BlockTest : ::testing::Test {
  EncoderState state;
  std::mt19937 random{5};
  void SetUp() override {
    build_bin_tables(state.bins);
    create_models(state);
    for (float& q : state.quant) q = 1.0f;
  }
  void TearDown() override { release_models(state); }
  // Every model in a state of its own, so that a wrong model index shows.
  void train_models() {
    for (int m = 0; m < kModelCount; ++m)
      for (int r = 0; r <= m % 4; ++r)
        update_context(state.models[m], static_cast<uint32_t>((m * 7 + r * 5) % 32), kModelIncrement);
  }
};

TEST(DirectionTable, SmallBlocks) {
  const struct {
    int w, h;
    Pairs table;
  } cases[] = {
      {2, 2, {{1, 2}, {2, 1}, {2, -1}, {1, -2}}},
      {3, 2, {{1, 2}, {3, 2}, {3, 1}, {3, -1}, {3, -2}, {1, -2}}},
      {1, 1, {{1, 1}}},
      {2, 1, {{1, 1}}},
      {7, 1, {{1, 1}}},
      {1, 5, {{1, 1}}},
  };
  for (const auto& c : cases) {
    std::vector<ScanDirection> table = {{9, 9}};
    EXPECT_EQ(make_directions(table, c.w, c.h), static_cast<int>(c.table.size()));
    EXPECT_EQ(pairs(table), c.table) << c.w << 'x' << c.h;
  }
  std::vector<ScanDirection> table;
  EXPECT_EQ(make_directions(table, 32, 32), 1232);
  EXPECT_EQ(table.size(), 1232u);
}

// Every table is built from the shortest vector of each angle of the grid
// (the vectors with coprime components), sorted steepest first; entries sum
// neighbours and mirror about the horizontal. No entry puts two samples of
// its block on one line: every scan is strictly sorted by key.
TEST(DirectionTable, ShapeAndScans) {
  std::vector<std::pair<int, int>> sizes = {{32, 32}, {31, 33}, {16, 64}};
  for (int w = 1; w <= 12; ++w)
    for (int h = 1; h <= 12; ++h) sizes.push_back({w, h});
  for (const auto& size : sizes) {
    const int w = size.first, h = size.second;
    std::vector<ScanDirection> primitive;
    for (int dy = 0; dy < h; ++dy)
      for (int dx = 0; dx < w; ++dx)
        if (std::gcd(dx, dy) == 1) primitive.push_back({dx, dy});
    std::sort(primitive.begin(), primitive.end(),
              [](ScanDirection u, ScanDirection v) { return std::atan2(u.dy, u.dx) > std::atan2(v.dy, v.dx); });
    Pairs expected;
    for (size_t i = 0; i + 1 < primitive.size(); ++i)
      expected.push_back({primitive[i].dx + primitive[i + 1].dx, primitive[i].dy + primitive[i + 1].dy});
    for (size_t i = expected.size(); i-- > 0;) expected.push_back({expected[i].first, -expected[i].second});
    if (expected.empty()) expected.push_back({1, 1});
    std::vector<ScanDirection> table;
    const int d = make_directions(table, w, h);
    ASSERT_EQ(d, static_cast<int>(table.size()));
    ASSERT_EQ(pairs(table), expected) << w << 'x' << h;
    const bool large = w * h > 200;
    for (int i = 0; i < d; i += large ? 7 : 1) {
      const ScanDirection u = table[i];
      const std::vector<int32_t> position = scan(w, h, u);
      std::vector<int> order(static_cast<size_t>(w * h), -1);
      for (int s = 0; s < w * h; ++s) {
        ASSERT_TRUE(position[s] >= 0 && position[s] < w * h && order[position[s]] < 0);
        order[position[s]] = s;
      }
      auto key = [&](int s) { return (s % w) * u.dy + (s / w) * u.dx; };
      for (int r = 1; r < w * h; ++r)
        ASSERT_LT(key(order[r - 1]), key(order[r])) << w << 'x' << h << ", entry " << i << ", rank " << r;
    }
  }
}

// Every size a leaf can have (the decoder builds a table for each it meets):
// the shortest vector of each angle, steepest first, ranked exactly.
TEST(DirectionTable, EveryLeafSize) {
  for (int w = 1; w <= 1024; ++w)
    for (int h = 1; w * h <= 1024; ++h) {
      std::vector<ScanDirection> primitive;
      for (int dy = 0; dy < h; ++dy)
        for (int dx = 0; dx < w; ++dx)
          if (std::gcd(dx, dy) == 1) primitive.push_back({dx, dy});
      std::sort(primitive.begin(), primitive.end(), [](ScanDirection u, ScanDirection v) {
        return int64_t{u.dy} * v.dx > int64_t{u.dx} * v.dy;
      });
      std::vector<ScanDirection> table;
      const int d = make_directions(table, w, h);
      ASSERT_EQ(static_cast<size_t>(d), primitive.size() < 2 ? 1 : 2 * (primitive.size() - 1)) << w << 'x' << h;
      for (size_t i = 0; i + 1 < primitive.size(); ++i) {
        const ScanDirection between{primitive[i].dx + primitive[i + 1].dx, primitive[i].dy + primitive[i + 1].dy};
        ASSERT_TRUE(table[i].dx == between.dx && table[i].dy == between.dy) << w << 'x' << h << ", entry " << i;
        ASSERT_TRUE(table[d - 1 - i].dx == between.dx && table[d - 1 - i].dy == -between.dy) << w << 'x' << h;
      }
    }
}

// Rows of every width from 1 to 20 land in place, at unit and wider sample
// steps, and nothing around the block is touched.
TEST(CopyToBlock, EveryShortWidth) {
  for (int step : {1, 2})
    for (int w = 1; w <= 20; ++w)
      for (int h = 1; h <= 3; ++h) {
        const int row = step * w + 5;
        std::vector<int32_t> plane(static_cast<size_t>(2 * row + h * row), -7);
        std::vector<int32_t> compact(static_cast<size_t>(w * h));
        std::iota(compact.begin(), compact.end(), 100);
        int32_t* origin = plane.data() + row + 2;
        copy_to_block(compact.data(), {origin, w, h, step, row});
        for (size_t i = 0; i < plane.size(); ++i) {
          const ptrdiff_t offset = static_cast<ptrdiff_t>(i) - (row + 2);
          const ptrdiff_t y = offset >= 0 ? offset / row : -1, x = offset >= 0 ? offset % row : -1;
          const bool inside = y >= 0 && y < h && x % step == 0 && x / step < w;
          const int32_t expected = inside ? static_cast<int32_t>(100 + y * w + x / step) : -7;
          ASSERT_EQ(plane[i], expected) << "step " << step << ", " << w << 'x' << h << ", index " << i;
        }
      }
}

TEST(ScanOrder, Examples) {
  EXPECT_EQ(scan(2, 2, {1, 2}), (std::vector<int32_t>{0, 2, 1, 3}));   // keys 0, 2, 1, 3
  EXPECT_EQ(scan(2, 2, {2, -1}), (std::vector<int32_t>{1, 0, 3, 2}));  // keys 0, -1, 2, 1
  EXPECT_EQ(scan(2, 2, {1, 1}), (std::vector<int32_t>{0, 1, 2, 3}));   // (1,0) and (0,1) share a key
  EXPECT_EQ(scan(5, 1, {1, 1}), (std::vector<int32_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(scan(1, 5, {1, 1}), (std::vector<int32_t>{0, 1, 2, 3, 4}));
  // Equal keys x + y keep row-major order, also in blocks too large for
  // a sort to be stable by accident.
  std::vector<int32_t> expected(63);
  int rank = 0;
  for (int k = 0; k < 9 + 7 - 1; ++k)
    for (int y = 0; y < 7; ++y)
      if (k - y >= 0 && k - y < 9) expected[y * 9 + k - y] = rank++;
  EXPECT_EQ(scan(9, 7, {1, 1}), expected);
}

TEST(BandLayout, Examples) {
  const struct {
    int32_t n, levels;
    std::vector<int32_t> end;  // entries 1 .. levels + 2
  } cases[] = {
      {1, 0, {1, 0}},
      {2, 1, {2, 1, 0}},
      {4, 2, {4, 2, 1, 0}},
      {5, 3, {5, 3, 2, 1, 0}},
      {6, 3, {6, 3, 2, 1, 0}},
      {1024, 10, {1024, 512, 256, 128, 64, 32, 16, 8, 4, 2, 1, 0}},
      {1023, 10, {1023, 512, 256, 128, 64, 32, 16, 8, 4, 2, 1, 0}},
  };
  for (const auto& c : cases) {
    BandLayout layout = band_layout(c.n);
    EXPECT_EQ(layout.levels, c.levels) << c.n;
    EXPECT_EQ(std::vector<int32_t>(layout.end + 1, layout.end + c.levels + 3), c.end) << c.n;
  }
}

// With every step 1.0 forward then inverse gives back every block exactly,
// for every entry of its table, and touches nothing around the block.
TEST_F(BlockTest, ExactRoundTripForEveryDirection) {
  std::vector<std::pair<int, int>> sizes = {{32, 32}, {31, 33}, {16, 64}};
  for (int w = 1; w <= 9; ++w)
    for (int h = 1; h <= 9; ++h) sizes.push_back({w, h});
  for (auto [w, h] : sizes) {
    const BandLayout layout = band_layout(w * h);
    std::vector<ScanDirection> table;
    const int d = make_directions(table, w, h);
    StridedBlock block(w, h, random, 3000);
    const std::vector<int32_t> original = block.buffer;
    std::vector<bool> inside(original.size());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) inside[&block.at(x, y) - block.buffer.data()] = true;
    std::vector<int32_t> values(static_cast<size_t>(w * h));
    constexpr int32_t kUntouched = -123456;
    for (int a = 0; a < d; ++a) {
      const int level = a % 4;
      block.buffer = original;
      direction_transform(state.quant, level, layout, values.data(), block.view(), table[a], true);
      ASSERT_EQ(block.buffer, original) << "forward changed the block";
      std::fill(block.buffer.begin(), block.buffer.end(), kUntouched);
      direction_transform(state.quant, level, layout, values.data(), block.view(), table[a], false);
      for (size_t i = 0; i < original.size(); ++i)
        ASSERT_EQ(block.buffer[i], inside[i] ? original[i] : kUntouched) << w << 'x' << h << ", entry " << a;
    }
  }
}

TEST_F(BlockTest, ConstantBlockLeavesOnlyTheLowestCoefficient) {
  std::vector<int32_t> samples(15, -7);
  BlockView view{samples.data(), 5, 3, 1, 5};
  std::vector<ScanDirection> table;
  const int d = make_directions(table, 5, 3);
  std::vector<int32_t> expected(15, 0);
  expected[0] = -7;
  for (int a = 0; a < d; ++a) {
    std::vector<int32_t> values(15, 99);
    direction_transform(state.quant, 0, band_layout(15), values.data(), view, table[a], true);
    EXPECT_EQ(values, expected) << "entry " << a;
  }
}

// Band j of a block at `level` uses step quant[level + j]; dead zone forward,
// (v +- 0.35) * step truncated on the way back.
TEST_F(BlockTest, QuantiserSteps) {
  state.quant[3] = 7.0f;
  state.quant[4] = 10.0f;
  state.quant[5] = 7.0f;
  const BandLayout one = band_layout(1);
  const struct {
    int32_t sample, coefficient, rebuilt;
  } cases[] = {{25, 2, 23}, {-25, -2, -23}, {9, 0, 0}, {-9, 0, 0}, {10, 1, 13}, {-10, -1, -13}, {0, 0, 0}, {19, 1, 13}};
  for (const auto& c : cases) {
    int32_t sample = c.sample, value = 99;
    BlockView view{&sample, 1, 1, 1, 1};
    direction_transform(state.quant, 3, one, &value, view, {1, 1}, true);
    EXPECT_EQ(value, c.coefficient) << c.sample;
    direction_transform(state.quant, 3, one, &value, view, {1, 1}, false);
    EXPECT_EQ(sample, c.rebuilt) << c.sample;
  }
  // A 2-sample block at level 2: the low coefficient (band 2) uses quant[4],
  // the high one (band 1) quant[3].
  state.quant[3] = 10.0f;
  state.quant[4] = 4.0f;
  int32_t samples[2] = {10, 20};  // lifts to 15, 10
  int32_t values[2];
  BlockView view{samples, 2, 1, 1, 2};
  direction_transform(state.quant, 2, band_layout(2), values, view, {1, 1}, true);
  EXPECT_EQ(values[0], 3);
  EXPECT_EQ(values[1], 1);
  direction_transform(state.quant, 2, band_layout(2), values, view, {1, 1}, false);  // 13, 13 unlifted
  EXPECT_EQ(samples[0], 6);
  EXPECT_EQ(samples[1], 19);
}

TEST_F(BlockTest, DequantisingBeyond32BitsFails) {
  state.quant[1] = 1.0e6f;
  int32_t sample = 0, value = 5000;
  BlockView view{&sample, 1, 1, 1, 1};
  test::expect_failure([&] { direction_transform(state.quant, 0, band_layout(1), &value, view, {1, 1}, false); }, 1,
                       "decode_block: coefficient out of range");
}

// Scan positions 7..9 of 16 are black, 6 and 10 darkened by a quarter
// (unclamped), the rest lifted by 128 and clamped.
int32_t painted(int p, int32_t v) {
  const int32_t t = v + 128;
  if (p >= 7 && p <= 9) return 0;
  if (p == 6 || p == 10) return t - t / 4;
  return std::clamp(t, 0, 255);
}

TEST(PaintDirection, StripesAlongTheScan) {
  const std::vector<int32_t> v = {200, -300, 0, 127, -128, 1000, 300, 55, -55, 9, -200, 127, 128, -129, -1000, 5};
  const std::vector<int32_t> expected = {255, 0, 128, 255, 0, 255, 321, 0, 0, 0, -54, 255, 255, 0, 0, 133};
  std::vector<int32_t> row(32, 77);
  for (int x = 0; x < 16; ++x) {
    row[2 * x] = v[x];
    ASSERT_EQ(painted(x, v[x]), expected[x]);
  }
  paint_direction({row.data(), 16, 1, 2, 32}, 0);
  for (int x = 0; x < 16; ++x) {
    EXPECT_EQ(row[2 * x], expected[x]) << x;
    EXPECT_EQ(row[2 * x + 1], 77);
  }
  std::vector<ScanDirection> table;
  const int d = make_directions(table, 4, 4);
  for (int a = 0; a < d; ++a) {
    std::vector<int32_t> block(16, 0);
    paint_direction({block.data(), 4, 4, 1, 4}, a);
    const std::vector<int32_t> position = scan(4, 4, table[a]);
    for (int s = 0; s < 16; ++s) EXPECT_EQ(block[s], painted(position[s], 0)) << "entry " << a << ", sample " << s;
  }
}

// Direction search.

TEST_F(BlockTest, ValueBitsOfAFreshModel) {
  const std::pair<int32_t, double> cases[] = {{0, 5.0},    {1, 5.0},    {4, 5.0},
                                              {5, 6.0},    {-6, 6.0},   {9, 5.0 + std::log2(3.0)},
                                              {-300, 5.0 + std::log2(91.0)}, {13794, 5.0 + std::log2(3651.0)}};
  for (auto [value, bits] : cases) EXPECT_DOUBLE_EQ(value_bits(state, 9, value), bits) << value;
  update_context(state.models[9], 19, kModelIncrement);
  EXPECT_DOUBLE_EQ(value_bits(state, 9, 300), std::log2(352.0 / 321.0) + std::log2(91.0));
  EXPECT_DOUBLE_EQ(value_bits(state, 9, 0), std::log2(352.0));
  EXPECT_DOUBLE_EQ(value_bits(state, 8, 300), 5.0 + std::log2(91.0));
  for (int32_t v : {13795, -13795, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()})
    EXPECT_EQ(value_bits(state, 63, v), kProhibitiveBits) << v;
}

TEST(SortCandidates, CostsWithinABitRankByIndex) {
  EXPECT_TRUE(ranks_before({10.9, 7}, {10.0, 8}));
  EXPECT_FALSE(ranks_before({10.0, 8}, {10.9, 7}));
  EXPECT_FALSE(ranks_before({9.1, 9}, {10.0, 2}));  // 0.9 apart: the index decides
  EXPECT_TRUE(ranks_before({10.0, 2}, {9.1, 9}));
  EXPECT_TRUE(ranks_before({8.9, 9}, {10.0, 2}));
  EXPECT_FALSE(ranks_before({11.0, 1}, {10.0, 2}));
  EXPECT_FALSE(ranks_before({5.0, 3}, {5.0, 3}));
  // Costs far apart, beyond any integer, and infinite ones, whose difference
  // is not a number: the index decides those.
  EXPECT_TRUE(ranks_before({1e30, 5}, {3e30, 2}));
  EXPECT_FALSE(ranks_before({3e30, 2}, {1e30, 5}));
  const double infinite = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(ranks_before({infinite, 2}, {infinite, 5}));
  EXPECT_FALSE(ranks_before({infinite, 5}, {infinite, 2}));
  DirectionChoice c[] = {{10.5, 4}, {10.0, 7}, {9.9, 9}, {3.0, 8}, {20.0, 0}};
  sort_candidates(c, 5);
  const int32_t order[] = {8, 4, 7, 9, 0};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(c[i].index, order[i]) << i;
}

// The rate of a leaf written item by item: direction index, then per band
// from the lowest, each nonzero value with its sign bit and the zero run
// before it, and a closing 0 for a band that ends in zeros.
double leaf_rate(const EncoderState& state, int level, const BandLayout& layout, const int32_t* c, int index) {
  double rate = value_bits(state, kDirectionModel, index);
  for (int j = layout.levels + 1; j >= 1; --j) {
    int32_t run = 0;
    for (int p = layout.end[j + 1]; p < layout.end[j]; ++p) {
      if (c[p] == 0) {
        ++run;
        continue;
      }
      rate = ((rate + value_bits(state, j + level, c[p])) + 1) + value_bits(state, 63 - j - level, run);
      run = 0;
    }
    if (run > 0) rate += value_bits(state, j + level, 0);
  }
  return rate;
}

TEST_F(BlockTest, CostOfHandMadeBlocks) {
  train_models();
  std::vector<ScanDirection> table;
  // 1 x 1 at level 1, step 10: 25 -> 2 -> 23, SSE 4.
  state.quant[2] = 10.0f;
  int32_t one = 25;
  make_directions(table, 1, 1);
  const double single = direction_cost(state, 1, {&one, 1, 1, 1, 1}, band_layout(1), table, 0);
  EXPECT_DOUBLE_EQ(single, value_bits(state, 63, 0) + value_bits(state, 2, 2) + 1 + value_bits(state, 61, 0) +
                               12.0 * std::log2(5.0));
  EXPECT_EQ(one, 25);
  // 2 x 2, entry 3, level 2, steps 1: coefficients 3 | 0 | 0, -4 give the
  // lowest band's value, the closing 0 of band 2, a run of 1 before -4.
  state.quant[2] = 1.0f;
  make_directions(table, 2, 2);
  int32_t block[4], values[4] = {3, 0, 0, -4};
  const BlockView view{block, 2, 2, 1, 2};
  direction_transform(state.quant, 2, band_layout(4), values, view, table[3], false);
  const double expected = value_bits(state, 63, 3) + (value_bits(state, 5, 3) + 1 + value_bits(state, 58, 0)) +
                          value_bits(state, 4, 0) + (value_bits(state, 3, -4) + 1 + value_bits(state, 60, 1));
  EXPECT_NEAR(direction_cost(state, 2, view, band_layout(4), table, 3), expected, 1e-9);
  // All zeros: the index and one closing 0 per band.
  std::vector<int32_t> zeros(10, 0);
  make_directions(table, 5, 2);
  EXPECT_NEAR(direction_cost(state, 1, {zeros.data(), 5, 2, 1, 5}, band_layout(10), table, 7),
              value_bits(state, 63, 7) + value_bits(state, 6, 0) + value_bits(state, 5, 0) + value_bits(state, 4, 0) +
                  value_bits(state, 3, 0) + value_bits(state, 2, 0),
              1e-9);
}

// The search's own reconstruction is what the decoder writes into the
// image; the cost is the leaf rate plus 12 N log2(1 + 2^level sqrt(SSE) / N),
// and with every step 1.0 the rate alone.
TEST_F(BlockTest, CostMeasuresTheDecodersReconstruction) {
  train_models();
  for (int q = 0; q < 64; ++q) state.quant[q] = q < 8 ? 12.0f - q : 1.0f;
  const std::pair<int, int> sizes[] = {{4, 4}, {5, 3}, {1, 7}, {8, 8}};
  for (auto [w, h] : sizes) {
    const int n = w * h;
    const BandLayout layout = band_layout(n);
    std::vector<ScanDirection> table;
    const int d = make_directions(table, w, h);
    for (int level = 0; level <= 3; ++level)
      for (int a = 0; a < d; a += 3) {
        StridedBlock block(w, h, random, 200);
        const std::vector<int32_t> original = block.buffer;
        std::vector<int32_t> values(static_cast<size_t>(n));
        direction_transform(state.quant, level, layout, values.data(), block.view(), table[a], true);
        const double rate = leaf_rate(state, level, layout, values.data(), a);
        std::vector<int32_t> copy_values = values, compact(static_cast<size_t>(n));
        direction_transform(state.quant, level, layout, copy_values.data(), {compact.data(), w, h, 1, w}, table[a], false);
        const double cost = direction_cost(state, level, block.view(), layout, table, a);
        ASSERT_EQ(block.buffer, original) << "the estimate changed the block";
        direction_transform(state.quant, level, layout, values.data(), block.view(), table[a], false);  // the decoder
        double sse = 0;
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) {
            ASSERT_EQ(compact[y * w + x], block.at(x, y));
            const double e = block.at(x, y) - original[&block.at(x, y) - block.buffer.data()];
            sse += e * e;
          }
        EXPECT_NEAR(cost, rate + 12.0 * n * std::log2(1.0 + std::ldexp(1.0, level) * std::sqrt(sse) / n),
                    1e-9 * cost);
      }
  }
  for (float& q : state.quant) q = 1.0f;
  StridedBlock block(6, 5, random, 3000);
  std::vector<ScanDirection> table;
  const int d = make_directions(table, 6, 5);
  std::vector<int32_t> values(30);
  for (int a = 0; a < d; ++a) {
    direction_transform(state.quant, 3, band_layout(30), values.data(), block.view(), table[a], true);
    EXPECT_EQ(direction_cost(state, 3, block.view(), band_layout(30), table, a),
              leaf_rate(state, 3, band_layout(30), values.data(), a));
  }
}

TEST_F(BlockTest, SingleDirectionBlocks) {
  train_models();
  for (auto [w, h] : {std::pair{1, 1}, {7, 1}, {1, 5}}) {
    StridedBlock block(w, h, random, 100);
    const DirectionChoice choice = choose_direction(state, 1, block.view());
    std::vector<ScanDirection> table;
    make_directions(table, w, h);
    EXPECT_EQ(choice.index, 0);
    EXPECT_EQ(choice.cost, direction_cost(state, 1, block.view(), band_layout(w * h), table, 0));
  }
}

// Up to 8 entries: every index is evaluated and the first least cost wins.
TEST_F(BlockTest, WholeTableSearch) {
  train_models();
  for (int q = 0; q < 64; ++q) state.quant[q] = q < 6 ? 8.0f : 1.0f;
  const std::pair<int, int> sizes[] = {{2, 2}, {3, 2}, {2, 3}, {3, 3}, {4, 2}};
  for (auto [w, h] : sizes)
    for (int trial = 0; trial < 4; ++trial) {
      StridedBlock block(w, h, random, 60);
      std::vector<ScanDirection> table;
      const int d = make_directions(table, w, h);
      ASSERT_LE(d, kDefaultSearch.samples);
      DirectionChoice best{std::numeric_limits<double>::infinity(), -1};
      for (int a = 0; a < d; ++a) {
        const double cost = direction_cost(state, 1, block.view(), band_layout(w * h), table, a);
        if (cost < best.cost) best = {cost, a};
      }
      const DirectionChoice choice = choose_direction(state, 1, block.view());
      EXPECT_EQ(choice.index, best.index) << w << 'x' << h;
      EXPECT_EQ(choice.cost, best.cost);
    }
  // A zero block: directions differ only by the bits of their index.
  reset_context(state.models[kDirectionModel], nullptr);
  std::vector<int32_t> zeros(4, 0);
  const BlockView view{zeros.data(), 2, 2, 1, 2};
  EXPECT_EQ(choose_direction(state, 0, view).index, 0);
  update_context(state.models[kDirectionModel], 1, 320);  // index 1
  update_context(state.models[kDirectionModel], 3, 320);  // index 2, bin 3
  EXPECT_EQ(choose_direction(state, 0, view).index, 1);
  update_context(state.models[kDirectionModel], 3, 1);  // index 2 now a little cheaper
  EXPECT_EQ(choose_direction(state, 0, view).index, 2);
}

// A 5 x 2 block has 10 directions: indices 0, 1, 2, 3, 5, 6, 7, 8 are
// sampled and the three best refined once with step 1.
TEST_F(BlockTest, CoarseToFineSearch) {
  std::vector<int32_t> zeros(10, 0);
  const BlockView view{zeros.data(), 5, 2, 1, 5};
  std::vector<ScanDirection> table;
  ASSERT_EQ(make_directions(table, 5, 2), 10);
  AdaptiveModel& model = state.models[kDirectionModel];
  auto cost_of = [&](int a) { return direction_cost(state, 0, view, band_layout(10), table, a); };
  // Index 4 (bin 5) is cheapest but neither sampled nor next to the best three.
  update_context(model, 5, 4 * 320);
  DirectionChoice choice = choose_direction(state, 0, view);
  EXPECT_EQ(choice.index, 0);
  EXPECT_EQ(choice.cost, cost_of(0));
  // Once index 3 (bin 4) leads, its neighbour 4 is found.
  update_context(model, 4, 320);
  choice = choose_direction(state, 0, view);
  EXPECT_EQ(choice.index, 4);
  EXPECT_EQ(choice.cost, cost_of(4));
  // Less than a bit apart, index 1 ranks before the cheaper index 2.
  reset_context(model, nullptr);
  update_context(model, 1, 320);
  update_context(model, 3, 480);
  ASSERT_LT(cost_of(2), cost_of(1));
  choice = choose_direction(state, 0, view);
  EXPECT_EQ(choice.index, 1);
  EXPECT_EQ(choice.cost, cost_of(1));
}

}  // namespace
}  // namespace kv
