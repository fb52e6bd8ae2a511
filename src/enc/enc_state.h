// The encoder's state of one image: the coder writing the stream, the model
// bank, the rate table its estimates read, the worker threads, the
// rate-distortion settings and the image every decoder will rebuild.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "common/coding_state.h"
#include "entropy/adaptive_model.h"
#include "entropy/range_encoder.h"

namespace kv {

// How a leaf's directions are searched: tables of up to `samples` entries
// whole; larger ones on `samples` entries spread over the table first, then
// around the best `keep` (enc/direction_search.h).
struct SearchShape {
  int samples;
  int keep;
};
// The default encoder's search, which its decisions are defined by.
inline constexpr SearchShape kDefaultSearch{8, 3};
// The rate-distortion mode's, free of the defined decisions: twice the
// samples and one more kept find directions of lower J for about a tenth
// more time (docs/rdo.md).
inline constexpr SearchShape kRateDistortionSearch{16, 4};
// The rate-distortion mode's lambda stops falling with baseQ^2 about here
// (lambda_floor_q): at kLambdaFloorQ on detailed images, rising to
// kSmoothFloorQ on smooth ones.
inline constexpr double kLambdaFloorQ = 12.0;
inline constexpr double kSmoothFloorQ = 20.0;
inline constexpr float kDistortionWeight = 12.0f;

class ThreadPool;
struct EstimateTree;
struct Block;
struct EncoderState;

// Chooses the quadtree and directions of a subband block of at most
// kSplitMaxArea samples at subband `level`, codes it, and returns its cost.
using SubbandSearch = double (*)(EncoderState& state, const Block& block, int level);
// The encoder's search (enc/estimates.h): cached, parallel estimates.
double search_with_estimates(EncoderState& state, const Block& block, int level);

struct EncoderState : CodingState {
  Encoder encoder;
  AdaptiveModel models[kModelCount];

  // Model updates bump the version (estimates of an older version are
  // stale) and mark the model's row of the rate table.
  uint64_t model_version = 0;
  uint64_t dirty_models = ~uint64_t{0};
  double rate_bits[kModelCount][kModelSymbols + 1] = {};  // bits of (model, bin); bin 32: prohibitive
  // The same rows end to end, then the 1 bit of a sign: what the estimates' rate items index.
  double item_bits[kModelCount * (kModelSymbols + 1) + 1] = {};

  int threads = 0;  // 0: every hardware thread
  std::shared_ptr<ThreadPool> pool;
  std::shared_ptr<EstimateTree> estimate_tree;  // reused from one subband block to the next
  // With more than one thread, the trees of the regions searched ahead of
  // the coding (enc/enc_plane.cpp), reused from one region to the next.
  std::vector<std::shared_ptr<EstimateTree>> window_trees;
  // What the searches did, for the performance notes: the evaluations of
  // directions made ahead, the evaluations of every tree once coded, and
  // the coding thread's processor time in its coding of the regions.
  struct WindowCounts {
    int64_t evaluated_ahead = 0;
    int64_t evaluated = 0;
    double coding_seconds = 0;
  } window_counts;
  // The tests put the plain search here, which makes the same decisions.
  SubbandSearch search = search_with_estimates;

  // Rate-distortion-optimising mode: decisions minimise
  // J = level_weight[level] * SSE + rdo_lambda * bits.
  bool rdo = false;
  double rdo_lambda_factor = 0.010625;  // lambda = factor * (baseQ^2 + floor_q^2)
  double floor_q = kLambdaFloorQ;     // the image's (lambda_floor_q), set before coding
  double rdo_lambda = 0;
  // 1: the search above. 2 first codes the image at quantization values a
  // quarter octave apart around the one asked for, all with the asked one's
  // lambda, and codes with the one of least squared error + lambda * bits:
  // a few whole encodes more.
  int effort = 1;
  float coded_q = 0;  // the quantization value the stream carries (effort 2 may choose another)
  double lambda_scale = 1.0;  // lambda's factor (effort 2: that of the asked value over the coded one's)
  // The default mode's fill (set by EncodeTuning, enc/encode.h): of the
  // coefficients that the quantizer table fill_quant (a value's a hair
  // finer or coarser) quantises to another value than `quant` does, a
  // fraction `fill` in [0, 1] is coded with fill_quant's value, chosen by
  // carrying fill_credit along the coding order. 0 leaves the plain quantiser's values.
  double fill = 0;
  double fill_credit = 0;
  float fill_quant[64] = {};
  double level_weight[64] = {};  // pixel-domain energy of a unit coefficient at each subband level

  // With `rebuild` set the encoder also builds, in `rebuilt`, the image every
  // decoder will rebuild from its stream (0..255 once encode_image returns).
  bool rebuild = false;
  std::vector<int32_t> rebuilt;
  // With `paint` set, every coded leaf's samples in `image` are replaced by
  // its direction's picture (painted_value), for the diagnostic picture.
  bool paint = false;

  int64_t coded_samples = 0;    // samples of the leaf blocks coded so far
  int32_t progress_step = 0;    // 256ths of the samples coded when `progress` was last called
  std::FILE* console = nullptr; // progress lines and the colour matrix; null keeps quiet
  std::function<void(double)> progress;  // the fraction of samples coded, after each leaf
};

// The model bank at its start.
void create_models(EncoderState& state);
void release_models(EncoderState& state);
// The geometry cache (with band gains) and the thread pool.
void prepare_encoder(EncoderState& state);

// Codes |v| with `model` and marks the model changed.
void write_magnitude(EncoderState& state, int model, int32_t v);
// Refreshes the rows of the rate table whose models changed.
void refresh_rate_table(EncoderState& state);
// Counts `count` more coded samples and reports progress.
void show_progress(EncoderState& state, int32_t count);

}  // namespace kv
