// Directions transformed side by side, one per vector lane, against the plain
// steps lane by lane: gather then lift_block, lift_block inverse then the
// error, and the thresholds that tell all-zero lanes.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <random>
#include <vector>

#include "common/block_transform.h"
#include "dsp/direction_batch.h"

namespace kv {
namespace {

// Lengths around every level boundary the lifting meets, and the longest.
const std::vector<int> kSizes = [] {
  std::vector<int> sizes;
  for (int n = 2; n <= 40; ++n) sizes.push_back(n);
  for (int n : {63, 64, 65, 100, 255, 256, 257, 456, 511, 532, 1023, 1024}) sizes.push_back(n);
  return sizes;
}();

struct Batch {
  BandLayout layout;
  std::vector<int32_t> samples;
  std::vector<std::vector<uint16_t>> orders;  // one scan order per lane
  std::vector<std::vector<int32_t>> gathered;  // each lane's samples by scan position
};

Batch make_batch(int n, int count, int32_t range, std::mt19937& random) {
  Batch b{band_layout(n), std::vector<int32_t>(static_cast<size_t>(n)), {}, {}};
  std::uniform_int_distribution<int32_t> value(-range, range);
  for (int32_t& s : b.samples) s = value(random);
  for (int k = 0; k < count; ++k) {
    std::vector<uint16_t> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), uint16_t{0});
    std::shuffle(order.begin(), order.end(), random);
    std::vector<int32_t> gathered;
    for (uint16_t i : order) gathered.push_back(b.samples[i]);
    b.orders.push_back(std::move(order));
    b.gathered.push_back(std::move(gathered));
  }
  return b;
}

// The working storage is large: on the heap, as the encoder keeps it.
struct Storage {
  BatchWork work;
  LaneValues values;
  LaneSamples kept;
};

void lift(const Batch& b, Storage& s, LaneSamples* kept) {
  const uint16_t* orders[kBatchLanes];
  for (size_t k = 0; k < b.orders.size(); ++k) orders[k] = b.orders[k].data();
  lift_directions(b.samples.data(), orders, static_cast<int>(b.orders.size()), b.layout, kept, s.work);
  lanes_to_arrays(s.work.out, b.layout.end[1], s.values);
}

TEST(DirectionBatch, EachLaneLiftsAsLiftBlock) {
  std::mt19937 random(11);
  auto s = std::make_unique<Storage>();
  // Image-like values, and values whose lifting sums wrap around 32 bits;
  // full and partial batches.
  for (int32_t range : {300, 2147483647}) {
    for (int n : kSizes) {
      for (int count : {kBatchLanes, 3}) {
        const Batch b = make_batch(n, count, range, random);
        lift(b, *s, &s->kept);
        for (int k = 0; k < count; ++k) {
          std::vector<int32_t> expected = b.gathered[static_cast<size_t>(k)];
          lift_block(expected.data(), b.layout, true);
          const std::vector<int32_t> lane(s->values.of[k], s->values.of[k] + n);
          ASSERT_EQ(lane, expected) << "n " << n << " lane " << k << " range " << range;
          const std::vector<int32_t>& gathered = b.gathered[static_cast<size_t>(k)];
          for (int p = 0; p < n; ++p) ASSERT_EQ(s->kept.at[p][k], gathered[static_cast<size_t>(p)]);
        }
      }
    }
  }
}

