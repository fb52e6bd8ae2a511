// What the tests read and do to a BinModel besides the decoder's own reads:
// a symbol's count, and AdaptiveModel's update_context on the running sums.
#pragma once

#include <cstdint>

#include "entropy/bin_model.h"

namespace kv::test {

inline uint32_t bin_frequency(const BinModel& model, uint32_t symbol) {
  return static_cast<uint32_t>(model.sum[symbol + 1] - model.sum[symbol]);
}

// The increment on the symbol's count, then halving once if the total
// exceeds the limit.
inline void update_bin_model(BinModel& model, uint32_t symbol, uint32_t increment, uint32_t limit) {
  const int16_t add = static_cast<int16_t>(increment);
  int16_t* above = model.sum + 1;
  for (int s = 0; s < kBinSymbols; ++s) above[s] = static_cast<int16_t>(above[s] + (s >= static_cast<int>(symbol) ? add : 0));
  settle_bin_model(model, bin_total(model), limit);
}

}  // namespace kv::test
