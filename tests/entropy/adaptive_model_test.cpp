#include "entropy/adaptive_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "test_support.h"

namespace kv {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using test::expect_failure;

// Plain frequencies of a model, taken from a copy of its tree.
std::vector<uint32_t> frequencies(const AdaptiveModel& model) {
  AdaptiveModel copy = model;
  flatten_tree(copy);
  return copy.tree;
}

TEST(AdaptiveModelTest, FreshModelOfEightSymbols) {
  AdaptiveModel model;
  new_context(model, 8, 100, nullptr);
  EXPECT_THAT(model.tree, ElementsAre(8, 1, 2, 1, 4, 1, 2, 1));
  EXPECT_EQ(model_total(model), 8u);
  for (uint32_t s = 0; s <= 8; ++s) EXPECT_EQ(get_cumulative(model, s), s);
  for (uint32_t t = 0; t < 8; ++t) EXPECT_EQ(find_symbol(model, t), t);
  for (uint32_t s = 0; s < 8; ++s) EXPECT_EQ(get_frequency(model, s), 1u);
}

TEST(AdaptiveModelTest, UpdateOfSymbolFiveByTen) {
  AdaptiveModel model;
  new_context(model, 8, 100, nullptr);
  update_context(model, 5, 10);
  EXPECT_THAT(model.tree, ElementsAre(18, 1, 2, 1, 14, 11, 2, 1));
  EXPECT_EQ(get_cumulative(model, 6), 16u);
  EXPECT_EQ(get_frequency(model, 5), 11u);
  EXPECT_EQ(get_frequency(model, 0), 1u);
  EXPECT_EQ(find_symbol(model, 5), 5u);
  EXPECT_EQ(find_symbol(model, 4), 4u);
  EXPECT_EQ(find_symbol(model, 15), 5u);
  EXPECT_EQ(find_symbol(model, 16), 6u);
  SymbolInterval interval = symbol_interval(model, 5);
  EXPECT_EQ(interval.cumulative, 5u);
  EXPECT_EQ(interval.frequency, 11u);
  SymbolInterval found;
  EXPECT_EQ(find_symbol_interval(model, 12, found), 5u);
  EXPECT_EQ(found.cumulative, 5u);
  EXPECT_EQ(found.frequency, 11u);
}

TEST(AdaptiveModelTest, UpdateOfSymbolZeroChangesOnlyTheTotal) {
  AdaptiveModel model;
  new_context(model, 8, 100, nullptr);
  update_context(model, 0, 3);
  EXPECT_THAT(model.tree, ElementsAre(11, 1, 2, 1, 4, 1, 2, 1));
  EXPECT_EQ(get_frequency(model, 0), 4u);
  EXPECT_EQ(get_cumulative(model, 1), 4u);
}

TEST(AdaptiveModelTest, HalvingWhenTheTotalPassesTheLimit) {
  AdaptiveModel model;
  new_context(model, 4, 8, nullptr);
  update_context(model, 3, 5);
  EXPECT_THAT(model.tree, ElementsAre(6, 1, 4, 3));
  EXPECT_THAT(frequencies(model), ElementsAre(1, 1, 1, 3));
}

TEST(AdaptiveModelTest, HalvingRoundsUpAndKeepsZeros) {
  const uint32_t initial[6] = {0, 1, 2, 3, 10, 0};
  AdaptiveModel model;
  new_context(model, 6, 100, initial);
  EXPECT_THAT(frequencies(model), ElementsAreArray(initial));
  halve_context(model);
  EXPECT_THAT(frequencies(model), ElementsAre(0, 1, 1, 2, 5, 0));
  EXPECT_EQ(model_total(model), 9u);
  // Symbols of frequency 0 are never found.
  for (uint32_t t = 0; t < 9; ++t) {
    uint32_t s = find_symbol(model, t);
    EXPECT_NE(get_frequency(model, s), 0u) << t;
  }
}

TEST(AdaptiveModelTest, LimitIsRaisedToTheNumberOfSymbols) {
  AdaptiveModel model;
  new_context(model, 32, 10, nullptr);
  EXPECT_EQ(model.limit, 32u);
  new_context(model, 32, 16384, nullptr);
  EXPECT_EQ(model.limit, 16384u);
}

TEST(AdaptiveModelTest, SpanIsTheSmallestPowerOfTwoNotBelowTheSymbols) {
  const std::pair<uint32_t, uint32_t> cases[] = {{2, 2}, {3, 4}, {4, 4}, {32, 32}, {33, 64},
                                                 {257, 512}, {16383, 16384}, {16384, 16384}};
  for (auto [n, span] : cases) {
    AdaptiveModel model;
    new_context(model, n, 0, nullptr);
    EXPECT_EQ(model.span, span) << n;
    EXPECT_EQ(model.symbols, n);
    EXPECT_EQ(model.tree.size(), n);
    EXPECT_EQ(model_total(model), n);
  }
}

TEST(AdaptiveModelTest, InvalidNumberOfSymbols) {
  AdaptiveModel model;
  expect_failure([&] { new_context(model, 1, 100, nullptr); }, 1, "new_context: invalid number of symbols (1)");
  expect_failure([&] { new_context(model, 16385, 100, nullptr); }, 1,
                 "new_context: invalid number of symbols (16385)");
  expect_failure([&] { new_context(model, 0, 100, nullptr); }, 1, "new_context: invalid number of symbols (0)");
}

TEST(AdaptiveModelTest, FirstHalvingAtTotal4097) {
  AdaptiveModel model;
  new_context(model, 257, 4096, nullptr);
  for (int i = 0; i < 3839; ++i) update_context(model, 'e', 1);
  EXPECT_EQ(model_total(model), 4096u);
  EXPECT_EQ(get_frequency(model, 'e'), 3840u);
  update_context(model, 'e', 1);
  // 256 ones stay ones, 3841 becomes 1921.
  EXPECT_EQ(get_frequency(model, 'e'), 1921u);
  EXPECT_EQ(model_total(model), 256u + 1921u);
}

TEST(AdaptiveModelTest, OneHalvingPerUpdateEvenAboveTheLimit) {
  AdaptiveModel model;
  new_context(model, 4, 10, nullptr);
  update_context(model, 2, 100);  // 1 1 101 1 -> 1 1 51 1
  EXPECT_EQ(model_total(model), 54u);
  EXPECT_THAT(frequencies(model), ElementsAre(1, 1, 51, 1));
  update_context(model, 1, 1);  // 1 2 51 1 -> 1 1 26 1
  EXPECT_THAT(frequencies(model), ElementsAre(1, 1, 26, 1));
}

TEST(AdaptiveModelTest, ResetRestoresFrequenciesAndKeepsTheShape) {
  AdaptiveModel model;
  new_context(model, 5, 7, nullptr);
  update_context(model, 4, 2);
  reset_context(model, nullptr);
  EXPECT_THAT(model.tree, ElementsAre(5, 1, 2, 1, 1));
  const uint32_t initial[5] = {5, 4, 3, 2, 1};
  reset_context(model, initial);
  EXPECT_THAT(frequencies(model), ElementsAreArray(initial));
  EXPECT_EQ(model.limit, 7u);
  EXPECT_EQ(model.span, 8u);
  kill_context(model);
  EXPECT_TRUE(model.tree.empty());
}

TEST(AdaptiveModelTest, BuildAndFlattenAreInverse) {
  std::mt19937 random(7);
  for (uint32_t n : {2u, 3u, 7u, 8u, 257u, 1000u}) {
    AdaptiveModel model;
    new_context(model, n, 16384, nullptr);
    std::vector<uint32_t> plain(n);
    for (auto& f : plain) f = random() % 50;
    model.tree = plain;
    build_tree(model);
    // Element j covers the lowbit(j) symbols from j on, cut at n; element 0 everything.
    for (uint32_t j = 0; j < n; ++j) {
      uint32_t begin = j == 0 ? 0 : j;
      uint32_t end = j == 0 ? n : std::min(n, j + (j & (~j + 1)));
      uint32_t sum = std::accumulate(plain.begin() + begin, plain.begin() + end, 0u);
      EXPECT_EQ(model.tree[j], sum) << n << " " << j;
    }
    flatten_tree(model);
    EXPECT_EQ(model.tree, plain);
  }
}

// The coders divide range products (below 2^32) by totals below 2^16 with a
// multiplication; it must agree with the division everywhere, above all just
// below and at multiples of the total and at the largest products.
TEST(AdaptiveModelTest, DivisionByTheTotalAsAMultiplication) {
  for (uint32_t total = 1; total <= 0xFFFF; ++total) {
    uint64_t reciprocal = total_reciprocal(total);
    uint32_t largest_quotient = 0xFFFFFFFFu / total;
    for (uint32_t q : {0u, 1u, 2u, 0x1234u, largest_quotient / 2, largest_quotient - 1, largest_quotient}) {
      uint64_t base = uint64_t{q} * total;
      for (uint64_t x : {base, base + 1, base + total - 1, base + total / 2, base - 1}) {
        if (x > 0xFFFFFFFFu || (q == 0 && x == base - 1)) continue;
        ASSERT_EQ(divide_by_total(static_cast<uint32_t>(x), reciprocal), x / total) << x << " / " << total;
      }
    }
    ASSERT_EQ(divide_by_total(0xFFFFFFFFu, reciprocal), 0xFFFFFFFFu / total) << total;
  }
}

// Every lookup agrees with a plain frequency array through random updates,
// including the halvings they trigger.
TEST(AdaptiveModelTest, LookupsMatchPlainFrequencies) {
  std::mt19937 random(11);
  const struct {
    uint32_t n, limit, max_increment;
  } cases[] = {{2, 2, 1}, {3, 50, 7}, {32, 16384, 320}, {257, 4096, 1}, {257, 8192, 2000}, {1000, 3000, 40},
               {16384, 16384, 2}};
  for (const auto& c : cases) {
    AdaptiveModel model;
    new_context(model, c.n, c.limit, nullptr);
    std::vector<uint32_t> plain(c.n, 1);
    for (int step = 0; step < 3000; ++step) {
      uint32_t s = random() % c.n;
      uint32_t increment = 1 + random() % c.max_increment;
      update_context(model, s, increment);
      plain[s] += increment;
      uint32_t total = std::accumulate(plain.begin(), plain.end(), 0u);
      if (total > c.limit) {
        for (auto& f : plain) f = (f + 1) >> 1;
        total = std::accumulate(plain.begin(), plain.end(), 0u);
      }
      ASSERT_EQ(model_total(model), total);
      uint32_t probe = random() % c.n;
      uint32_t cumulative = std::accumulate(plain.begin(), plain.begin() + probe, 0u);
      ASSERT_EQ(get_cumulative(model, probe), cumulative) << c.n << " " << probe;
      ASSERT_EQ(get_frequency(model, probe), plain[probe]) << c.n << " " << probe;
      SymbolInterval interval = symbol_interval(model, probe);
      ASSERT_EQ(interval.cumulative, cumulative);
      ASSERT_EQ(interval.frequency, plain[probe]);
      ASSERT_EQ(get_cumulative(model, c.n), total);
      uint32_t target = cumulative + random() % plain[probe];
      ASSERT_EQ(find_symbol(model, target), probe) << c.n << " " << target;
      SymbolInterval found;
      ASSERT_EQ(find_symbol_interval(model, target, found), probe);
      ASSERT_EQ(found.cumulative, cumulative);
      ASSERT_EQ(found.frequency, plain[probe]);
    }
  }
}

}  // namespace
}  // namespace kv
