// How a block's coefficients, held by scan position, divide into bands.
#pragma once

#include <cstdint>

namespace kv {

// The bands of an N-sample block: band j (1 = finest .. levels + 1 = the
// lowest coefficient alone) covers scan positions end[j + 1] .. end[j] - 1.
struct BandLayout {
  int32_t levels = 0;
  int32_t end[16] = {};
};

}  // namespace kv
