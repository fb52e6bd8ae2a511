// The rate items of one direction evaluation: the block's coefficients
// quantised band by band, each nonzero one written as three items (magnitude
// bin, sign, zero run before it) and rebuilt for the inverse transform.
#pragma once

#include <algorithm>
#include <cstdint>

#include "common/block_transform.h"
#include "enc/enc_state.h"
#include "dsp/band_items.h"
#include "entropy/magnitude.h"

namespace kv {

struct EstimateTree;

inline constexpr int kRebuiltTable = 1024;

// What the rate-item writers need of one quantizer table entry.
struct BandQuantiser {
  StepDivider divider;
  uint32_t least;           // magnitudes below quantise to 0
  uint32_t limit;           // the largest quotient its row of rebuilt values holds (0 without a row)
  uint32_t rebuilt_row;     // where that row starts in the tree's `rebuilt`
  uint16_t magnitude_item;  // bin 0 of its magnitude model, also a band's terminator
  uint16_t run_item;        // bin 0 of its run model
  bool exact;               // step 1.0: every value stays as it is
  bool double_quotient;     // steps from 1 to 2^24: the vector writer's double division is exact
  BandItemTables items;     // the same for the band items kernel
};

// A rate item: the (model, bin) entry of the rate table as one index into
// state.item_bits, or the sign bit. A rate is the sum of its items' bits in
// their order, a nonzero coefficient giving three: magnitude, sign, run.
inline constexpr int kRateRow = kModelSymbols + 1;
inline constexpr uint16_t kSignItem = kModelCount * kRateRow;
inline uint16_t rate_item(int model, int32_t bin) {
  return static_cast<uint16_t>(model * kRateRow + std::min(bin, kModelSymbols));
}

// Items a block of n samples may write, with the slack the vector writer
// stores past its last item.
constexpr int rate_item_capacity(int n) { return 3 * n + 64; }

// |v| without a branch (2^31 for the most negative value).
inline uint32_t magnitude_of(int32_t v) {
  const int32_t sign = v >> 31;
  return static_cast<uint32_t>(v ^ sign) - static_cast<uint32_t>(sign);
}

// The bin of magnitude a, as a rate item holds it: beyond 31, the prohibitive bin.
inline int32_t item_bin(const BinTables& bins, uint32_t a) {
  if (a <= 1024) [[likely]]
    return bins.small_bin[a];
  return std::min(large_magnitude_bin(bins, static_cast<int32_t>(a)), kModelSymbols);
}

// dequantised() of a magnitude beyond the rebuilt table (it refuses those
// that do not fit); kept out of line.
[[gnu::noinline]] int32_t rebuilt_beyond(int32_t a, double step);

// The items of band [begin, end) coded with `model` whose step is 1.0: every
// value stays as it is. Such bands (the coarse ones) are mostly nonzero: no
// list, items written without branching on each coefficient.
uint16_t* write_exact_band_items(const EncoderState& state, const int32_t* values, int begin, int end, int model,
                                 uint16_t* out, bool& all_zero);

// The same for a band of quantizer table entry `entry`, whose step is 1.0,
// vectorised like write_rate_items.
uint16_t* write_exact_items(const EncoderState& state, const EstimateTree& tree, int entry, int32_t* values, int begin,
                            int end, uint16_t* out, bool& all_zero);

// The tree's quantisers for a quantizer table, unless they were made for it
// already, and the rebuilt values of entries first_row to last_row. An entry
// without its row rebuilds every nonzero magnitude through rebuilt_beyond.
void prepare_step_tables(const float quant[64], EstimateTree& tree, int first_row = 0, int last_row = 63);

// The rate items of a block's bands at tree.level, from `out` on, the
// coefficients quantised on the way; nonzero ones are then dequantised
// (zeros rebuild as 0), ready for the inverse. `out` holds at least
// rate_item_capacity(n). Returns the end of the items; all_zero tells whether
// every coefficient quantised to 0. A band j whose bit is clear in `bands` must
// hold only zeros: it is not read.
uint16_t* write_rate_items(const EncoderState& state, const EstimateTree& tree, const BandLayout& layout,
                           int32_t* values, uint16_t* out, bool& all_zero, uint32_t bands = ~0u);
// The same by another method (the nonzero coefficients listed first, then
// written): the reference the writers above are tested against.
uint16_t* write_rate_items_portable(const EncoderState& state, const EstimateTree& tree, const BandLayout& layout,
                                    int32_t* values, uint16_t* out, bool& all_zero);

}  // namespace kv
