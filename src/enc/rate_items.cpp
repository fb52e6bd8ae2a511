#include "enc/rate_items.h"

#include <array>
#include <bit>
#include <cmath>

#include "dsp/band_items.h"
#include "dsp/dsp.h"
#include "enc/estimates.h"

namespace kv {

void prepare_step_tables(const float quant[64], EstimateTree& tree, int first_row, int last_row) {
  if (!std::equal(quant, quant + 64, tree.steps) || tree.rebuilt.empty()) {
    std::copy(quant, quant + 64, tree.steps);
    tree.rows_made = 0;
    for (int i = 0; i < 64; ++i) {
      const double step = quant[i];
      BandQuantiser& band = tree.bands[i];
      band.divider = StepDivider(step);
      // Magnitudes below the step quantise to 0.
      band.least = static_cast<uint32_t>(std::min(std::ceil(step), 4294967295.0));
      band.limit = 0;
      band.rebuilt_row = 0;
      band.magnitude_item = static_cast<uint16_t>(i * kRateRow);
      band.run_item = static_cast<uint16_t>((63 - i) * kRateRow);
      band.exact = step == 1.0;
      band.double_quotient = band.divider.integer_path && step >= 1.0;
      band.items = {band.least, band.exact ? 1025u : 1u, step, band.magnitude_item, band.run_item, kSignItem, band.exact};
    }
    // Row 0 of the table, for entries without a row of their own: every
    // magnitude from 1 on goes past its limit of 0 to rebuilt_beyond.
    tree.rebuilt.clear();
    tree.rebuilt.reserve(65 * (kRebuiltTable + 1));  // rows never move, nor are copied
    tree.rebuilt.resize(kRebuiltTable + 1, 0);
  }
  // Rows are made for the entries a tree uses (a few of 64: 4 KiB each, whose
  // pages would otherwise be touched for nothing).
  for (int i = std::max(first_row, 0); i <= std::min(last_row, 63); ++i) {
    if (tree.rows_made >> i & 1) continue;
    tree.rows_made |= uint64_t{1} << i;
    const double step = quant[i];
    BandQuantiser& band = tree.bands[i];
    band.rebuilt_row = static_cast<uint32_t>(tree.rebuilt.size());
    // Entry 0 of a row stays 0: what a coefficient quantised to 0 rebuilds as.
    tree.rebuilt.resize(tree.rebuilt.size() + kRebuiltTable + 1, 0);
    int32_t* row = tree.rebuilt.data() + band.rebuilt_row;
    // Up to the first magnitude dequantised() refuses: that one and the
    // larger ones go to it.
    int a = 1;
    for (; a <= kRebuiltTable && (a + 0.35) * step < 2147483648.0; ++a) row[a] = dequantised(a, step);
    band.limit = static_cast<uint32_t>(a - 1);
    if (!band.exact) band.items.past_limit = band.limit + 1;
  }
}

int32_t rebuilt_beyond(int32_t a, double step) { return dequantised(a, step); }

uint16_t* write_exact_band_items(const EncoderState& state, const int32_t* values, int begin, int end, int model,
                                 uint16_t* out, bool& all_zero) {
  const uint16_t magnitude_item = static_cast<uint16_t>(model * kRateRow);
  const uint16_t run_item = static_cast<uint16_t>((63 - model) * kRateRow);
  int32_t run = 0;
  for (int p = begin; p < end; ++p) {
    const int32_t e = values[p];
    const int nonzero = e != 0;
    out[0] = static_cast<uint16_t>(magnitude_item + item_bin(state.bins, magnitude_of(e)));
    out[1] = kSignItem;
    out[2] = static_cast<uint16_t>(run_item + state.bins.small_bin[run]);
    out += 3 * nonzero;
    run = (run + 1) & (nonzero - 1);  // 0 after a nonzero coefficient
  }
  all_zero = all_zero && run == end - begin;
  if (run > 0) *out++ = magnitude_item;
  return out;
}

namespace {

// The items of a band with a step: a first pass lists the coefficients that
// are not 0 after quantising (those of at least the step), without a branch
// per coefficient; items and values follow from the list alone.
uint16_t* listed_band_items(const EncoderState& state, const BandQuantiser& band, const int32_t* rebuilt,
                            int32_t* values, int begin, int end, uint16_t* out, bool& all_zero) {
  int32_t positions[kSplitMaxArea], listed[kSplitMaxArea];
  int count = 0;
  for (int p = begin; p < end; ++p) {
    const int32_t v = values[p];
    positions[count] = p;
    listed[count] = v;
    count += magnitude_of(v) >= band.least;
  }
  std::fill(values + begin, values + end, 0);
  int32_t previous = begin - 1;
  for (int i = 0; i < count; ++i) {
    const int p = positions[i];
    const int32_t sign = listed[i] >> 31;
    const uint32_t a = band.divider.magnitude_quotient(magnitude_of(listed[i]));
    out[0] = static_cast<uint16_t>(band.magnitude_item + item_bin(state.bins, a));
    out[1] = kSignItem;
    out[2] = static_cast<uint16_t>(band.run_item + state.bins.small_bin[p - previous - 1]);
    out += 3;
    previous = p;
    // Rebuilding is odd in the value: the table holds it by magnitude.
    int32_t r;
    if (a <= band.limit) [[likely]] {
      r = rebuilt[a];
    } else {
      r = rebuilt_beyond(static_cast<int32_t>(a), band.divider.step);
    }
    values[p] = (r ^ sign) - sign;
  }
  all_zero = all_zero && count == 0;
  if (previous < end - 1) *out++ = band.magnitude_item;
  return out;
}

// Items and rebuilt values of positions [p, end) of a band, one coefficient
// at a time; `previous` is the last nonzero position before p.
inline uint16_t* scalar_items(const EncoderState& state, const BandQuantiser& band, const int32_t* rebuilt,
                              int32_t* values, int p, int end, int& previous, uint16_t* out) {
  for (; p < end; ++p) {
    const int32_t v = values[p];
    const uint32_t a = magnitude_of(v);
    if (a < band.least) {
      if (!band.exact) values[p] = 0;
      continue;
    }
    const uint32_t q = band.exact ? a : band.divider.magnitude_quotient(a);
    out[0] = static_cast<uint16_t>(band.magnitude_item + item_bin(state.bins, q));
    out[1] = kSignItem;
    out[2] = static_cast<uint16_t>(band.run_item + state.bins.small_bin[p - previous - 1]);
    out += 3;
    previous = p;
    if (!band.exact) {
      const int32_t r = q <= band.limit ? rebuilt[q] : rebuilt_beyond(static_cast<int32_t>(q), band.divider.step);
      values[p] = v < 0 ? -r : r;
    }
  }
  return out;
}

// Positions [begin, end) of a band through the kernel, the groups it leaves
// (a quotient past the tables) one coefficient at a time.
inline uint16_t* kernel_items(BandItemsFunction kernel, const EncoderState& state, const BandQuantiser& band,
                              const int32_t* rebuilt, int32_t* values, int begin, int end, int& previous,
                              uint16_t* out) {
  // The kernel gets copies: a variable whose address it takes could alias
  // the values, and the callers' loops would reload it after every store.
  int last = previous;
  uint16_t* items = out;
  for (int p = begin; (p = kernel(band.items, state.bins.small_bin, values, p, end, last, items)) < end;) {
    const int stop = std::min(p + 8, end);
    items = scalar_items(state, band, rebuilt, values, p, stop, last, items);
    p = stop;
  }
  previous = last;
  return items;
}

}  // namespace

uint16_t* write_rate_items_portable(const EncoderState& state, const EstimateTree& tree, const BandLayout& layout,
                                    int32_t* values, uint16_t* out, bool& all_zero) {
  all_zero = true;
  for (int j = layout.levels + 1; j >= 1; --j) {
    const BandQuantiser& band = tree.bands[tree.level + j];
    const int begin = layout.end[j + 1], end = layout.end[j];
    if (band.exact) {
      out = write_exact_band_items(state, values, begin, end, tree.level + j, out, all_zero);
    } else {
      out = listed_band_items(state, band, tree.rebuilt.data() + band.rebuilt_row, values, begin, end, out, all_zero);
    }
  }
  return out;
}

uint16_t* write_rate_items(const EncoderState& state, const EstimateTree& tree, const BandLayout& layout,
                           int32_t* values, uint16_t* out, bool& all_zero, uint32_t bands) {
  const BandItemsFunction kernel = dsp().band_items;
  bool listed = false;
  for (int j = layout.levels + 1; j >= 1; --j) {
    const BandQuantiser& band = tree.bands[tree.level + j];
    if (!(bands >> j & 1)) {  // every value 0 already: only the terminator
      *out++ = band.magnitude_item;
      continue;
    }
    const int32_t* rebuilt = tree.rebuilt.data() + band.rebuilt_row;
    const int begin = layout.end[j + 1], end = layout.end[j];
    int previous = begin - 1;
    // Every block has two or three bands of one to three coefficients: one
    // at a time, as the steps the double quotient does not cover.
    if (end - begin < 4 || !band.double_quotient) {
      out = scalar_items(state, band, rebuilt, values, begin, end, previous, out);
    } else {
      out = kernel_items(kernel, state, band, rebuilt, values, begin, end, previous, out);
    }
    listed = listed || previous >= begin;
    if (previous < end - 1) *out++ = band.magnitude_item;
  }
  all_zero = !listed;
  return out;
}

uint16_t* write_exact_items(const EncoderState& state, const EstimateTree& tree, int entry, int32_t* values, int begin,
                            int end, uint16_t* out, bool& all_zero) {
  if (end - begin < 8) return write_exact_band_items(state, values, begin, end, entry, out, all_zero);
  const BandQuantiser& band = tree.bands[entry];
  int previous = begin - 1;
  out = kernel_items(dsp().band_items, state, band, nullptr, values, begin, end, previous, out);
  all_zero = all_zero && previous < begin;
  if (previous < end - 1) *out++ = band.magnitude_item;
  return out;
}

}  // namespace kv
