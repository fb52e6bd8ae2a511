// The encoder's rate items of one quantised band, eight coefficients at a
// time: each coefficient of at least the step's magnitude becomes three
// items (magnitude bin, sign, zero run before it) and is replaced by its
// rebuilt value, the others by 0.
#pragma once

#include <cstdint>

namespace kv {

// What the kernel needs of a band.
struct BandItemTables {
  uint32_t least;            // magnitudes below quantise to 0 (at least 1)
  uint32_t past_limit;       // quotients from here on are beyond the tables (at most 1025)
  double step;               // from 1 to 2^24, where the double quotient is exact
  uint16_t magnitude_item;   // item of magnitude bin 0
  uint16_t run_item;         // item of run bin 0
  uint16_t sign_item;        // the sign's item
  bool exact;                // step 1: values kept, quotient = magnitude, nothing rebuilt
};

// Positions p .. end - 1 of a band, in groups of eight (the last one
// shorter): a group's listed coefficients (magnitude >= least) get items
// magnitude_item + small_bin[q] (small_bin: the bin of every magnitude and
// zero run up to 1024; q the truncated |v| / step), sign_item,
// run_item + small_bin[position - previous - 1], in position order; unless
// exact, every value becomes sign(v) trunc((q + 0.35) step) where listed and
// 0 where not. `previous` (the last listed position before p) and `out` move
// on. Returns the start of the first group with a listed quotient of at
// least past_limit or a listed magnitude of 2^31, left untouched for the
// caller to write, or end. Up to 24 items past the last one written may be
// overwritten.
using BandItemsFunction = int (*)(const BandItemTables& tables, const int32_t* small_bin, int32_t* values, int p,
                                  int end, int& previous, uint16_t*& out);

}  // namespace kv
