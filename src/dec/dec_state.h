// The decoder's state of one image: the coder reading the stream and the
// model bank as the decoder holds it (running sums, BinModel).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/coding_state.h"
#include "dec/dec_rebuild.h"
#include "entropy/bin_model.h"
#include "entropy/range_decoder.h"

namespace kv {

class ThreadPool;

struct DecoderState : CodingState {
  Decoder decoder;
  // The same counts as the encoder's AdaptiveModel bank, held for reading.
  BinModel models[kModelCount];
  std::FILE* console = nullptr;  // the header line; null keeps quiet
  // Reading a stream too short for its shape: every block lands on one
  // scratch sample, nothing is placed or transformed, and the read ends with
  // the error the stream's own bits lead to.
  bool parse_only = false;
  // Threads of the inverse transforms of a large image (0: every hardware
  // thread); the pool is made for such an image only.
  int threads = 0;
  std::shared_ptr<ThreadPool> pool;
  // With the pool, the leaves read wait here (values_begin in
  // pending_values) and go to `rebuild` in batches, with the regions to
  // inverse-transform; without it, each leaf and region is rebuilt at once.
  RebuildQueue* rebuild = nullptr;
  std::vector<PendingLeaf> pending_leaves;
  std::vector<int32_t> pending_values;
};

// Hands the leaves waiting over to state.rebuild, if any wait.
void hand_over_leaves(DecoderState& state);

// The model bank at its start and a geometry cache without band gains.
void prepare_decoder(DecoderState& state);

}  // namespace kv
