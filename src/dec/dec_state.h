// The decoder's state of one image: the coder reading the stream and the
// model bank as the decoder holds it (running sums, BinModel).
#pragma once

#include <cstdio>
#include <memory>

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
  // Threads of the inverse transforms of a large image (0: every hardware
  // thread); the pool is made for such an image only.
  int threads = 0;
  std::shared_ptr<ThreadPool> pool;
};

// The model bank at its start and a geometry cache without band gains.
void prepare_decoder(DecoderState& state);

}  // namespace kv
