#include "dsp/dsp.h"

#include <cstdlib>
#include <cstring>

#include "dsp/lifting.h"
#include "util/cpu.h"

namespace kv {

// Each level's versions, named by namespace.
#define KV_DSP_DECLARE_LEVEL(level)                                                                            \
  namespace level {                                                                                            \
  void lift_block_gathered(const int32_t*, const uint16_t*, const BandLayout&, int32_t*, ScanSamples*);        \
  bool inverse_squared_error(const int32_t*, const BandLayout&, const ScanSamples&, int64_t&);                 \
  void inverse_lift_scattered(const int32_t*, const BandLayout&, const uint16_t*, int32_t*);                   \
  void lift_directions(const int32_t*, const uint16_t* const*, int, const BandLayout&, LaneSamples*,           \
                       BatchWork&);                                                                            \
  void lanes_to_arrays(const Lanes*, int, LaneValues&);                                                        \
  unsigned clear_below(BatchWork&, const BandLayout&, const uint32_t*, uint32_t*);                             \
  unsigned inverse_squared_errors(const LaneValues&, int, const BandLayout&, const LaneSamples&, int64_t*,     \
                                  BatchWork&);                                                                 \
  void inverse_plane_row(int32_t*, int, ptrdiff_t);                                                            \
  void inverse_plane_columns(int32_t*, int, int, ptrdiff_t, ptrdiff_t);                                        \
  int64_t inverse_colour3(const double*, const int32_t*, int32_t*, int64_t, int64_t);                          \
  int inverse_colour3_planes(const double*, const int32_t*, const int32_t*, const int32_t*, const int32_t*,    \
                             int, int, int32_t*);                                                              \
  int band_items(const BandItemTables&, const int32_t*, int32_t*, int, int, int&, uint16_t*&);                               \
  }
KV_DSP_DECLARE_LEVEL(dsp_c)
#if KV_DSP_X86
KV_DSP_DECLARE_LEVEL(dsp_sse2)
KV_DSP_DECLARE_LEVEL(dsp_avx2)
#endif
#undef KV_DSP_DECLARE_LEVEL

DspFunctions dsp_functions(unsigned flags) {
  DspFunctions f{};
  f.lift_block_gathered = dsp_c::lift_block_gathered;
  f.inverse_squared_error = dsp_c::inverse_squared_error;
  f.inverse_lift_scattered = dsp_c::inverse_lift_scattered;
  f.lift_directions = dsp_c::lift_directions;
  f.lanes_to_arrays = dsp_c::lanes_to_arrays;
  f.clear_below = dsp_c::clear_below;
  f.inverse_squared_errors = dsp_c::inverse_squared_errors;
  f.inverse_plane_row = dsp_c::inverse_plane_row;
  f.inverse_plane_columns = dsp_c::inverse_plane_columns;
  f.inverse_colour3 = dsp_c::inverse_colour3;
  f.inverse_colour3_planes = nullptr;
  f.band_items = dsp_c::band_items;
#if KV_DSP_X86
  if (!(flags & kCpuSse2)) return f;
  f.inverse_colour3 = dsp_sse2::inverse_colour3;
  if (!(flags & kCpuAvx2)) return f;
  f.lift_block_gathered = dsp_avx2::lift_block_gathered;
  f.inverse_squared_error = dsp_avx2::inverse_squared_error;
  f.inverse_lift_scattered = dsp_avx2::inverse_lift_scattered;
  f.lift_directions = dsp_avx2::lift_directions;
  f.lanes_to_arrays = dsp_avx2::lanes_to_arrays;
  f.clear_below = dsp_avx2::clear_below;
  f.inverse_squared_errors = dsp_avx2::inverse_squared_errors;
  f.inverse_plane_row = dsp_avx2::inverse_plane_row;
  f.inverse_plane_columns = dsp_avx2::inverse_plane_columns;
  f.inverse_colour3_planes = dsp_avx2::inverse_colour3_planes;
  f.band_items = dsp_avx2::band_items;
#else
  (void)flags;
#endif
  return f;
}

namespace {

// What the first call fills the table for: the processor's features, none
// when KV_DSP_SCALAR is set (to anything but "0").
unsigned startup_flags() {
  const char* scalar = std::getenv("KV_DSP_SCALAR");
  if (scalar && *scalar && std::strcmp(scalar, "0") != 0) return 0;
  return cpu_flags();
}

struct Table {
  unsigned flags;
  DspFunctions functions;
  explicit Table(unsigned usable) : flags(usable), functions(dsp_functions(usable)) {}
};

Table& table() {
  static Table instance(startup_flags());  // thread-safe initialisation, once
  return instance;
}

}  // namespace

const DspFunctions& dsp() { return table().functions; }

void dsp_init(unsigned mask) { table() = Table(cpu_flags() & mask); }

unsigned dsp_flags() { return table().flags; }

// The functions that call through the table under the names their callers know.
void lift_block_gathered(const int32_t* samples, const uint16_t* order, const BandLayout& layout, int32_t* values,
                         ScanSamples* kept) {
  dsp().lift_block_gathered(samples, order, layout, values, kept);
}
bool inverse_squared_error(const int32_t* values, const BandLayout& layout, const ScanSamples& kept, int64_t& sse) {
  return dsp().inverse_squared_error(values, layout, kept, sse);
}
void inverse_lift_scattered(const int32_t* values, const BandLayout& layout, const uint16_t* order, int32_t* out) {
  dsp().inverse_lift_scattered(values, layout, order, out);
}
void lift_directions(const int32_t* samples, const uint16_t* const* orders, int count, const BandLayout& layout,
                     LaneSamples* kept, BatchWork& work) {
  dsp().lift_directions(samples, orders, count, layout, kept, work);
}
void lanes_to_arrays(const Lanes* lanes, int n, LaneValues& values) { dsp().lanes_to_arrays(lanes, n, values); }
unsigned clear_below(BatchWork& work, const BandLayout& layout, const uint32_t* least, uint32_t* bands) {
  return dsp().clear_below(work, layout, least, bands);
}
unsigned inverse_squared_errors(const LaneValues& values, int count, const BandLayout& layout,
                                const LaneSamples& kept, int64_t* sse, BatchWork& work) {
  return dsp().inverse_squared_errors(values, count, layout, kept, sse, work);
}
void inverse_plane_row(int32_t* start, int n, ptrdiff_t step) { dsp().inverse_plane_row(start, n, step); }

}  // namespace kv
