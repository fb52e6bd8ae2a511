// What the encoder's searching threads work in: a scratch slot per thread,
// kept for the whole process and handed on from a thread that ends to the
// next, and the log2 table the rate estimates read.
#pragma once

#include <cstdint>
#include <type_traits>

#include "common/format.h"
#include "dsp/direction_batch.h"
#include "dsp/search_kernels.h"

namespace kv {

struct Scratch {
  int32_t values[kSplitMaxArea];
  ScanSamples kept;
  LaneValues lane_values;
  LaneSamples lanes_kept;
  BatchWork batch_work;
  struct Distortion {
    double sse = -1;
    int32_t samples = 0;
    int32_t level = 0;
    double distortion = 0;
  };
  // Blocks meet the same errors again and again: their distortions are
  // remembered, by a multiplicative hash of error, size and level.
  static constexpr int kDistortionBits = 12;
  Distortion distortions[1 << kDistortionBits];
};

static_assert(std::is_trivially_destructible_v<Scratch>, "slots are reused, never destroyed");

// The searching threads' scratch, in slots of the lasting store handed on
// when a thread ends: a pool's workers live only as long as its encode, and
// the next encode's take the memory they left, already touched.
struct ThreadScratch {
  Scratch* scratch;
  ThreadScratch();
  ~ThreadScratch();
  ThreadScratch(const ThreadScratch&) = delete;
  ThreadScratch& operator=(const ThreadScratch&) = delete;
};

// log2 of every count a model can hold (0 .. kModelLimit), with the
// library's log2: the estimates sum exactly the doubles the plain
// computation would. Built once per process.
const double* log2_table();

}  // namespace kv
