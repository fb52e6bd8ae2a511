// The decoder's state of one image: the coder reading the stream and the
// model bank as the decoder holds it (running sums, BinModel).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/block_geometry.h"
#include "common/block_transform.h"
#include "common/coding_state.h"
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
  // With the pool, leaves are read in the stream's one chain but rebuilt
  // (their inverse block transforms, each into its own block) by all the
  // threads, a few hundred thousand samples at a time.
  bool defer_leaves = false;
  struct PendingLeaf {
    const BlockGeometry* geometry;
    int32_t direction_index;
    uint32_t values_begin;  // in pending_values
    BlockView target;
  };
  std::vector<PendingLeaf> pending_leaves;
  std::vector<int32_t> pending_values;
};

// Rebuilds the pending leaves into their blocks, shared between the
// pool's threads, and forgets them.
void place_pending_leaves(DecoderState& state);

// The model bank at its start and a geometry cache without band gains.
void prepare_decoder(DecoderState& state);

}  // namespace kv
