// The direction search's fused transform kernels against the plain steps they
// replace: gather then lift_block, and lift_block inverse then the error.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "common/block_transform.h"
#include "dsp/search_kernels.h"

namespace kv {
namespace {

// Every length up to 33 (each small one has code of its own), the larger
// powers of 4 (likewise) and lengths between.
const std::vector<int> kSizes = [] {
  std::vector<int> sizes;
  for (int n = 1; n <= 33; ++n) sizes.push_back(n);
  for (int n : {63, 64, 65, 100, 255, 256, 257, 511, 1023, 1024}) sizes.push_back(n);
  return sizes;
}();

struct Case {
  BandLayout layout;
  std::vector<int32_t> samples;
  std::vector<uint16_t> order;
  std::vector<int32_t> gathered;  // samples by scan position
};

Case make_case(int n, int32_t range, std::mt19937& random) {
  Case c{band_layout(n), std::vector<int32_t>(static_cast<size_t>(n)), std::vector<uint16_t>(static_cast<size_t>(n)), {}};
  std::uniform_int_distribution<int32_t> value(-range, range);
  for (int32_t& s : c.samples) s = value(random);
  std::iota(c.order.begin(), c.order.end(), uint16_t{0});
  std::shuffle(c.order.begin(), c.order.end(), random);
  for (uint16_t k : c.order) c.gathered.push_back(c.samples[k]);
  return c;
}

TEST(SearchKernels, GatheredLiftEqualsLiftBlock) {
  std::mt19937 random(5);
  // Image-like values, and values whose lifting sums wrap around 32 bits.
  for (int32_t range : {300, 2147483647}) {
    for (int n : kSizes) {
      const Case c = make_case(n, range, random);
      std::vector<int32_t> expected = c.gathered;
      lift_block(expected.data(), c.layout, true);
      std::vector<int32_t> values(static_cast<size_t>(n), 12345);
      ScanSamples kept{};
      lift_block_gathered(c.samples.data(), c.order.data(), c.layout, values.data(), &kept);
      ASSERT_EQ(values, expected) << "n " << n << " range " << range;
      for (int k = 0; k < n; ++k)
        ASSERT_EQ(k % 2 ? kept.odd[k / 2] : kept.even[k / 2], c.gathered[static_cast<size_t>(k)]) << "n " << n;
      lift_block_gathered(c.samples.data(), c.order.data(), c.layout, values.data(), nullptr);
      ASSERT_EQ(values, expected) << "n " << n << " without kept samples";
    }
  }
}

TEST(SearchKernels, InverseErrorEqualsTheReconstructionsError) {
  std::mt19937 random(6);
  // Image-like samples, and samples too large for 32-bit differences.
  for (int n : kSizes) {
    for (auto [range, noise] : {std::pair{255, 0}, {255, 3}, {255, 40000}, {1 << 30, 0}, {1 << 30, 3}}) {
      const Case c = make_case(n, range, random);
      std::vector<int32_t> values(static_cast<size_t>(n));
      ScanSamples kept{};
      lift_block_gathered(c.samples.data(), c.order.data(), c.layout, values.data(), &kept);
      std::uniform_int_distribution<int32_t> change(-noise, noise);
      for (int32_t& v : values) v += change(random);
      const std::vector<int32_t> coefficients = values;
      std::vector<int32_t> rebuilt = values;
      lift_block(rebuilt.data(), c.layout, false);
      int64_t expected = 0;
      for (int k = 0; k < n; ++k) {
        const int64_t d = int64_t{rebuilt[static_cast<size_t>(k)]} - c.gathered[static_cast<size_t>(k)];
        expected += d * d;
      }
      int64_t sse = -1;
      ASSERT_TRUE(inverse_squared_error(values.data(), c.layout, kept, sse)) << "n " << n;
      EXPECT_EQ(sse, expected) << "n " << n << " range " << range << " noise " << noise;
      EXPECT_EQ(values, coefficients) << "n " << n;
    }
  }
}

// The decoder's inverse writes each rebuilt sample where the scan order puts
// it: the same as lift_block inverse followed by that placement, also where
// the lifting sums wrap around 32 bits.
TEST(SearchKernels, ScatteredInverseEqualsLiftBlockThenPlacement) {
  std::mt19937 random(8);
  for (int32_t range : {300, 2147483647}) {
    for (int n : kSizes) {
      const Case c = make_case(n, range, random);
      std::vector<int32_t> rebuilt = c.samples;  // any coefficients will do
      lift_block(rebuilt.data(), c.layout, false);
      std::vector<int32_t> expected(static_cast<size_t>(n));
      for (int k = 0; k < n; ++k) expected[c.order[static_cast<size_t>(k)]] = rebuilt[static_cast<size_t>(k)];
      std::vector<int32_t> out(static_cast<size_t>(n), 12345);
      inverse_lift_scattered(c.samples.data(), c.layout, c.order.data(), out.data());
      ASSERT_EQ(out, expected) << "n " << n << " range " << range;
    }
  }
}

TEST(SearchKernels, InverseErrorRefusesDifferencesOf2To21OrMore) {
  // A single sample's error, exactly at and just below the limit.
  for (int n : {1, 2, 64}) {
    for (int32_t error : {(1 << 21) - 1, 1 << 21, -(1 << 21), 2147483647}) {
      Case c{band_layout(n), std::vector<int32_t>(static_cast<size_t>(n), 0), {}, {}};
      c.order.resize(static_cast<size_t>(n));
      std::iota(c.order.begin(), c.order.end(), uint16_t{0});
      ScanSamples kept{};
      std::vector<int32_t> values(static_cast<size_t>(n));
      lift_block_gathered(c.samples.data(), c.order.data(), c.layout, values.data(), &kept);
      kept.even[0] = -error;  // the reconstruction is 0
      int64_t sse = 0;
      const bool small = error < (1 << 21) && error > -(1 << 21);
      EXPECT_EQ(inverse_squared_error(values.data(), c.layout, kept, sse), small) << n << " " << error;
      if (small) {
        EXPECT_EQ(sse, int64_t{error} * error);
      }
    }
  }
}

}  // namespace
}  // namespace kv
