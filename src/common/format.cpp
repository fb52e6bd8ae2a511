#include "common/format.h"

namespace kv {

void build_quantizer_table(float base_q, float quant[64]) {
  const double root2 = 1.4142135623730951;
  float q = base_q;
  for (int i = 0; i < 64; ++i) {
    quant[i] = q > 1.0f ? q : 1.0f;  // a NaN fails the comparison and gives 1.0 too
    q = static_cast<float>(static_cast<double>(q) / root2);
  }
}

}  // namespace kv
