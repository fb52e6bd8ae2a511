// The image codec's state of one run: image, coder, model bank, quantizer
// table and start-up tables. Everything that codes or estimates takes it by
// reference; nothing of a run lives in globals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "entropy/adaptive_model.h"
#include "entropy/bin_model.h"
#include "entropy/range_decoder.h"
#include "entropy/range_encoder.h"

namespace kv {

// Fixed codec parameters.
inline constexpr uint32_t kModelIncrement = 320;
inline constexpr uint32_t kModelLimit = 16384;
inline constexpr int kModelCount = 64;
inline constexpr int kModelSymbols = 32;
inline constexpr float kBinBase = 1.36f;
inline constexpr int kSplitMaxArea = 1024;
inline constexpr int kSplitMinArea = 4;
inline constexpr int kSearchSamples = 8;
inline constexpr int kSearchKeep = 3;
// The rate-distortion mode's lambda stops falling with baseQ^2 about here.
inline constexpr double kLambdaFloorQ = 8.0;
inline constexpr float kDistortionWeight = 12.0f;
inline constexpr int kDirectionModel = 63;
inline constexpr int kDcModel = 0;

inline constexpr int kMagicFirst = 75;   // 'K'
inline constexpr int kMagicSecond = 36;  // '$'
inline constexpr int kMaxDimension = 65535;

class GeometryCache;
class ThreadPool;
struct EstimateTree;

struct CodecState {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  std::vector<int32_t> image;  // width x height x channels samples, channels of a pixel adjacent

  Encoder encoder;
  Decoder decoder;
  AdaptiveModel models[kModelCount];
  BinModel decoding_models[kModelCount];  // the decoder's copy of the bank, the same counts held for reading
  float quant[64] = {};

  int32_t pixel_step = 0;
  int32_t row_step = 0;

  float inv_log_base = 0.0f;
  int32_t bin_start[256] = {};
  int32_t bin_of[256] = {};
  int32_t small_bin[1025] = {};  // bin of every magnitude up to 1024 (zero runs and most coefficients)
  uint32_t bin_width[32] = {};
  uint64_t bin_reciprocal[32] = {};  // total_reciprocal(bin_width[b]) where the width is at least 2

  int32_t level = 0;           // subband level being coded
  bool parse_only = false;     // the decoder reads the stream but rebuilds no samples (see decode_image)
  int64_t coded_samples = 0;   // samples of the leaf blocks coded so far
  std::FILE* console = stdout; // progress and matrix printout; null keeps quiet

  // Direction tables and scan orders of every block size met so far.
  std::shared_ptr<GeometryCache> geometry;

  // The encoder's estimates. Model updates bump the version (estimates of an
  // older version are stale) and mark the model's row of the rate table.
  uint64_t model_version = 0;
  uint64_t dirty_models = ~uint64_t{0};
  double rate_bits[kModelCount][kModelSymbols + 1] = {};  // bits of (model, bin); bin 32: prohibitive
  // The same rows end to end, then the 1 bit of a sign: what the estimates' rate items index.
  double item_bits[kModelCount * (kModelSymbols + 1) + 1] = {};
  int threads = 0;                                         // 0: every hardware thread
  std::shared_ptr<ThreadPool> pool;
  std::shared_ptr<EstimateTree> estimate_tree;  // reused from one subband block to the next
  bool reference_estimates = false;  // the plain search without caches, for tests

  // Rate-distortion-optimising mode: decisions minimise
  // J = level_weight[level] * SSE + rdo_lambda * bits.
  bool rdo = false;
  double rdo_lambda_factor = 0.0125;  // lambda = factor * (baseQ^2 + kLambdaFloorQ^2)
  double rdo_lambda = 0;
  double level_weight[64] = {};  // pixel-domain energy of a unit coefficient at each subband level

  // With `rebuild` set the encoder also builds, in `rebuilt`, the image every
  // decoder will rebuild from its stream (0..255 once encode_image returns).
  bool rebuild = false;
  std::vector<int32_t> rebuilt;
};


void create_models(CodecState& state);
// Only the decoder's bank: decoding never touches the encoder's models.
void create_decoding_models(CodecState& state);
void release_models(CodecState& state);
// Entry i = max(base_q / sqrt(2)^i, 1), each division in double rounded to float.
void build_quantizer_table(float base_q, float quant[64]);
// The geometry cache and, when encoding, the thread pool.
void prepare_run(CodecState& state, bool encode);

}  // namespace kv
