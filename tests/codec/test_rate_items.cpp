// The rate-item writer the encoder runs (vectorised where the processor has
// 256-bit integer vectors) against its portable version: the same items in
// the same order, the same rebuilt values, the same refusals.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "enc/estimates.h"
#include "util/error.h"
#include "entropy/magnitude.h"
#include "enc/rate_items.h"

namespace kv {
namespace {

struct Outcome {
  std::vector<uint16_t> items;
  std::vector<int32_t> values;
  bool all_zero = false;
  bool refused = false;
  bool operator==(const Outcome&) const = default;
};

using Writer = uint16_t* (*)(const EncoderState&, const EstimateTree&, const BandLayout&, int32_t*, uint16_t*, bool&);

Outcome run(Writer writer, const EncoderState& state, const EstimateTree& tree, const BandLayout& layout,
            std::vector<int32_t> values) {
  Outcome outcome;
  std::vector<uint16_t> items(static_cast<size_t>(rate_item_capacity(layout.end[1])));
  try {
    uint16_t* end = writer(state, tree, layout, values.data(), items.data(), outcome.all_zero);
    outcome.items.assign(items.data(), end);
    outcome.values = values;
  } catch (const Error&) {
    outcome = {};  // what was written before is of no use
    outcome.refused = true;
  }
  return outcome;
}

// The encoder's writer over every band, as a Writer.
uint16_t* write_all_bands(const EncoderState& s, const EstimateTree& t, const BandLayout& l, int32_t* v, uint16_t* out,
                          bool& all_zero) {
  return write_rate_items(s, t, l, v, out, all_zero);
}

// Coefficients as the search meets them (mostly below the step), dense
// ones, and ones reaching past the tables and the double quotient's range.
std::vector<int32_t> coefficients(int n, int kind, std::mt19937& random) {
  std::vector<int32_t> values(static_cast<size_t>(n));
  std::geometric_distribution<int32_t> small(kind == 0 ? 0.2 : 0.01);
  std::uniform_int_distribution<int> pick(0, 15);
  const int32_t edges[] = {1024,     1025,           13794,     13795,     (1 << 24) - 1, 1 << 24,
                           (1 << 24) + 1, 1 << 30, 2147100000, 2147483647, std::numeric_limits<int32_t>::min()};
  for (int32_t& v : values) {
    v = small(random);
    if (kind == 2 && pick(random) < 3) v = edges[static_cast<size_t>(pick(random)) % std::size(edges)];
    if (pick(random) < 8 && v != std::numeric_limits<int32_t>::min()) v = -v;
  }
  return values;
}

TEST(RateItems, EncoderWriterEqualsPortable) {
  EncoderState state;
  build_bin_tables(state.bins);
  // The encoder's tables; one mixing exact bands, odd steps and steps past
  // the integer divider; one whose rebuilt table stops at 1022.
  std::vector<std::vector<float>> tables;
  for (float q : {2.0f, 8.0f, 32.0f, 300.0f}) {
    std::vector<float> quant(64);
    build_quantizer_table(q, quant.data());
    tables.push_back(quant);
  }
  const float mixed[] = {1.0f, 3.0f, 1.25f, 1.0f, 1.5f, 8.0f, 1.0f, 40.25f, 1000.0f, 33554432.0f, 7.1f, 2.0f};
  tables.emplace_back(64);
  for (size_t i = 0; i < 64; ++i) tables.back()[i] = mixed[i % std::size(mixed)];
  tables.emplace_back(64, 2098792.0f);

  std::mt19937 random(11);
  const int sizes[] = {1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17, 31, 64, 100, 256, 257, 1000, 1024};
  const Writer write_odd_bands = [](const EncoderState& s, const EstimateTree& t, const BandLayout& l, int32_t* v,
                                    uint16_t* out, bool& all_zero) {
    return write_rate_items(s, t, l, v, out, all_zero, 0xAAAAAAAAu);  // bands 1, 3, 5, ...
  };
  int refusals = 0;
  for (const std::vector<float>& quant : tables) {
    EstimateTree tree;
    prepare_step_tables(quant.data(), tree);
    for (int level : {0, 3, 40}) {
      tree.level = level;
      for (int n : sizes) {
        const BandLayout layout = band_layout(n);
        for (int kind = 0; kind < 3; ++kind) {
          const std::vector<int32_t> values = coefficients(n, kind, random);
          const Outcome expected = run(write_rate_items_portable, state, tree, layout, values);
          const Outcome got = run(write_all_bands, state, tree, layout, values);
          ASSERT_EQ(got, expected) << "n " << n << " level " << level << " kind " << kind << " step "
                                   << quant[static_cast<size_t>(level + 1)];
          refusals += expected.refused;
          // Bands marked empty (cleared beforehand) are skipped to their terminator.
          std::vector<int32_t> sparse = values;
          for (int j = 2; j <= layout.levels + 1; j += 2)
            std::fill(sparse.begin() + layout.end[j + 1], sparse.begin() + layout.end[j], 0);
          ASSERT_EQ(run(write_odd_bands, state, tree, layout, sparse),
                    run(write_rate_items_portable, state, tree, layout, sparse))
              << "n " << n << " level " << level << " kind " << kind;
        }
      }
    }
  }
  EXPECT_GT(refusals, 0);  // the values beyond every table were met
}

// The optimised quantiser's exact bands, every value kept.
TEST(RateItems, ExactBandWriterEqualsPortable) {
  EncoderState state;
  build_bin_tables(state.bins);
  EstimateTree tree;
  const std::vector<float> quant(64, 1.0f);
  prepare_step_tables(quant.data(), tree);
  std::mt19937 random(12);
  for (int n : {1, 7, 8, 9, 15, 16, 100, 512}) {
    for (int kind = 0; kind < 3; ++kind) {
      std::vector<int32_t> values = coefficients(n, kind, random);
      const int begin = n / 3;  // a band need not start on a multiple of 8
      std::vector<uint16_t> expected(static_cast<size_t>(rate_item_capacity(n))), got(expected.size());
      bool expected_zero = true, got_zero = true;
      const size_t expected_count = static_cast<size_t>(
          write_exact_band_items(state, values.data(), begin, n, 9, expected.data(), expected_zero) - expected.data());
      const size_t got_count = static_cast<size_t>(
          write_exact_items(state, tree, 9, values.data(), begin, n, got.data(), got_zero) - got.data());
      expected.resize(expected_count);
      got.resize(got_count);
      EXPECT_EQ(got, expected) << "n " << n << " kind " << kind;
      EXPECT_EQ(got_zero, expected_zero) << "n " << n << " kind " << kind;
    }
  }
}

// A tree makes the rebuilt rows of the entries its blocks use, a few at a
// time; an entry without a row must still quantise and rebuild as with one,
// and rows made later must leave the earlier ones as they were.
TEST(RateItems, EntriesWithoutRowsWriteTheSame) {
  EncoderState state;
  build_bin_tables(state.bins);
  std::mt19937 random(13);
  for (float q : {2.0f, 8.0f, 32.0f}) {
    std::vector<float> quant(64);
    build_quantizer_table(q, quant.data());
    EstimateTree every_row, some_rows;
    prepare_step_tables(quant.data(), every_row);
    prepare_step_tables(quant.data(), some_rows, 3, 4);
    prepare_step_tables(quant.data(), some_rows, 9, 12);
    for (int level : {0, 3, 8}) {
      every_row.level = some_rows.level = level;
      for (int n : {9, 64, 257, 1024}) {
        const BandLayout layout = band_layout(n);
        for (int kind = 0; kind < 2; ++kind) {
          const std::vector<int32_t> values = coefficients(n, kind, random);
          ASSERT_EQ(run(write_all_bands, state, some_rows, layout, values),
                    run(write_all_bands, state, every_row, layout, values))
              << "q " << q << " level " << level << " n " << n << " kind " << kind;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kv