TEST(DirectionBatch, EachLanesErrorIsItsReconstructionsError) {
  std::mt19937 random(12);
  auto s = std::make_unique<Storage>();
  for (int n : kSizes) {
    // Image-like samples with quantising noise on the coefficients, and
    // samples beyond the side-by-side sums' 2^29 or errors whose sums pass
    // 2^63, which lanes must refuse.
    for (auto [range, noise] : {std::pair{255, 0}, {255, 3}, {255, 40000}, {1 << 30, 3}, {255, 1 << 30}}) {
      const int count = n % 2 ? kBatchLanes : 5;
      const Batch b = make_batch(n, count, range, random);
      lift(b, *s, &s->kept);
      std::uniform_int_distribution<int32_t> change(-noise, noise);
      for (int k = 0; k < count; ++k)
        for (int p = 0; p < n; ++p) s->values.of[k][p] += change(random);
      const LaneValues coefficients = s->values;
      int64_t sse[kBatchLanes];
      const unsigned valid = inverse_squared_errors(s->values, count, b.layout, s->kept, sse, s->work);
      for (int k = 0; k < count; ++k) {
        std::vector<int32_t> rebuilt(s->values.of[k], s->values.of[k] + n);
        ASSERT_TRUE(std::equal(rebuilt.begin(), rebuilt.end(), coefficients.of[k])) << "values changed, n " << n;
        lift_block(rebuilt.data(), b.layout, false);
        uint64_t expected = 0;  // wraps where the lane is refused
        int64_t farthest = 0;
        bool narrow = true;  // every value and sample in [-2^29, 2^29)
        for (int p = 0; p < n; ++p) {
          const int32_t r = rebuilt[static_cast<size_t>(p)];
          const int32_t x = b.gathered[static_cast<size_t>(k)][static_cast<size_t>(p)];
          const int64_t d = int64_t{r} - x;
          const int64_t distance = d < 0 ? -d : d;
          expected += static_cast<uint64_t>(distance) * static_cast<uint64_t>(distance);
          farthest = std::max(farthest, distance);
          narrow = narrow && r >= -(1 << 29) && r < (1 << 29) && x >= -(1 << 29) && x < (1 << 29);
        }
        const bool summable = narrow && farthest < (1 << 21);
        EXPECT_EQ((valid >> k & 1) != 0, summable) << "n " << n << " lane " << k << " range " << range;
        EXPECT_EQ(static_cast<uint64_t>(sse[k]), summable ? expected : 0) << "n " << n << " lane " << k << " noise " << noise;
      }
    }
  }
}

TEST(DirectionBatch, ValuesBelowTheirBandsThresholdsAreCleared) {
  std::mt19937 random(13);
  auto s = std::make_unique<Storage>();
  for (int n : {2, 5, 30, 64, 456}) {
    const Batch b = make_batch(n, kBatchLanes, 40, random);
    // Thresholds per band from 1 to far above every coefficient.
    for (uint32_t scale : {1u, 7u, 30u, 1000u}) {
      lift(b, *s, nullptr);
      const LaneValues before = s->values;
      uint32_t least[16] = {};
      for (int j = 1; j <= b.layout.levels + 1; ++j) least[j] = scale * static_cast<uint32_t>(j);
      uint32_t bands[kBatchLanes];
      const unsigned kept = clear_below(s->work, b.layout, least, bands);
      lanes_to_arrays(s->work.out, n, s->values);
      for (int k = 0; k < kBatchLanes; ++k) {
        uint32_t expected_bands = 0;
        for (int j = 1; j <= b.layout.levels + 1; ++j)
          for (int p = b.layout.end[j + 1]; p < b.layout.end[j]; ++p) {
            const int64_t v = before.of[k][p];
            const bool above = static_cast<uint64_t>(v < 0 ? -v : v) >= least[j];
            if (above) expected_bands |= 1u << j;
            ASSERT_EQ(s->values.of[k][p], above ? v : 0) << "n " << n << " lane " << k << " position " << p;
          }
        EXPECT_EQ(bands[k], expected_bands) << "n " << n << " lane " << k << " scale " << scale;
        EXPECT_EQ((kept >> k & 1) != 0, expected_bands != 0) << "n " << n << " lane " << k;
      }
    }
    // The most negative value counts as 2^31.
    lift(b, *s, nullptr);
    s->work.out[n - 1][3] = INT32_MIN;
    uint32_t huge[16], bands[kBatchLanes];
    std::fill(std::begin(huge), std::end(huge), 2147483648u);
    EXPECT_EQ(clear_below(s->work, b.layout, huge, bands), 1u << 3) << "n " << n;
    EXPECT_EQ(bands[3], 2u) << "n " << n;  // band 1 holds the last position
  }
}

}  // namespace
}  // namespace kv
