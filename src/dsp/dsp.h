// The kernel table: every kernel that has versions for particular processors,
// as one pointer each, filled once from the processor's features (the best
// version of each kernel it can run) the first time dsp() is called.
//
// Levels, each adding to the ones before it:
//   scalar  any processor: the definitions the others must equal
//   SSE2    x86 (dsp/x86/*_sse2.cpp): inverse_colour3
//   AVX2    x86 (dsp/x86/*_avx2.cpp): every entry but inverse_colour3
// Setting the environment variable KV_DSP_SCALAR (to anything but "0")
// before the first call keeps every entry at the scalar level.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dsp/band_items.h"
#include "dsp/band_layout.h"
#include "dsp/direction_batch.h"
#include "dsp/search_kernels.h"

namespace kv {

struct DspFunctions {
  // The direction search's block transform (search_kernels.h).
  void (*lift_block_gathered)(const int32_t* samples, const uint16_t* order, const BandLayout& layout,
                              int32_t* values, ScanSamples* kept);
  bool (*inverse_squared_error)(const int32_t* values, const BandLayout& layout, const ScanSamples& kept,
                                int64_t& sse);
  void (*inverse_lift_scattered)(const int32_t* values, const BandLayout& layout, const uint16_t* order,
                                 int32_t* out);
  // Eight directions of a block side by side (direction_batch.h).
  void (*lift_directions)(const int32_t* samples, const uint16_t* const* orders, int count,
                          const BandLayout& layout, LaneSamples* kept, BatchWork& work);
  void (*lanes_to_arrays)(const Lanes* lanes, int n, LaneValues& values);
  unsigned (*clear_below)(BatchWork& work, const BandLayout& layout, const uint32_t* least, uint32_t* bands);
  unsigned (*inverse_squared_errors)(const LaneValues& values, int count, const BandLayout& layout,
                                     const LaneSamples& kept, int64_t* sse, BatchWork& work);
  // The plane filter's inverse along a row (lifting.h: inverse_plane_row),
  // and down the w columns of an h-row region at origin (a sample's
  // neighbours at +pixel and +row), in place.
  void (*inverse_plane_row)(int32_t* start, int n, ptrdiff_t step);
  void (*inverse_plane_columns)(int32_t* origin, int w, int h, ptrdiff_t pixel, ptrdiff_t row);
  // inverse_pixel3 (colour_kernels.h) of interleaved pixels from .. pixels-1
  // in place, in order: returns the first one it refuses (left untouched) or
  // `pixels`.
  int64_t (*inverse_colour3)(const double* factors, const int32_t* permutation, int32_t* samples, int64_t from,
                             int64_t pixels);
  // inverse_pixel3 of pixels from .. w-1 read from three plane rows, written
  // interleaved to out[3 x ..]: returns the first one it refuses (its out
  // entries unspecified) or w. Null where no version reads plane rows faster
  // than interleaving first and calling inverse_colour3.
  int (*inverse_colour3_planes)(const double* factors, const int32_t* permutation, const int32_t* p0,
                                const int32_t* p1, const int32_t* p2, int from, int w, int32_t* out);
  // The rate items of a band (band_items.h).
  BandItemsFunction band_items;
};

// The table for this processor; the same object on every call.
const DspFunctions& dsp();

// The table of the best versions that `flags` (util/cpu.h: kCpu*) allow,
// whether or not this processor has them: the kernel tests compare its
// entries with dsp_functions(0)'s.
DspFunctions dsp_functions(unsigned flags);

// Refills dsp()'s table for the processor's features masked by `mask` (0:
// scalar only), whatever KV_DSP_SCALAR says. For tests, while no other
// thread uses the kernels.
void dsp_init(unsigned mask);

// The CPU flags dsp()'s table was filled for.
unsigned dsp_flags();

}  // namespace kv
