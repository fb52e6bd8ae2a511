// The decoder's own bank and reader against the coder library: a BinModel
// must keep the counts of an AdaptiveModel through updates and halvings and
// find the same symbols, and a SymbolReader must read what the encoder wrote
// and leave the Decoder where the library's reads would have.
#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <vector>

#include "../entropy/test_support.h"
#include "bin_model_checks.h"
#include "entropy/bin_model.h"
#include "enc/enc_state.h"
#include "entropy/symbol_reader.h"

namespace kv {
namespace {

// Symbols skewed towards 0, as magnitude bins are, with a tail up to 31.
uint32_t skewed_symbol(std::mt19937& random) {
  const uint32_t u = static_cast<uint32_t>(random() % 1000);
  return u < 700 ? u % 4 : u < 950 ? u % 12 : u % 32;
}

TEST(BinModel, FollowsTheAdaptiveModelThroughHalvings) {
  AdaptiveModel reference;
  new_context(reference, kBinSymbols, kModelLimit, nullptr);
  BinModel model;
  reset_bin_model(model);
  std::mt19937 random(11);
  int halvings = 0;
  for (int step = 0; step < 4000; ++step) {
    ASSERT_EQ(bin_total(model), model_total(reference)) << "step " << step;
    const uint32_t total = bin_total(model);
    ASSERT_EQ(model.factor, read_factor(total)) << "step " << step;
    for (uint32_t s = 0; s < kBinSymbols; ++s)
      ASSERT_EQ(test::bin_frequency(model, s), get_frequency(reference, s)) << "step " << step << ", symbol " << s;
    for (int probe = 0; probe < 8; ++probe) {
      const uint32_t target = probe == 0 ? 0 : probe == 1 ? total - 1 : random() % total;
      SymbolInterval interval;
      const uint32_t expected = find_symbol_interval(reference, target, interval);
      ASSERT_EQ(find_bin(model, target), expected) << "target " << target;
      ASSERT_EQ(find_bin_plain(model, target), expected) << "target " << target;
      ASSERT_EQ(static_cast<uint32_t>(model.sum[expected]), interval.cumulative);
      // Any range of the coder after renormalisation, and its largest offset.
      const uint32_t r = 0x4001 + random() % 0xBFFF;
      const uint32_t offset = probe == 2 ? r : 1 + random() % r;
      const uint32_t x = offset * total - 1;
      ASSERT_EQ(find_bin_scaled(model, x, r), find_bin(model, x / r)) << "x " << x << ", r " << r;
    }
    const uint32_t symbol = skewed_symbol(random);
    if (model_total(reference) + kModelIncrement > kModelLimit) ++halvings;
    update_context(reference, symbol, kModelIncrement);
    test::update_bin_model(model, symbol, kModelIncrement, kModelLimit);
  }
  EXPECT_GT(halvings, 50);
}

// A read's ends are floor(sum r / total), taken as (sum g) >> 32 from the
// factor g of its length and shift. Checked for every count at the
// smallest and largest ranges a renormalised coder holds, and some between,
// split into length and shift every way they can be; the factor's margin
// has no room to spare at the smallest.
TEST(SymbolReader, FactorsGiveEveryEndExactly) {
  Decoder decoder;
  SymbolReader reader(decoder);
  std::vector<uint32_t> totals = {2, 3, 7, 8, 32, 33, 16383, 16384, 16703, 16704};
  for (uint32_t total = 41; total < 16704; total += 997) totals.push_back(total);
  for (uint32_t r : {0x4001u, 0x4002u, 0x4003u, 0x5555u, 0x8000u, 0xAAABu, 0xFFFFu, 0x10000u}) {
    for (int shift = 0; shift <= 16 && (r >> shift << shift) == r; ++shift) {
      reader.length = r >> shift;
      reader.shift = shift;
      for (uint32_t total : totals) {
        const uint64_t g = reader.scaled(read_factor(total));
        for (uint64_t sum = 0; sum <= total; ++sum)
          ASSERT_EQ((sum * g) >> 32, sum * r / total) << "r " << r << ", shift " << shift << ", total " << total;
      }
    }
  }
}

// The shift of a narrowing's renormalisation against the library's
// decisions, n leading agreeing bits and k underflow steps: for every low end
// and ends up to a whole range above it, the differences near every power
// of two among them.
TEST(SymbolReader, RenormalisationShiftsAsTheLibrary) {
  std::vector<uint32_t> widths;
  for (uint32_t p = 1; p <= 0x10000; p *= 2)
    for (uint32_t w : {p - 1, p, p + 1}) widths.push_back(w);
  for (uint32_t l = 0; l <= 0xFFFF; ++l) {
    for (uint32_t w : widths) {
      const uint32_t h = l + w;
      if (h > 0xFFFF) break;
      const int n = std::countl_zero(l ^ h) - 16;
      const uint32_t low = (l << n) & 0xFFFF, high = ((h << n) | ((1u << n) - 1)) & 0xFFFF;
      const int k = std::countl_one((low & ~high) << 17);
      ASSERT_EQ(SymbolReader::renormalisation_shift(l, h), n + k) << "l " << l << ", h " << h;
    }
  }
}

// A bit is read from where the interval stood before its last
// renormalisation; at the middle of an odd length the code bits that
// renormalisation took decide. Bits read there, from intervals of every
// shift they can have come from, against the library's reads.
TEST(SymbolReader, ReadsABitAtTheMiddleOfAnOddLengthAsTheLibraryDoes) {
  const std::vector<uint8_t> bytes = {0x5A, 0xC3, 0x96, 0x0F, 0xE1, 0x2D, 0x78, 0xB4, 0x4B, 0x87};
  int cases = 0;
  for (int shift = 0; shift <= 16; ++shift) {
    // Renormalised intervals: low in the first quarter, high in the upper half.
    for (uint32_t low : {0u, 0x1234u, 0x3FFFu}) {
      const uint32_t unit = uint32_t{1} << shift;
      const uint32_t shortest = ((0x8000 - low + unit - 1) / unit) | 1, longest = ((0x10000 - low) / unit - 1) | 1;
      if (shortest > longest || longest << shift > 0x10000 - low) continue;
      for (uint32_t length : {shortest, (shortest + longest) / 2 | 1, longest}) {
        const uint32_t distance = (length - 1) / 2;
        for (uint32_t bits : {0u, unit / 2 - (unit > 1), unit / 2, unit - 1}) {
          const uint32_t delta = distance << shift | bits;
          Decoder library, fast;
          for (Decoder* d : {&library, &fast}) {
            new_memory_decoder(*d, bytes.data(), bytes.size());
            d->low = low;
            d->high = low + (length << shift) - 1;
            d->value = low + delta;
          }
          SymbolReader reader(fast);
          reader.length = length;
          reader.shift = shift;
          reader.distance = distance;
          const uint32_t expected = read_bits(library, 1);
          ASSERT_EQ(reader.read_bit(), expected) << "length " << length << ", shift " << shift << ", bits " << bits;
          reader.store();
          ASSERT_EQ(fast.value, library.value);
          ASSERT_EQ(fast.low, library.low);
          ASSERT_EQ(fast.high, library.high);
          ASSERT_EQ(fast.reservoir, library.reservoir);
          ++cases;
        }
      }
    }
  }
  EXPECT_GT(cases, 300);
}

// One item of a mixed stream: a symbol of bank model `model`, a single bit or
// a fraction of count n.
struct Item {
  enum Kind { kSymbol, kBit, kFraction } kind;
  int model;
  uint32_t value;
  uint32_t n;
};

std::vector<Item> mixed_items(int count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<Item> items;
  for (int i = 0; i < count; ++i) {
    const uint32_t kind = random() % 5;
    if (kind < 3) {
      items.push_back({Item::kSymbol, static_cast<int>(random() % 3), skewed_symbol(random), 0});
    } else if (kind == 3) {
      items.push_back({Item::kBit, 0, static_cast<uint32_t>(random() % 2), 2});
    } else {
      // Counts up to 8 are read by comparisons, larger ones by a division.
      const uint32_t n = random() % 2 ? 2 + random() % 7 : 2 + random() % 3650;
      items.push_back({Item::kFraction, 0, static_cast<uint32_t>(random() % n), n});
    }
  }
  return items;
}

std::vector<uint8_t> encode_items(const std::vector<Item>& items) {
  std::vector<uint8_t> bytes;
  Encoder encoder;
  new_memory_encoder(encoder, bytes);
  AdaptiveModel models[3];
  for (AdaptiveModel& model : models) new_context(model, kBinSymbols, kModelLimit, nullptr);
  for (const Item& item : items) {
    if (item.kind == Item::kSymbol) {
      write_symbol(encoder, models[item.model], item.value);
      update_context(models[item.model], item.value, kModelIncrement);
    } else if (item.kind == Item::kBit) {
      write_bits(encoder, 1, item.value);
    } else {
      write_fraction(encoder, item.n, item.value);
    }
  }
  kill_encoder(encoder);
  return bytes;
}

TEST(SymbolReader, ReadsTheEncodersItemsAndLeavesTheDecoderAsTheLibraryWould) {
  const std::vector<Item> items = mixed_items(20000, 5);
  const std::vector<uint8_t> bytes = encode_items(items);

  Decoder library, fast;
  new_memory_decoder(library, bytes.data(), bytes.size());
  new_memory_decoder(fast, bytes.data(), bytes.size());
  AdaptiveModel models[3];
  BinModel bank[3];
  for (int k = 0; k < 3; ++k) {
    new_context(models[k], kBinSymbols, kModelLimit, nullptr);
    reset_bin_model(bank[k]);
  }
  size_t next = 0;
  // Runs of items with the registers in locals, written back between runs.
  for (size_t run = 1; next < items.size(); run = run * 3 % 97 + 1) {
    SymbolReader reader(fast);
    for (size_t end = std::min(items.size(), next + run); next < end; ++next) {
      const Item& item = items[next];
      uint32_t expected, got;
      if (item.kind == Item::kSymbol) {
        expected = read_symbol(library, models[item.model]);
        update_context(models[item.model], expected, kModelIncrement);
        // Models 1 and 2 are read as magnitudes and runs of zeros are, with
        // six and four symbols first; model 1 every other time with symbol 0
        // told apart first, as a band's end is.
        BinModel& model = bank[item.model];
        got = item.model == 0   ? reader.read_symbol(model, kModelIncrement, kModelLimit)
              : item.model == 2 ? reader.read_symbol<4>(model, kModelIncrement, kModelLimit)
              : next % 2        ? reader.read_symbol<6, true>(model, kModelIncrement, kModelLimit)
                                : reader.read_symbol<6>(model, kModelIncrement, kModelLimit);
      } else if (item.kind == Item::kBit) {
        expected = read_bits(library, 1);
        got = reader.read_bit();
      } else {
        expected = read_fraction(library, item.n);
        got = reader.read_fraction(item.n, total_reciprocal(item.n));
      }
      ASSERT_EQ(expected, item.value) << "item " << next;
      ASSERT_EQ(got, item.value) << "item " << next;
    }
    reader.store();
    ASSERT_EQ(fast.value, library.value);
    ASSERT_EQ(fast.low, library.low);
    ASSERT_EQ(fast.high, library.high);
    ASSERT_EQ(decoder_bytes(fast), decoder_bytes(library));
    // The reader marks the end of the code bits in its copy; the Decoder
    // gets them back unmarked.
    ASSERT_EQ(fast.reservoir_bits, library.reservoir_bits);
    ASSERT_EQ(fast.reservoir, library.reservoir);
  }
  // Past the end both read padding alike, then fail alike.
  for (;;) {
    uint32_t expected;
    try {
      expected = read_bits(library, 1);
    } catch (const Error& failure) {
      SymbolReader reader(fast);
      test::expect_failure([&] { reader.read_bit(); }, 1, failure.message());
      break;
    }
    SymbolReader reader(fast);
    ASSERT_EQ(reader.read_bit(), expected);
    reader.store();
    ASSERT_EQ(decoder_bytes(fast), decoder_bytes(library));
  }
}

}  // namespace
}  // namespace kv
